// Configuration store readers and writers. Stateless; called from the main thread at start-up, from
// stage threads as they create their objects, and from the CGIs. Each reader uses a fixed buffer of
// its own and reads no more than that buffer holds.
#include "encode/core/config_store.h"
#include "encode/core/key_value_file.h"

#include "encode/core/paths.h"
#include "encode/core/shell.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

bool isDigit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

// Reads up to `limit` bytes from the start of the file; Config_ENOFILE when it cannot be opened.
int readHead(std::string_view path, char *buf, int limit)
{
    std::string real = Path_resolve(path);
    int fd = ::open(real.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return Config_ENOFILE;
    }
    int total = 0;
    while (total < limit) {
        ssize_t n = ::read(fd, buf + total, static_cast<size_t>(limit - total));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        total += static_cast<int>(n);
    }
    ::close(fd);
    return total;
}

int writeWhole(std::string_view path, std::string_view text)
{
    std::string real = Path_resolve(path);
    int fd = ::open(real.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return Config_ENOFILE;
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ::close(fd);
            return Config_EWRITE;
        }
        done += static_cast<size_t>(n);
    }
    return ::close(fd) == 0 ? Config_EOK : Config_EWRITE;
}

// Parses one "%d" field at text[pos] as scanf would (leading whitespace, optional sign, digits).
// Out-of-range values saturate instead of invoking undefined conversion.
bool parseInt(std::string_view text, size_t &pos, int &out)
{
    size_t i = pos;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r' ||
                               text[i] == '\v' || text[i] == '\f')) {
        i++;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        i++;
    }
    if (i >= text.size() || !isDigit(static_cast<unsigned char>(text[i]))) {
        return false;
    }
    long long v = 0;
    while (i < text.size() && isDigit(static_cast<unsigned char>(text[i]))) {
        if (v < 100000000000LL) {
            v = v * 10 + (text[i] - '0');
        }
        i++;
    }
    if (negative) {
        v = -v;
    }
    if (v > 2147483647LL) {
        v = 2147483647LL;
    } else if (v < -2147483648LL) {
        v = -2147483648LL;
    }
    out = static_cast<int>(v);
    pos = i;
    return true;
}

} // namespace

FlagRead Config_readFlag(std::string_view path)
{
    FlagRead r;
    char c = 0;
    int n = readHead(path, &c, 1);
    if (n < 0) {
        return r;
    }
    if (n == 0) {
        r.state = FileState::Empty;
        return r;
    }
    r.state = FileState::Read;
    r.first = static_cast<unsigned char>(c);
    return r;
}

DigitRead Config_readDigits(std::string_view path, int positions)
{
    DigitRead r;
    if (positions < 1) {
        positions = 1;
    } else if (positions > 3) {
        positions = 3;
    }
    char buf[3] = {0, 0, 0};
    int n = readHead(path, buf, positions);
    if (n < 0) {
        return r;
    }
    r.count = n;
    r.state = n == 0 ? FileState::Empty : FileState::Read;
    for (int i = 0; i < n; i++) {
        r.bytes[i] = static_cast<unsigned char>(buf[i]);
    }
    while (r.digits < n && isDigit(r.bytes[r.digits])) {
        r.value = r.value * 10 + (r.bytes[r.digits] - '0');
        r.digits++;
    }
    return r;
}

bool Config_exists(std::string_view path)
{
    return ::access(Path_resolve(path).c_str(), F_OK) == 0;
}

void Config_syncTwice()
{
    Shell_run("sync");
    Shell_run("sync");
}

