// The capture timing program. It shifts the active picture of the capture format now selected: one
// line "F,V,H" of the timing table (/mnt/config.ini, or /mnt/config.dvi.ini for the DVI-D and HDMI
// inputs of boards with an input selector) gets the typed amounts added to its offsets, and every other
// byte of the table stays as it was. One request, one thread.
//
// The table is rewritten only when the line of the current format was found and read; typed amounts
// must be whole numbers and reach the file through file I/O only.
#include "web/form/form.h"
#include "web/form/request_rules.h"

#include "encode/core/config_store.h"
#include "encode/core/shell.h"
#include "encode/core/store_lock.h"
#include "web/settings/report.h"
#include "web/values/values.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace {

constexpr int kFormatReadLimit = 1000;
// The whole table is read so that no line past a fixed buffer is ever lost; a sane table is under
// 1000 bytes, a file beyond this bound is no timing table.
constexpr int kTableReadLimit = 64 * 1024;
constexpr int kOffsetDigits = 9;
constexpr long long kOffsetMax = 999999999; // an offset has at most nine characters
constexpr int kFirstFormat = 1;
constexpr int kLastFormat = 41;

struct Request {
    long long field = 0; // vertical change
    long long line = 0;  // horizontal change
    bool view = false;
};

// The format index: the number after the last space of /mnt/format.ini ("mode index"); 0 when there
// is none or it lies outside the table.
int currentFormat()
{
    std::string text;
    if (!Config_readText("/mnt/format.ini", text, kFormatReadLimit)) {
        return 0;
    }
    size_t space = text.rfind(' ');
    if (space == std::string::npos) {
        return 0;
    }
    std::string_view rest = std::string_view(text).substr(space + 1);
    size_t end = rest.find_first_of("\r\n");
    long long index = 0;
    if (!Config_parseDecimal(rest.substr(0, end), false, kOffsetDigits, index) || index < kFirstFormat ||
        index > kLastFormat) {
        return 0;
    }
    return static_cast<int>(index);
}

const char *tablePath()
{
    FlagRead input = Config_readFlag("/mnt/ra101.ini");
    bool dvi = input.state == FileState::Read && (input.first == '1' || input.first == '2');
    return dvi ? "/mnt/config.dvi.ini" : "/mnt/config.ini";
}

struct TableLine {
    size_t start = 0;     // first byte of the line
    size_t tailStart = 0; // first byte after the line's own line end
    bool hasHead = false;
    long long v = 0;
    long long h = 0;
};

// Finds and reads the line of `format`: format 1 is the line the table begins with, any other the
// line after a line feed that begins with its index and a comma.
bool findLine(const std::string &table, int format, TableLine &out)
{
    std::string key = std::to_string(format) + ",";
    if (format == kFirstFormat) {
        if (table.compare(0, key.size(), key) != 0) {
            return false;
        }
        out.start = 0;
        out.hasHead = false;
    } else {
        size_t at = table.find("\n" + key);
        if (at == std::string::npos) {
            return false;
        }
        out.start = at + 1;
        out.hasHead = true;
    }
    size_t firstComma = out.start + key.size() - 1;
    size_t secondComma = table.find(',', firstComma + 1);
    size_t lineEnd = table.find_first_of("\r\n", firstComma + 1);
    if (lineEnd == std::string::npos) {
        lineEnd = table.size();
    }
    if (secondComma == std::string::npos || secondComma > lineEnd) {
        return false;
    }
    std::string_view t(table);
    if (!Config_parseDecimal(t.substr(firstComma + 1, secondComma - firstComma - 1), true, kOffsetDigits, out.v) ||
        !Config_parseDecimal(t.substr(secondComma + 1, lineEnd - secondComma - 1), true, kOffsetDigits, out.h)) {
        return false;
    }
    size_t tail = lineEnd;
    if (tail < table.size() && table[tail] == '\r') {
        tail++;
    }
    if (tail < table.size() && table[tail] == '\n') {
        tail++;
    }
    out.tailStart = tail;
    return true;
}

// The line of the format now selected, as read from its table.
struct Current {
    int format = 0;
    const char *path = nullptr;
    std::string table;
    TableLine line;
};

enum class ReadResult { Ok, NoFormat, NoTable, TooLarge, NoLine };

ReadResult readCurrent(Current &c)
{
    c.format = currentFormat();
    if (c.format == 0) {
        return ReadResult::NoFormat;
    }
    c.path = tablePath();
    if (!Config_readText(c.path, c.table, kTableReadLimit + 1)) {
        return ReadResult::NoTable;
    }
    if (c.table.size() > static_cast<size_t>(kTableReadLimit)) {
        return ReadResult::TooLarge;
    }
    return findLine(c.table, c.format, c.line) ? ReadResult::Ok : ReadResult::NoLine;
}

