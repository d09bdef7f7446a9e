// Subtitle record and GB2312 conversion; pure apart from iconv.
#include "web/settings/subtitle.h"

#include <iconv.h>

#include <cerrno>
#include <initializer_list>

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// One "%d": blanks, sign, digits (saturating). False when no number stands at pos.
bool scanInt(std::string_view s, size_t &pos, int &out)
{
    size_t i = pos;
    while (i < s.size() && isSpace(s[i])) {
        i++;
    }
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
        negative = s[i] == '-';
        i++;
    }
    if (i >= s.size() || s[i] < '0' || s[i] > '9') {
        return false;
    }
    long long n = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        if (n <= 2147483648LL) {
            n = n * 10 + (s[i] - '0');
        }
        i++;
    }
    n = negative ? -n : n;
    out = static_cast<int>(n > 2147483647LL ? 2147483647LL : (n < -2147483648LL ? -2147483648LL : n));
    pos = i;
    return true;
}

class Converter {
public:
    Converter(const char *to, const char *from) : cd_(iconv_open(to, from)) {}
    ~Converter()
    {
        if (ok()) {
            iconv_close(cd_);
        }
    }
    Converter(const Converter &) = delete;
    Converter &operator=(const Converter &) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }

private:
    iconv_t cd_;
};

// Converts a whole text; false (errno set) on an invalid or incomplete sequence.
bool convert(iconv_t cd, std::string_view in, std::string &out, size_t &result)
{
    out.clear();
    char *src = const_cast<char *>(in.data());
    size_t left = in.size();
    char buf[256];
    while (true) {
        char *dst = buf;
        size_t room = sizeof buf;
        result = iconv(cd, left > 0 ? &src : nullptr, left > 0 ? &left : nullptr, &dst, &room);
        out.append(buf, static_cast<size_t>(dst - buf));
        if (result != static_cast<size_t>(-1)) {
            if (left == 0) {
                break;
            }
            continue;
        }
        if (errno != E2BIG) {
            return false;
        }
    }
    return true;
}

} // namespace

SubtitleRecord Subtitle_parse(std::string_view record)
{
    SubtitleRecord r;
    size_t pos = 0;
    for (int *field : {&r.enable, &r.x, &r.y}) {
        if (!scanInt(record, pos, *field)) {
            return r;
        }
        r.fields++;
    }
    while (pos < record.size() && isSpace(record[pos])) {
        pos++;
    }
    size_t e = pos;
    while (e < record.size() && !isSpace(record[e])) {
        e++;
    }
    r.text.assign(record.substr(pos, e - pos));
    r.fields += r.text.empty() ? 0 : 1;
    return r;
}

std::string Subtitle_format(const SubtitleRecord &r)
{
    return std::to_string(r.enable) + " " + std::to_string(r.x) + " " + std::to_string(r.y) + " " + r.text;
}

SubtitleStatus Subtitle_encode(std::string_view utf8, std::string &gb, int &detail, int &err)
{
    detail = 0;
    err = 0;
    Converter cd("GB2312", "UTF-8");
    if (!cd.ok()) {
        detail = -1;
        err = errno;
        return SubtitleStatus::NoConverter;
    }
    std::string raw;
    size_t result = 0;
    if (!convert(cd.get(), utf8, raw, result)) {
        detail = static_cast<int>(result);
        err = errno;
        return SubtitleStatus::BadText;
    }
    gb.clear();
    for (char c : raw) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x80) {
            gb += '\xA3';
            gb += static_cast<char>(u + 0x80);
        } else {
            gb += c;
        }
    }
    return SubtitleStatus::Ok;
}

std::string Subtitle_decode(std::string_view gb)
{
    Converter cd("UTF-8", "GB2312");
    std::string out;
    size_t i = 0;
    while (i < gb.size()) {
        unsigned char u = static_cast<unsigned char>(gb[i]);
        if (u < 0x80) {
            out += gb[i++];
            continue;
        }
        if (i + 1 >= gb.size()) {
            out += '?';
            break;
        }
        std::string one;
        size_t result = 0;
        if (cd.ok() && convert(cd.get(), gb.substr(i, 2), one, result)) {
            out += one;
        } else if (u == 0xA3 && static_cast<unsigned char>(gb[i + 1]) >= 0x80) {
            out += static_cast<char>(static_cast<unsigned char>(gb[i + 1]) - 0x80);
        } else {
            out += '?';
        }
        i += 2;
    }
    return out;
}