bool Config_parseDecimal(std::string_view text, bool allowSign, int maxDigits, long long &value)
{
    size_t i = 0;
    bool negative = false;
    if (allowSign && !text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        i = 1;
    }
    size_t digits = text.size() - i;
    if (maxDigits > 18) {
        maxDigits = 18;
    }
    if (digits == 0 || digits > static_cast<size_t>(maxDigits)) {
        return false;
    }
    long long v = 0;
    for (; i < text.size(); i++) {
        if (!isDigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
        v = v * 10 + (text[i] - '0');
    }
    value = negative ? -v : v;
    return true;
}

int Config_readTtl()
{
    DigitRead r = Config_readDigits("/mnt/ttl.ini", 3);
    if (r.state != FileState::Read) {
        std::printf("no ttl.ini, so use default\n");
        return 0;
    }
    std::printf("ttl.ini read=%d\n", r.value);
    return r.value;
}

int Config_readMaxDelayMs()
{
    DigitRead r = Config_readDigits("/mnt/kavex_maxdelay.ini", 2);
    if (r.state != FileState::Read || r.digits == 0) {
        return 1000;
    }
    // One digit 1..9 followed by a line end or nothing, or two digits; "0" and "00" keep the default.
    if (r.value < 1) {
        return 1000;
    }
    return r.value * 100;
}

int Config_readBufferCount()
{
    DigitRead r = Config_readDigits("/mnt/kavex_maxdelay.ini", 2);
    if (r.state != FileState::Read) {
        return 3;
    }
    bool secondIsDigit = r.count == 2 && isDigit(r.bytes[1]);
    if (!secondIsDigit && r.bytes[0] >= '1' && r.bytes[0] <= '5') {
        return 2;
    }
    return 3;
}

int Config_readEncLevel()
{
    DigitRead r = Config_readDigits("/mnt/kavex_encLevel.ini", 2);
    int level = 0;
    if (r.state == FileState::Read) {
        if (r.bytes[0] == '9') {
            level = 9;
        } else if (r.digits >= 2) {
            level = r.value;
        } else {
            level = 0; // "0", a single other digit, or a non-digit second byte
        }
    }
    return level < 1 ? 40 : level;
}

int Config_readAudioDelay(int keep)
{
    DigitRead r = Config_readDigits("/mnt/time.ini", 2);
    if (r.state != FileState::Read) {
        std::printf("no time.ini\n");
        return keep;
    }
    if (r.count == 2 && isDigit(r.bytes[0]) && isDigit(r.bytes[1])) {
        return r.value;
    }
    return isDigit(r.bytes[0]) ? r.bytes[0] - '0' : 0;
}

bool Config_readText(std::string_view path, std::string &text, int byteLimit)
{
    if (byteLimit < 0) {
        byteLimit = 0;
    }
    std::vector<char> buf(static_cast<size_t>(byteLimit) + 1);
    int n = readHead(path, buf.data(), byteLimit);
    if (n < 0) {
        return false;
    }
    text.assign(buf.data(), static_cast<size_t>(n));
    return true;
}

int Config_readRecord(std::string_view path, std::span<int> fields, int byteLimit)
{
    std::string text;
    if (!Config_readText(path, text, byteLimit)) {
        return Config_ENOFILE;
    }
    size_t pos = 0;
    int parsed = 0;
    for (int &field : fields) {
        int v = 0;
        if (!parseInt(text, pos, v)) {
            break;
        }
        field = v;
        parsed++;
    }
    return parsed;
}

int Config_writeText(std::string_view path, std::string_view text)
{
    int r = writeWhole(path, text);
    if (r != Config_EOK) {
        return r;
    }
    Shell_run("sync");
    return Config_EOK;
}

int Config_writeRecord(std::string_view path, std::span<const int> fields)
{
    std::string text;
    for (size_t i = 0; i < fields.size(); i++) {
        if (i > 0) {
            text += ' ';
        }
        text += std::to_string(fields[i]);
    }
    return Config_writeText(path, text);
}

std::string Config_replaceFieldText(std::string_view record, int fieldNumber, std::string_view text)
{
    std::vector<std::string_view> parts;
    size_t i = 0;
    while (i < record.size()) {
        while (i < record.size() && (record[i] == ' ' || record[i] == '\n' || record[i] == '\r' || record[i] == '\t')) {
            i++;
        }
        if (i >= record.size()) {
            break;
        }
        size_t e = record.find_first_of(" \n\r\t", i);
        if (e == std::string_view::npos) {
            e = record.size();
        }
        parts.push_back(record.substr(i, e - i));
        i = e;
    }
    if (fieldNumber < 1) {
        return std::string(record);
    }
    while (static_cast<int>(parts.size()) < fieldNumber) {
        parts.push_back("0");
    }
    parts[static_cast<size_t>(fieldNumber - 1)] = text;
    std::string out;
    for (size_t k = 0; k < parts.size(); k++) {
        if (k > 0) {
            out += ' ';
        }
        out += parts[k];
    }
    return out;
}

int Config_replaceField(std::string_view path, int fieldNumber, std::string_view text, int byteLimit)
{
    std::string record;
    if (!Config_readText(path, record, byteLimit)) {
        return Config_ENOFILE;
    }
    return Config_writeText(path, Config_replaceFieldText(record, fieldNumber, text));
}

bool KeyValue_printable(std::string_view v)
{
    for (unsigned char c : v) {
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}
