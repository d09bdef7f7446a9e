// The second-stream settings program behind /cgi-bin/stream2.cgi: the request rules and the login, the
// page's read answer, then the actions (stream2_apply.h) under the store's one-writer lock.
#include "web/form/form.h"
#include "web/form/request_rules.h"

#include "encode/core/store_lock.h"
#include "web/stream2/stream2_apply.h"

#include <cstdio>

int cgiMain()
{
    if (!cgiRequestAllowed({"view_s", "get"})) {
        return 0;
    }
    if (PageValues_requested()) {
        PageValues_serve(Stream2Cgi_values);
        return 0;
    }
    cgiHeaderContentType("text/plain");
    StoreLock lock;
    if (!lock.held()) {
        std::printf("%s\n", STORE_LOCK_BUSY);
        return 0;
    }
    Stream2Cgi_apply();
    return 0;
}
