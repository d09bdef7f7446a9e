// Test program: answers every request with what the form layer made of it, one line per entry; an
// uploaded file is shown by its size, its mode and its temporary path.
#include "web/form/form.h"

#include <sys/stat.h>

#include <cstring>

int cgiMain()
{
    cgiHeaderContentType("text/plain");
    std::fprintf(cgiOut, "method=%s\ntype=%s\nboundary=%s\nlength=%d\nquery=%s\n", cgiRequestMethod, cgiContentType,
                 cgiMultipartBoundary, cgiContentLength, cgiQueryString);
    for (const cgiFormEntry *e = cgiFormEntryFirst; e != nullptr; e = e->next) {
        std::fprintf(cgiOut, "[%s]=[", e->attr);
        std::fwrite(e->value, 1, static_cast<size_t>(e->valueLength), cgiOut);
        std::fprintf(cgiOut, "]");
        if (e->tfileName[0] != '\0') {
            struct stat st {};
            stat(e->tfileName, &st);
            std::fprintf(cgiOut, " file=%s type=%s size=%lld mode=%o tfile=%s", e->fileName, e->contentType,
                         static_cast<long long>(st.st_size), static_cast<unsigned>(st.st_mode & 0777), e->tfileName);
        }
        std::fprintf(cgiOut, "\n");
    }
    // Plain standard output is the same response body.
    std::printf("end\n");
    return 7;
}
