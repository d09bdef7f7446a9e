// The settings files of key=value lines (srt.ini, webrtc.ini, whip.ini): one key a line, `#` lines
// and empty lines skipped, a CR before the line end taken away. Each file's module keeps its own
// table of keys (name, check, store); this walks the lines in order for it, so that every such file
// is read by the same rule.
#pragma once

#include <string>
#include <string_view>

// Calls `line(key, value, hasEquals)` for each line that holds something, in order, until it returns
// false; false then.
template <class F> bool KeyValue_forEach(std::string_view text, F &&line)
{
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view l = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!l.empty() && l.back() == '\r') {
            l.remove_suffix(1);
        }
        if (l.empty() || l.front() == '#') {
            continue;
        }
        size_t eq = l.find('=');
        std::string_view key = l.substr(0, eq);
        std::string_view value = eq == std::string_view::npos ? std::string_view() : l.substr(eq + 1);
        if (!line(key, value, eq != std::string_view::npos)) {
            return false;
        }
    }
    return true;
}

// True when every byte is printable ASCII (blank included).
bool KeyValue_printable(std::string_view v);
