// A program of the JSON API's shape: its request rules, where a request that is no GET or HEAD
// changes something, then a document that says which login it went on with.
#include "web/form/form.h"
#include "web/form/request_rules.h"
#include "web/form/session.h"

#include <strings.h>

#include <cstdio>

int cgiMain()
{
    bool changes = strcasecmp(cgiRequestMethod, "GET") != 0 && strcasecmp(cgiRequestMethod, "HEAD") != 0;
    if (!cgiApiRequestAllowed(changes)) {
        return 0;
    }
    cgiHeaderContentType("application/json");
    std::fprintf(cgiOut, "{\"scope\":\"%s\"}\n", cgiLoginScope() == LoginScope::Write ? "write" : "read");
    return 0;
}
