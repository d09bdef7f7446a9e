// The JSON API behind /api/v1/ (the call is the PATH_INFO): what software asks of the box, answered in
// JSON, on the same store readers, the same checks and the same writers as the pages.
//
//   GET   status         the status document, as status.cgi serves it
//   GET   settings       every setting as the pages show it, by the pages' groups
//   PATCH settings       {"name": value, ...} or {"<group>": {...}}: every change checked by the page's
//                        own action first; any refusal answers 422 naming each refused field and its
//                        reason and changes nothing; otherwise all are written (staged_apply.h)
//   POST  restart        the box restarted, as the page's restart button does
//   POST  keyframe       {"stream": "main"|"second"} (main when not given): an IDR picture now
//   GET   log            the console log's last lines
//   GET   backup         the settings file (?secrets=1: with the secrets' values; a read-write login)
//   POST  restore        a backup file back, all or nothing
//   POST  factory-reset  {"keep_login": true|false} (true when not given): the factory settings
//   GET   openapi.json   the OpenAPI 3 document of these calls, made from the settings table
//
// Every call is behind the login (a session, the password, or a token: web/form/session.h) and the
// API's request rules (request_rules.h); a call that changes anything needs a read-write login.
// Writes hold the store's one-writer lock (encode/core/store_lock.h).
#include "web/api/api_doc.h"
#include "web/api/backup.h"
#include "web/api/settings_values.h"
#include "web/api/staged_apply.h"

#include "encode/core/paths.h"
#include "encode/core/shell.h"
#include "encode/core/store_lock.h"
#include "web/form/form.h"
#include "web/form/request_rules.h"
#include "web/form/session.h"
#include "web/status/status_files.h"

#include <nlohmann/json.hpp>

#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

using nlohmann::json;

namespace {

constexpr int kBodyLimit = 256 * 1024;

// `header`: one more header line, with its CR LF.
void answer(const char *status, const json &body, const std::string &header = "")
{
    std::fprintf(cgiOut, "Status: %s\r\n%s", status, header.c_str());
    cgiHeaderContentType("application/json");
    std::string text = body.dump(2, ' ', false, json::error_handler_t::replace);
    std::fprintf(cgiOut, "%s\n", text.c_str());
}

void fail(const char *status, const std::string &line, const std::string &header = "")
{
    answer(status, json{{"error", line}}, header);
}

bool method(const char *m)
{
    return strcasecmp(cgiRequestMethod, m) == 0;
}

// The request's body as JSON; an empty body is an empty object. False after answering 400/413.
bool readBody(json &out)
{
    if (cgiContentLength > kBodyLimit) {
        fail("413 Content Too Large", "the body is larger than " + std::to_string(kBodyLimit) + " bytes");
        return false;
    }
    std::string text(static_cast<size_t>(cgiContentLength), '\0');
    size_t got = text.empty() ? 0 : std::fread(text.data(), 1, text.size(), cgiIn);
    text.resize(got);
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
        out = json::object();
        return true;
    }
    out = json::parse(text, nullptr, false);
    if (out.is_discarded()) {
        fail("400 Bad Request", "the body is not JSON");
        return false;
    }
    return true;
}

// The query's "name=1".
bool queryFlag(const char *name)
{
    std::string q = std::string("&") + cgiQueryString + "&";
    return q.find(std::string("&") + name + "=1&") != std::string::npos;
}

void getStatus()
{
    std::string data;
    const StatusFile &f = *StatusFile_find("status");
    switch (StatusFile_read(f, data)) {
    case StatusRead::Ok: break;
    case StatusRead::Missing: fail("503 Service Unavailable", "the encoder has written no status: it is not running"); return;
    default: fail("500 Internal Server Error", std::string(f.path) + " cannot be read"); return;
    }
    std::fprintf(cgiOut, "Status: 200 OK\r\n");
    cgiHeaderContentType("application/json");
    std::fwrite(data.data(), 1, data.size(), cgiOut);
}

