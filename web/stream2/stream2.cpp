// The second-stream settings page's actions. They edit two records of the store: the second ("fml") stream's
// eleven fields in /mnt/kavex_rs.ini and the choice of stream per output in /mnt/kavex_rsc.ini. Every
// change re-reads the record, replaces one field and writes all of them back, so several changes in
// one request all stay. One request, one thread.
//
// Typed numbers must be plain decimal digits; they reach the files through file I/O only.
#include "web/stream2/stream2_apply.h"

#include "web/form/form.h"

#include "encode/core/config_store.h"
#include "encode/core/shell.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>

namespace {

const char *kRadioChoices[] = {"male", "female", "amale"};
constexpr int kTwoWay = 2;
constexpr int kThreeWay = 3;

const char *kLevelChoices[] = {"50", "42", "41", "40", "32", "31", "30", "22", "21", "20", "13", "12", "11", "9", "10"};
constexpr int kLevelCount = static_cast<int>(sizeof kLevelChoices / sizeof kLevelChoices[0]);

struct RecordFile {
    const char *path;
    const char *factoryPath;
    const char *restoreCommand;
    const char *name;
    int fieldCount;
};

constexpr RecordFile kRs = {"/mnt/kavex_rs.ini", "/mnt/dfc/kavex_rs.ini",
                            "cp -f /mnt/dfc/kavex_rs.ini /mnt/kavex_rs.ini", "kavex_rs.ini", 11};
constexpr RecordFile kRsc = {"/mnt/kavex_rsc.ini", "/mnt/dfc/kavex_rsc.ini",
                             "cp -f /mnt/dfc/kavex_rsc.ini /mnt/kavex_rsc.ini", "kavex_rsc.ini", 2};
constexpr int kMaxFields = 11;

// Second-stream record fields (0-based).
enum RsField { kEnable = 0, kWidth, kHeight, kBitrate, kFramerate, kIFrame, kIdr, kMaxDelay, kProfile, kPreset, kLevel };

// Copies the factory record over the live one; false when there is no factory copy or the copy fails.
bool restoreFactory(const RecordFile &f)
{
    if (!Config_exists(f.factoryPath)) {
        return false;
    }
    int status = Shell_run(f.restoreCommand);
    Config_syncTwice();
    return status == 0;
}

// The record as it stands (its first 80 bytes): the number of fields read, -1 without the file.
int readRecord(const RecordFile &f, int *fields)
{
    std::fill(fields, fields + f.fieldCount, 0);
    return Config_readRecord(f.path, std::span<int>(fields, static_cast<size_t>(f.fieldCount)),
                             kRecordLimitSecondStream);
}

// Reads the record for a change or the report. A record that is missing, or holds no number at all,
// is first restored from the factory copy: the encoder cannot start without it, and writing it back
// from nothing would store a stream of size 0. Without a factory copy nothing is written.
bool loadRecord(const RecordFile &f, int *fields)
{
    if (readRecord(f, fields) > 0) {
        return true;
    }
    if (restoreFactory(f)) {
        if (readRecord(f, fields) > 0) {
            std::printf("%s was missing or unreadable: factory settings restored\n", f.name);
            return true;
        }
    }
    std::printf("Can't open file %s\n", f.name);
    return false;
}

// Replaces one field and writes the whole record back; prints "set ok" when stored.
bool storeField(const RecordFile &f, int index, int value)
{
    int fields[kMaxFields];
    if (!loadRecord(f, fields)) {
        return false;
    }
    fields[index] = value;
    if (Config_writeRecord(f.path, std::span<const int>(fields, static_cast<size_t>(f.fieldCount))) != Config_EOK) {
        std::printf("Can't open file");
        return false;
    }
    Shell_run("sync"); // the writer ran the first
    std::printf("set ok\n");
    return true;
}

// Plain decimal digits that fit an int: anything else is refused, never read as 0.
bool parseNumber(const char *text, int &value)
{
    long long v = 0;
    if (!Config_parseDecimal(text, false, 10, v) || v > INT_MAX) {
        return false;
    }
    value = static_cast<int>(v);
    return true;
}

constexpr int kNoChoice = -1;

// A list's value must be one of its choices: any other is refused with one line (the settings
// program's line for the same rule), never read as the first choice. A list the form did not send
// is simply not applied. The choice index, or kNoChoice.
int choiceIndex(const char *name, cgiFormResultType r, int index)
{
    if (r == cgiFormNoSuchChoice) {
        std::printf("refused %s: not one of the offered choices\n", name);
    }
    return r == cgiFormSuccess ? index : kNoChoice;
}

int radioChoice(const char *name, int choices)
{
    int choice = 0;
    cgiFormResultType r = cgiFormRadio(name, kRadioChoices, choices, &choice, 0);
    return choiceIndex(name, r, choice);
}

int listChoice(const char *name, const char **choices, int count)
{
    int index = 0;
    cgiFormResultType r = cgiFormSelectSingle(name, choices, count, &index, 0);
    return choiceIndex(name, r, index);
}

struct TextAction {
    const char *button;
    const char *field;
    const char *confirmBefore; // the confirmation is confirmBefore + typed text + confirmAfter
    const char *confirmAfter;
    RsField index;
};

constexpr TextAction kTextActions[] = {
    {"l_submit", "l", "set length:", "\n", kWidth},
    {"w_submit", "w", "set width:", "\n", kHeight},
    {"s_bitrate_submit", "s_bitrate", "set bitrate:", "\n", kBitrate},
    {"s_framerate_submit", "s_framerate", "set framerate:", "\n", kFramerate},
    {"s_fi_submit", "s_fi", "set i frame:", "\n", kIFrame},
    {"s_idr_submit", "s_idr", "set idr frame:", "\n", kIdr},
    {"s_cvbr_submit", "s_cvbr", "set H264 Max Delay:", "00 ms\n", kMaxDelay},
};

void textAction(const TextAction &a)
{
    if (!cgiFormButtonPressed(a.button)) {
        return;
    }
    char text[1024];
    cgiFormResultType r = cgiFormStringNoNewlines(a.field, text, sizeof text);
    if (r == cgiFormTruncated) {
        std::printf("error len");
        return;
    }
    if (r == cgiFormEmpty) {
        std::printf("input empty");
        return;
    }
    if (r != cgiFormSuccess) {
        return;
    }
    int value = 0;
    if (!parseNumber(text, value)) {
        std::printf("invalid value:%s (digits 0-9 only), nothing changed\n", text);
        return;
    }
    std::printf("%s%s%s", a.confirmBefore, text, a.confirmAfter);
    storeField(kRs, a.index, value);
}

const char *levelText(int level)
{
    struct Level {
        int value;
        const char *text;
    };
    static constexpr Level kLevels[] = {
        {0, "4.0"},  {40, "4.0"}, {9, "1.b"},  {10, "1.0"}, {11, "1.1"}, {12, "1.2"}, {13, "1.3"}, {20, "2.0"},
        {21, "2.1"}, {22, "2.2"}, {30, "3.0"}, {31, "3.1"}, {32, "3.2"}, {41, "4.1"}, {42, "4.2"}, {50, "5.0"},
    };
    for (const Level &l : kLevels) {
        if (l.value == level) {
            return l.text;
        }
    }
    return nullptr;
}

void report()
{
    int rs[kMaxFields];
    if (!loadRecord(kRs, rs)) {
        return;
    }
    std::printf(rs[kEnable] == 1 ? "second stream enable\n" : "second stream disable\n");
    std::printf("Length=%d\n", rs[kWidth]);
    std::printf("width=%d\n", rs[kHeight]);
    std::printf("bitrate=%d\n", rs[kBitrate]);
    std::printf("framerate=%d\n", rs[kFramerate]);
    std::printf("i frame=%d\n", rs[kIFrame]);
    std::printf("idr frame=%d\n", rs[kIdr]);
    std::printf("H264 Max Delay:%lld ms\n", static_cast<long long>(rs[kMaxDelay]) * 100);
    if (rs[kProfile] == 1) {
        std::printf("H264 encode Main Profile select\n");
    } else if (rs[kProfile] == 2) {
        std::printf("H264 encode BaseLine Profile select\n");
    } else {
        std::printf("H264 encode High Profile select\n");
    }
    std::printf(rs[kPreset] == 1 ? "H264 encode High speed mode select\n" : "H264 encode High quality mode select\n");
    if (const char *level = levelText(rs[kLevel])) {
        std::printf("H264 encode standard: Level %s\n", level);
    }
}

// A two-way radio that stores 1 for its first choice and 0 for its second.
struct SwitchRadio {
    const char *button;
    const char *name;
    const char *firstText; // printed for the first choice
    const char *secondText;
    const RecordFile *file;
    int index;
};

constexpr SwitchRadio kSwitchRadios[] = {
    {"sbnt_submit", "sbnt", "second stream enable\n", "second stream disable\n", &kRs, kEnable},
    {"ts_stream_submit", "ts_stream", "ts stream select:second stream\n", "ts stream select:main stream\n", &kRsc, 0},
    {"r_stream_submit", "r_stream", "rtsp/rtmp stream select:second stream\n", "rtsp/rtmp stream select:main stream\n",
     &kRsc, 1},
};

void switchAction(const SwitchRadio &s)
{
    if (!cgiFormButtonPressed(s.button)) {
        return;
    }
    int choice = radioChoice(s.name, kTwoWay);
    if (choice != kNoChoice) {
        std::printf("%s", choice == 1 ? s.secondText : s.firstText);
        storeField(*s.file, s.index, choice == 1 ? 0 : 1);
    }
}

// Profile and preset: the confirmation follows the store, so it is only printed for a stored choice.
void codecActions()
{
    if (cgiFormButtonPressed("s_codec_submit")) {
        int choice = radioChoice("s_ctrlbz", kThreeWay);
        if (choice != kNoChoice && storeField(kRs, kProfile, choice)) {
            static const char *const kLines[] = {"H264 encode High Profile select\n",
                                                 "H264 encode Main Profile select\n",
                                                 "H264 encode Baseline Profile select\n"};
            std::printf("%s", kLines[choice]);
        }
    }
    if (cgiFormButtonPressed("s_ctrlcz_submit")) {
        int choice = radioChoice("s_ctrlcz", kTwoWay);
        if (choice != kNoChoice && storeField(kRs, kPreset, choice == 1 ? 1 : 0)) {
            std::printf(choice == 1 ? "H264 encode High speed mode select\n" : "H264 encode High quality mode select\n");
        }
    }
}

void resetAction()
{
    if (restoreFactory(kRs)) {
        std::printf("H264 encode standard: Level 4.0\n");
        std::printf("recover ok");
    } else {
        std::printf("recover failed: cannot restore kavex_rs.ini from /mnt/dfc\n");
    }
}

// --- The page's current values, read as the report reads them but never restored: a read writes
// nothing, so a missing or unreadable record is answered as null until a change restores it. ---

struct PageField {
    const char *name;
    const RecordFile *file;
    int index;
};

constexpr PageField kPageFields[] = {
    {"sbnt", &kRs, kEnable},
    {"l", &kRs, kWidth},
    {"w", &kRs, kHeight},
    {"s_bitrate", &kRs, kBitrate},
    {"s_framerate", &kRs, kFramerate},
    {"s_fi", &kRs, kIFrame},
    {"s_idr", &kRs, kIdr},
    {"s_cvbr", &kRs, kMaxDelay},
    {"s_ctrlbz", &kRs, kProfile},
    {"s_ctrlcz", &kRs, kPreset},
    {"s_menu_encst", &kRs, kLevel},
    {"ts_stream", &kRsc, 0},
    {"r_stream", &kRsc, 1},
};

// The field's value as the page sends it: the radio choice the handler stores this value from.
std::optional<std::string> pageText(const PageField &f, int v)
{
    if (f.file == &kRsc) {
        return v != 0 ? "male" : "female";
    }
    switch (f.index) {
    case kEnable: return v == 1 ? "male" : "female";
    case kProfile: return v == 1 ? "female" : v == 2 ? "amale" : "male";
    case kPreset: return v == 1 ? "female" : "male";
    case kLevel:
        if (levelText(v) == nullptr) {
            return std::nullopt;
        }
        return v == 0 ? "40" : std::to_string(v); // the encoder takes 0 as level 4.0
    default: return std::to_string(v);
    }
}

void currentValues(PageValues &out)
{
    int rs[kMaxFields];
    int rsc[kMaxFields];
    int rsCount = readRecord(kRs, rs);
    int rscCount = readRecord(kRsc, rsc);
    for (const PageField &f : kPageFields) {
        int count = f.file == &kRs ? rsCount : rscCount;
        int v = f.file == &kRs ? rs[f.index] : rsc[f.index];
        std::string path = f.file->path;
        std::optional<std::string> text = pageText(f, v);
        if (count < 0) {
            out.unknown(f.name, path + " is missing");
        } else if (count == 0) {
            out.unknown(f.name, path + " holds no number");
        } else if (f.index >= count) {
            out.unknown(f.name, path + " holds only " + std::to_string(count) + " fields");
        } else if (!text) {
            out.unknown(f.name, path + " holds level " + std::to_string(v) + ", which is not in the list");
        } else {
            out.set(f.name, *text);
        }
    }
}

} // namespace

void Stream2Cgi_values(PageValues &out)
{
    currentValues(out);
}

void Stream2Cgi_apply()
{
    for (const SwitchRadio &s : kSwitchRadios) {
        switchAction(s);
    }
    for (const TextAction &a : kTextActions) {
        textAction(a);
    }
    codecActions();
    if (cgiFormButtonPressed("s_resetencst")) {
        resetAction();
    }
    if (cgiFormButtonPressed("view_s")) {
        report();
    }
    if (cgiFormButtonPressed("s_encst_submit")) {
        int index = listChoice("s_menu_encst", kLevelChoices, kLevelCount);
        if (index != kNoChoice) {
            storeField(kRs, kLevel, std::atoi(kLevelChoices[index]));
        }
    }
}
