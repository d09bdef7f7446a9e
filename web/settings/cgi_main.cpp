// The main settings CGI: the request rules and the login, the pages' read answers, then the form's
// actions (settings_apply.h) under the store's one-writer lock.
#include "web/form/form.h"
#include "web/form/request_rules.h"

#include "encode/core/shell.h"
#include "encode/core/store_lock.h"
#include "web/settings/current.h"
#include "web/settings/password.h"
#include "web/settings/settings_apply.h"
#include "web/values/values.h"

#include <cstdio>

int cgiMain()
{
    if (!cgiRequestAllowed({"name44_submit", "mg_gx", "sub_v", "password_state", "get"})) {
        return 0;
    }
    if (PageValues_requested()) {
        PageValues_serve(Current_settings);
        return 0;
    }
    if (cgiFormButtonPressed("password_state")) {
        Password_printState();
        return 0;
    }
    cgiHeaderContentType("text/plain");
    StoreLock lock;
    if (!lock.held()) {
        std::printf("%s\n", STORE_LOCK_BUSY);
        return 0;
    }
    if (!SettingsCgi_apply()) {
        return 0;
    }
    if (cgiFormButtonPressed("name5_submit")) {
        std::printf("reboot now\n");
        std::fflush(stdout);
        Shell_run("reboot");
    }
    return 0;
}
