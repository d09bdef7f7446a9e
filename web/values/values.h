// The answer of a page's read request: the current value of every field of the page, keyed by the
// field's form name, so that the page's script can fill radios, selects and text fields alike. A value
// the store does not hold, or holds in a form its readers cannot take, is null with a one-line note:
// the page then shows the field empty with the note, never a value the box would not use.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <string>

struct PageValues {
    nlohmann::json values = nlohmann::json::object();
    nlohmann::json notes = nlohmann::json::object();

    void set(const std::string &field, const std::string &value);
    // The field is answered as null with `note` (its first line only).
    void unknown(const std::string &field, const std::string &note);
};

// True for a read request: a GET carrying a "get" field. Such a request changes nothing.
bool PageValues_requested();

// Answers a read request with the values `fill` sets: "Cache-Control: no-store", application/json,
// {"values": {...}, "notes": {...}}. Text that is not UTF-8 (a stored SSID, say) is answered with
// replacement characters. Only running out of memory fails it: a 500 status with one line.
void PageValues_serve(const std::function<void(PageValues &)> &fill);