void getLog()
{
    std::string data;
    if (StatusFile_read(*StatusFile_find("log"), data) != StatusRead::Ok) {
        answer("200 OK", json{{"lines", json::array()}});
        return;
    }
    json lines = json::array();
    size_t from = 0;
    while (from < data.size()) {
        size_t nl = data.find('\n', from);
        lines.push_back(data.substr(from, nl == std::string::npos ? std::string::npos : nl - from));
        from = nl == std::string::npos ? data.size() : nl + 1;
    }
    answer("200 OK", json{{"lines", lines}});
}

// An action's account without its last line end.
std::string trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

// What a change's account says first (the rest is the page's report of everything).
std::string firstLine(const std::string &text)
{
    return text.substr(0, text.find('\n'));
}

// The outcome of a set of changes as the API answers it.
void answerApplied(const Changes &c, const StagedResult &r)
{
    if (r.busy) {
        fail("503 Service Unavailable", STORE_LOCK_BUSY);
        return;
    }
    if (!r.error.empty()) {
        json body{{"error", r.error}, {"files", r.files}};
        answer("500 Internal Server Error", body);
        return;
    }
    json refused = c.refused;
    for (const StagedOutcome &o : r.outcomes) {
        if (o.refused) {
            refused.push_back(json{{"name", o.setting->name}, {"group", o.setting->group}, {"reason", trimmed(o.account)}});
        }
    }
    if (!refused.empty()) {
        answer("422 Unprocessable Content", json{{"refused", refused}, {"changed", json::array()}});
        return;
    }
    json changed = json::array();
    bool restart = false;
    for (size_t i = 0; i < r.outcomes.size(); i++) {
        const StagedOutcome &o = r.outcomes[i];
        bool now = o.setting->effect == SettingEffect::AtOnce;
        restart = restart || !now;
        json entry{{"group", o.setting->group},
                   {"takes_effect", now ? "at once" : "at restart"},
                   {"answer", firstLine(o.account)}};
        entry["name"] = o.setting->name;
        changed.push_back(entry);
        if (c.staged[i].withPartner) {
            entry["name"] = o.setting->partner;
            changed.push_back(entry);
        }
    }
    answer("200 OK", json{{"changed", changed},
                          {"unchanged", c.unchanged},
                          {"ignored", c.ignored},
                          {"files", r.files},
                          {"restart_needed", restart}});
}

void patchSettings()
{
    json body;
    if (!readBody(body)) {
        return;
    }
    Changes c = SettingsValues_changes(body, json::object());
    // With a value that is no value of its setting the rest are still checked, so that the answer
    // names every refusal at once; nothing is written.
    answerApplied(c, StagedApply_run(c.staged, c.refused.empty()));
}

