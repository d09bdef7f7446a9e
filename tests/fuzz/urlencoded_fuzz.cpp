// fuzz-sources: web/form/form.cpp encode/core/paths.cpp
// The URL-encoded parser and the lookups on whatever it produced: no crash, no overread, every entry
// consistent, every lookup terminated within its buffer.
#include "web/form/form.h"

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

const char *kChoices[] = {"male", "female", "amale"};

void exerciseLookups()
{
    char big[1024];
    char small[3];
    int index = 0;
    for (const cgiFormEntry *e = cgiFormEntryFirst; e != nullptr; e = e->next) {
        if (e->valueLength < 0 || std::strlen(e->value) > static_cast<size_t>(e->valueLength)) {
            std::abort();
        }
        for (char *buf : {big, small}) {
            int size = buf == big ? static_cast<int>(sizeof big) : static_cast<int>(sizeof small);
            cgiFormResultType r = cgiFormString(e->attr, buf, size);
            if (std::strlen(buf) >= static_cast<size_t>(size) || r == cgiFormNotFound) {
                std::abort();
            }
            cgiFormStringNoNewlines(e->attr, buf, size);
            if (std::strlen(buf) >= static_cast<size_t>(size)) {
                std::abort();
            }
        }
        if (cgiFormCheckboxSingle(e->attr) != cgiFormSuccess) {
            std::abort();
        }
        cgiFormRadio(e->attr, kChoices, 3, &index, 0);
        cgiFormSelectSingle(e->attr, kChoices, 2, &index, 1);
        if (index < 0 || index > 2) {
            std::abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    int length = static_cast<int>(size);

    cgiFreeResources();
    cgiParseFormInput(text, length);
    exerciseLookups();
    cgiFreeResources();

    char *unescaped = cgiUnescapeChars(text, length);
    if (unescaped == nullptr) {
        std::abort();
    }
    std::free(unescaped);

    // The same bytes as a POST body, with the announced length a little off either way.
    std::string body(text, size);
    for (int delta : {0, -1, 1}) {
        FILE *in = fmemopen(body.data(), body.empty() ? 1 : body.size(), "r");
        if (in == nullptr) {
            continue;
        }
        cgiIn = in;
        cgiContentLength = length + delta < 0 ? 0 : length + delta;
        if (body.empty()) {
            cgiContentLength = 0;
        }
        cgiParsePostFormInput();
        exerciseLookups();
        cgiFreeResources();
        std::fclose(in);
    }
    return 0;
}
