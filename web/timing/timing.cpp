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

// The table update: prints the current offsets of the selected format and, unless only viewing,
// stores them moved by the request's amounts.
void updateTable(const Request &req)
{
    int format = currentFormat();
    if (format == 0) {
        std::printf("no capture format index in format.ini, timing table not changed\n");
        return;
    }
    const char *path = tablePath();
    std::string table;
    if (!Config_readText(path, table, kTableReadLimit + 1)) {
        std::printf("Can't open file");
        return;
    }
    if (table.size() > static_cast<size_t>(kTableReadLimit)) {
        std::printf("%s is too large for a timing table, not changed\n", path + 5);
        return;
    }
    TableLine line;
    if (!findLine(table, format, line)) {
        std::printf("no readable line for format %d in %s, timing table not changed\n", format, path + 5);
        return;
    }
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
    if (Config_writeText(path, text) != 0) {
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

} // namespace

int cgiMain()
{
    if (!cgiRequestAllowed({"viewhc"})) {
        return 0;
    }
    cgiHeaderContentType("text/plain");
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
