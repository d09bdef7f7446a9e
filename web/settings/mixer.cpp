// Mixer state editing: pure text functions, the CGI does the file I/O.
#include "web/settings/mixer.h"

#include <cstdlib>

namespace {

constexpr int kVolumeBlock = 27;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The trailing number of the line [b, e): its offset and length, or nullopt.
std::optional<std::pair<size_t, size_t>> trailingNumber(std::string_view s, size_t b, size_t e)
{
    size_t end = e;
    while (end > b && (s[end - 1] == '\r' || s[end - 1] == ' ' || s[end - 1] == '\t')) {
        end--;
    }
    size_t start = end;
    while (start > b && isDigit(s[start - 1])) {
        start--;
    }
    if (start == end) {
        return std::nullopt;
    }
    return std::make_pair(start, end - start);
}

// The line of s starting at b: its end (the '\n' or the end of s).
size_t lineEnd(std::string_view s, size_t b)
{
    size_t e = s.find('\n', b);
    return e == std::string_view::npos ? s.size() : e;
}

int toInt(std::string_view s)
{
    int n = 0;
    for (char c : s) {
        if (!isDigit(c) || n > 100000000) {
            break;
        }
        n = n * 10 + (c - '0');
    }
    return n;
}

} // namespace

std::optional<MixerVolume> Mixer_find(std::string_view state)
{
    size_t p = std::string_view::npos;
    int braces = 0;
    for (size_t i = 0; i < state.size(); i++) {
        if (state[i] == '{' && ++braces == kVolumeBlock) {
            p = i + 1;
            break;
        }
    }
    if (p == std::string_view::npos) {
        return std::nullopt;
    }
    MixerVolume v;
    bool have0 = false;
    for (size_t b = p; b < state.size();) {
        size_t e = lineEnd(state, b);
        std::string_view line = state.substr(b, e - b);
        if (!have0) {
            size_t r = line.find("comment.range");
            if (r != std::string_view::npos) {
                // comment.range 'LO - HI'
                size_t q = line.find('\'', r);
                if (q != std::string_view::npos) {
                    std::string_view rest = line.substr(q + 1);
                    size_t dash = rest.find(" - ");
                    if (dash != std::string_view::npos && dash > 0 && isDigit(rest[0]) &&
                        dash + 3 < rest.size() && isDigit(rest[dash + 3])) {
                        v.hasRange = true;
                        v.lo = toInt(rest);
                        v.hi = toInt(rest.substr(dash + 3));
                    }
                }
            }
            if (line.find(".0") != std::string_view::npos) {
                auto n = trailingNumber(state, b, e);
                if (!n) {
                    return std::nullopt;
                }
                v.pos0 = n->first;
                v.len0 = n->second;
                v.value = toInt(state.substr(v.pos0, v.len0));
                have0 = true;
            }
        } else if (line.find(".1") != std::string_view::npos) {
            auto n = trailingNumber(state, b, e);
            if (!n) {
                return std::nullopt;
            }
            v.pos1 = n->first;
            v.len1 = n->second;
            return v;
        }
        b = e + 1;
    }
    return std::nullopt;
}

std::string Mixer_replace(std::string_view state, const MixerVolume &v, std::string_view value)
{
    std::string out;
    out.reserve(state.size() + 2 * value.size());
    out.append(state.substr(0, v.pos0));
    out.append(value);
    out.append(state.substr(v.pos0 + v.len0, v.pos1 - (v.pos0 + v.len0)));
    out.append(value);
    out.append(state.substr(v.pos1 + v.len1));
    return out;
}
