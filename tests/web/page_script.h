// The pages' own script (web/www/form.js) and input patterns run under node, for what can be checked
// without a browser: how the answer panel heads a program's answer, and whether a pattern compiles the
// way current browsers compile it. The tests that use this skip when node is not installed.
#pragma once

#include "tests/web/cgi_runner.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

inline bool pageScriptRunnable()
{
    return std::system("command -v node >/dev/null 2>&1") == 0;
}

// Runs the node program `script` with `input` as its last argument's file; returns its standard
// output, or "node failed" when it did not run to a clean end. Both go through files, so no text
// needs quoting.
inline std::string pageScriptRun(const std::string &script, const std::string &input)
{
    std::string out = "node failed";
    char scriptPath[] = "/tmp/page-script-XXXXXX";
    char inputPath[] = "/tmp/page-input-XXXXXX";
    int s = mkstemp(scriptPath);
    int i = mkstemp(inputPath);
    if (s >= 0 && i >= 0 && write(s, script.data(), script.size()) == static_cast<ssize_t>(script.size()) &&
        write(i, input.data(), input.size()) == static_cast<ssize_t>(input.size())) {
        std::string cmd = std::string("node ") + scriptPath + " '" + ENCODE_SOURCE_DIR + "/web/www' " + inputPath;
        if (FILE *p = popen(cmd.c_str(), "r")) {
            std::string got;
            char buf[4096];
            size_t n = 0;
            while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
                got.append(buf, n);
            }
            if (pclose(p) == 0) {
                out = got;
            }
        }
    }
    for (auto [fd, path] : {std::pair{s, scriptPath}, std::pair{i, inputPath}}) {
        if (fd >= 0) {
            close(fd);
            unlink(path);
        }
    }
    return out;
}

// How the answer panel heads an answer: its outcome ("done", "refused", "empty"), its heading and
// the text it shows, for a request sent with the button "Set".
struct PanelAnswer {
    std::string outcome;
    std::string heading;
    std::string text;
};

inline PanelAnswer panelRead(int httpStatus, const std::string &body)
{
    const std::string script = "const a = require(process.argv[2] + '/form.js').readAnswer('Set', " +
                               std::to_string(httpStatus) +
                               ", require('fs').readFileSync(process.argv[3], 'utf8'));\n"
                               "process.stdout.write(a.outcome + '\\n' + a.heading + '\\n' + a.text);\n";
    std::string out = pageScriptRun(script, body);
    PanelAnswer a;
    size_t first = out.find('\n');
    size_t second = first == std::string::npos ? first : out.find('\n', first + 1);
    if (second == std::string::npos) {
        a.outcome = out;
        return a;
    }
    a.outcome = out.substr(0, first);
    a.heading = out.substr(first + 1, second - first - 1);
    a.text = out.substr(second + 1);
    return a;
}

// The panel's outcome for a program's whole response (the CGI header line is what the web server
// consumes; the page sees the rest with status 200).
inline std::string panelOutcome(const CgiResponse &r)
{
    std::string body = r.out;
    if (body.compare(0, std::string(kTextPlain).size(), kTextPlain) == 0) {
        body.erase(0, std::string(kTextPlain).size());
    } else {
        return "no CGI header in: " + r.out;
    }
    return panelRead(200, body).outcome;
}