void getBackup()
{
    bool secrets = queryFlag("secrets");
    if (secrets && cgiLoginScope() != LoginScope::Write) {
        fail("403 Forbidden", "refused: the secrets are given to a read-write login only");
        return;
    }
    char made[32];
    std::time_t now = std::time(nullptr);
    std::strftime(made, sizeof made, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    json file{{"backup", "encoder settings"},
              {"format", BACKUP_FORMAT},
              {"software", ApiDoc_version()},
              {"made", made},
              {"settings", SettingsValues_read().values},
              {"start_script", Backup_startBlock()}};
    if (secrets) {
        file["secrets"] = Backup_secrets();
    }
    answer("200 OK", file, "Content-Disposition: attachment; filename=\"encoder-settings.json\"\r\n");
}

void postRestore()
{
    json file;
    if (!readBody(file)) {
        return;
    }
    if (std::string why = Backup_check(file); !why.empty()) {
        fail("422 Unprocessable Content", "refused: " + why + "; nothing changed");
        return;
    }
    Changes c = SettingsValues_changes(file["settings"], file.value("secrets", json::object()), true);
    answerApplied(c, StagedApply_run(c.staged, c.refused.empty()));
}

void postFactoryReset()
{
    json body;
    if (!readBody(body)) {
        return;
    }
    if (!body.is_object() || (body.contains("keep_login") && !body["keep_login"].is_boolean())) {
        fail("400 Bad Request", "the body is {\"keep_login\": true|false}");
        return;
    }
    bool keep = body.value("keep_login", true);
    StoreLock lock;
    if (!lock.held()) {
        fail("503 Service Unavailable", STORE_LOCK_BUSY);
        return;
    }
    std::string lines = Backup_factoryReset(keep);
    if (!keep) {
        Session_endAll();
    }
    answer(lines.empty() ? "200 OK" : "500 Internal Server Error",
           json{{"reset", lines.empty()}, {"kept_login", keep}, {"problems", lines}, {"restart_needed", true}});
}

void postRestart()
{
    answer("202 Accepted", json{{"restarting", true}});
    std::fflush(cgiOut);
    Shell_run("reboot");
}

void postKeyframe()
{
    json body;
    if (!readBody(body)) {
        return;
    }
    std::string stream = body.is_object() && body.contains("stream") && body["stream"].is_string()
                             ? body["stream"].get<std::string>()
                             : body.is_object() && !body.contains("stream") ? "main" : "";
    if (stream != "main" && stream != "second") {
        fail("400 Bad Request", "the body is {\"stream\": \"main\"|\"second\"}");
        return;
    }
    // The control socket takes one datagram a request and answers nothing (encode/app/control_socket.h).
    std::string path = Path_resolve("/tmp/encode.ctl");
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof addr.sun_path) {
        if (fd >= 0) {
            ::close(fd);
        }
        fail("500 Internal Server Error", "cannot reach the encoder's control socket");
        return;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    std::string line = "keyframe " + stream;
    ssize_t n = ::sendto(fd, line.data(), line.size(), 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    int err = errno;
    ::close(fd);
    if (n < 0) {
        fail("503 Service Unavailable", err == ENOENT || err == ECONNREFUSED
                                            ? "the encoder is not running (no control socket)"
                                            : std::string("the encoder's control socket refused: ") + std::strerror(err));
        return;
    }
    answer("202 Accepted", json{{"keyframe", stream}, {"note", "at most one IDR picture a second per stream"}});
}

struct Call {
    const char *path;
    const char *method;
    bool changes;
    void (*run)();
};

const Call kCalls[] = {
    {"/status", "GET", false, getStatus},
    {"/settings", "GET", false, [] { answer("200 OK", SettingsValues_read().answer()); }},
    {"/settings", "PATCH", true, patchSettings},
    {"/restart", "POST", true, postRestart},
    {"/keyframe", "POST", true, postKeyframe},
    {"/log", "GET", false, getLog},
    {"/backup", "GET", false, getBackup},
    {"/restore", "POST", true, postRestore},
    {"/factory-reset", "POST", true, postFactoryReset},
    {"/openapi.json", "GET", false, [] { answer("200 OK", ApiDoc_openapi()); }},
};

} // namespace

int cgiMain()
{
    std::string path = cgiPathInfo;
    const Call *call = nullptr;
    std::string allowed;
    for (const Call &c : kCalls) {
        if (path == c.path) {
            allowed += std::string(allowed.empty() ? "" : ", ") + c.method;
            bool head = method("HEAD") && std::strcmp(c.method, "GET") == 0;
            call = method(c.method) || head ? &c : call;
        }
    }
    if (call == nullptr && allowed.empty()) {
        if (cgiApiRequestAllowed(false)) {
            fail("404 Not Found", "no such call: /api/v1" + path + " (GET /api/v1/openapi.json lists them)");
        }
    } else if (call == nullptr) {
        if (cgiApiRequestAllowed(false)) {
            fail("405 Method Not Allowed", "/api/v1" + path + " takes " + allowed, "Allow: " + allowed + "\r\n");
        }
    } else if (cgiApiRequestAllowed(call->changes)) {
        call->run();
    }
    std::fflush(cgiOut);
    return 0;
}

// Its own entry point: the body is JSON, which the form layer's parsers are not to read.
int main()
{
    cgiInit();
    int result = cgiMain();
    cgiFreeResources();
    return result;
}
