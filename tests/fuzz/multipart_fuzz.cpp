// fuzz-sources: web/form/form.cpp encode/core/paths.cpp
// The multipart parser on arbitrary bodies: the first input line is the boundary, the rest the body.
// No crash, no read past the announced length, and no upload file left once the request is freed.
#include "web/form/form.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int cgiMain()
{
    return 0;
}

namespace {

std::string uploadDir;

int countFiles(const std::string &dir)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        return 0;
    }
    int n = 0;
    while (dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            n++;
        }
    }
    closedir(d);
    return n;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Uploads go to $ENCODE_ROOT/tmp: a private root keeps them countable.
    char tmpl[] = "/tmp/multipart-fuzz-XXXXXX";
    const char *root = mkdtemp(tmpl);
    if (root == nullptr) {
        std::abort();
    }
    setenv("ENCODE_ROOT", root, 1);
    uploadDir = std::string(root) + "/tmp";
    mkdir(uploadDir.c_str(), 0700);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    const char *nl = static_cast<const char *>(std::memchr(text, '\n', size < 100 ? size : 100));
    size_t boundaryLength = nl != nullptr ? static_cast<size_t>(nl - text) : 0;
    std::string boundary(text, boundaryLength);
    std::string body = nl != nullptr ? std::string(nl + 1, size - boundaryLength - 1) : std::string(text, size);

    std::snprintf(cgiMultipartBoundary, sizeof cgiMultipartBoundary, "%s", boundary.c_str());
    // The announced length: the whole body, or (from the first body byte) a little less or more.
    long length = static_cast<long>(body.size());
    if (!body.empty() && (static_cast<unsigned char>(body[0]) & 3) == 1) {
        length -= static_cast<unsigned char>(body[0]) >> 2;
    } else if (!body.empty() && (static_cast<unsigned char>(body[0]) & 3) == 2) {
        length += 7;
    }
    if (length < 0) {
        length = 0;
    }
    FILE *in = fmemopen(body.data(), body.empty() ? 1 : body.size(), "r");
    if (in == nullptr) {
        return 0;
    }
    cgiIn = in;
    cgiContentLength = body.empty() ? 0 : static_cast<int>(length);
    cgiFreeResources();
    cgiParsePostMultipartInput();
    if (!body.empty() && std::ftell(in) > length) {
        std::abort(); // read past CONTENT_LENGTH
    }
    char buf[1024];
    for (const cgiFormEntry *e = cgiFormEntryFirst; e != nullptr; e = e->next) {
        if (e->valueLength < 0 || std::strlen(e->value) > static_cast<size_t>(e->valueLength)) {
            std::abort();
        }
        if (e->tfileName[0] != '\0' && access(e->tfileName, F_OK) != 0) {
            std::abort();
        }
        cgiFormString(e->attr, buf, sizeof buf);
        if (std::strlen(buf) >= sizeof buf) {
            std::abort();
        }
    }
    cgiFreeResources();
    std::fclose(in);
    if (countFiles(uploadDir) != 0) {
        std::abort(); // an upload file outlived its request
    }
    return 0;
}