// The table update: prints the current offsets of the selected format and, unless only viewing,
// stores them moved by the request's amounts.
void updateTable(const Request &req)
{
    Current c;
    switch (readCurrent(c)) {
    case ReadResult::NoFormat:
        std::printf("no capture format index in format.ini, timing table not changed\n");
        return;
    case ReadResult::NoTable: std::printf("Can't open file"); return;
    case ReadResult::TooLarge: std::printf("%s is too large for a timing table, not changed\n", c.path + 5); return;
    case ReadResult::NoLine:
        std::printf("no readable line for format %d in %s, timing table not changed\n", c.format, c.path + 5);
        return;
    case ReadResult::Ok: break;
    }
    const int format = c.format;
    const char *path = c.path;
    const std::string &table = c.table;
    const TableLine &line = c.line;
    std::printf("\ncurrent:\nformat=%d V=%lld,H=%lld\n", format, line.v, line.h);
    if (req.view) {
        return; // the table stays as it is
    }
    long long v = line.v + req.field;
    long long h = line.h + req.line;
    v = v < 0 ? 0 : v;
    h = h < 0 ? 0 : h;
    if (v > kOffsetMax || h > kOffsetMax) {
        std::printf("offset out of range (at most %lld), timing table not changed\n", kOffsetMax);
        return;
    }
    std::string text;
    if (line.hasHead) {
        text.append(table, 0, line.start - 1); // the head, without the line feed that ends it
        text += '\n';
    }
    text += std::to_string(format) + "," + std::to_string(v) + "," + std::to_string(h) + "\n";
    text.append(table, line.tailStart, std::string::npos);
    if (Config_writeText(path, text) != Config_EOK) {
        std::printf("Can't open file");
        return;
    }
    Shell_run("sync"); // the writer ran the first
    std::printf("\nmodify:\nformat=%d V=%lld,H=%lld\n", format, v, h);
    std::printf("\nset ok\n");
}

void shiftAction()
{
    char chang[1024];
    char hang[1024];
    cgiFormResultType rv = cgiFormStringNoNewlines("chang", chang, sizeof chang);
    cgiFormResultType rh = cgiFormStringNoNewlines("hang", hang, sizeof hang);
    if (rv == cgiFormTruncated || rh == cgiFormTruncated) {
        std::printf("error len");
        return;
    }
    if (rv == cgiFormEmpty || rh == cgiFormEmpty) {
        std::printf("input empty");
        return;
    }
    Request req;
    // A field the form did not send counts as 0.
    if ((rv == cgiFormSuccess && !Config_parseDecimal(chang, true, kOffsetDigits, req.field)) ||
        (rh == cgiFormSuccess && !Config_parseDecimal(hang, true, kOffsetDigits, req.line))) {
        std::printf("invalid value: V=%s,H=%s (whole numbers of at most 9 digits), nothing changed\n", chang, hang);
        return;
    }
    std::printf("add V=%s,H=%s\n", chang, hang);
    updateTable(req);
}

// Restores the factory tables: the analog one always, the DVI one on boards with an input selector.
void restoreAction()
{
    bool ok = true;
    if (Config_exists("/mnt/dfc/config.ini")) {
        ok = Shell_run("cp -f /mnt/dfc/config.ini /mnt/config.ini") == 0;
    } else {
        ok = false;
    }
    if (Config_exists("/mnt/ra101.ini")) {
        if (Config_exists("/mnt/dfc/config.dvi.ini")) {
            ok = Shell_run("cp -f /mnt/dfc/config.dvi.ini /mnt/config.dvi.ini") == 0 && ok;
        } else {
            ok = false;
        }
    }
    Config_syncTwice();
    if (ok) {
        std::printf("recover ok");
    } else {
        std::printf("recover failed: factory timing tables missing in /mnt/dfc\n");
    }
}

// The page's current values: the format now selected, its table and the line's two offsets.
void currentValues(PageValues &out)
{
    Current c;
    ReadResult r = readCurrent(c);
    if (r == ReadResult::NoFormat) {
        out.unknown("format", "no capture format index in /mnt/format.ini");
    } else {
        const char *name = Report_formatName(c.format);
        out.set("format", std::to_string(c.format) + (name != nullptr ? std::string(" (") + name + ")" : ""));
    }
    if (c.path != nullptr) {
        out.set("table", c.path);
    } else {
        out.unknown("table", "no capture format index in /mnt/format.ini");
    }
    std::string why;
    switch (r) {
    case ReadResult::Ok:
        out.set("v", std::to_string(c.line.v));
        out.set("h", std::to_string(c.line.h));
        return;
    case ReadResult::NoFormat: why = "no capture format index in /mnt/format.ini"; break;
    case ReadResult::NoTable: why = std::string(c.path) + " is missing"; break;
    case ReadResult::TooLarge: why = std::string(c.path) + " is too large for a timing table"; break;
    case ReadResult::NoLine:
        why = "no readable line for format " + std::to_string(c.format) + " in " + c.path;
        break;
    }
    out.unknown("v", why);
    out.unknown("h", why);
}

} // namespace

int cgiMain()
{
    if (!cgiRequestAllowed({"viewhc", "get"})) {
        return 0;
    }
    if (PageValues_requested()) {
        PageValues_serve(currentValues);
        return 0;
    }
    cgiHeaderContentType("text/plain");
    StoreLock lock;
    if (!lock.held()) {
        std::printf("%s\n", STORE_LOCK_BUSY);
        return 0;
    }
    if (cgiFormButtonPressed("hc_submit")) {
        shiftAction();
    }
    if (cgiFormButtonPressed("resethc")) {
        restoreAction();
    }
    if (cgiFormButtonPressed("viewhc")) {
        Request req;
        req.view = true;
        updateTable(req);
    }
    return 0;
}
