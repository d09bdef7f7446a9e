// The settings the JSON API reads and changes: one row per field of the settings pages, grouped as the
// pages group them. The row says how the page sends the field (its program, its button, the text of
// each choice), so that a change is applied by the page's own action with the page's own check: the
// API has no rule of its own. The OpenAPI document is made from these rows too.
//
// A value in the API is what the page shows: a typed text or number as it is, a choice by the name of
// its label, a secret only as "not set" / "set" / "set (…a1b2)" (sent back so, it is kept).
#pragma once

#include <string>
#include <string_view>
#include <vector>

enum class SettingKind { Text, Integer, Choice, Secret };
enum class SettingPage { Settings, Stream2 };
enum class SettingEffect { Restart, AtOnce };

struct SettingChoice {
    const char *api;  // the API's name of the choice
    const char *form; // what the page sends for it
};

struct ApiSetting {
    const char *group; // the page's section
    const char *name;  // the page's field name, which is also the API's
    SettingKind kind;
    SettingPage page;
    const char *button;             // the button the page sends with the field
    const char *clear = nullptr;    // the button an empty value is sent with instead, when there is one
    const char *partner = nullptr;  // a field the button takes with this one (sent at its current value)
    std::vector<SettingChoice> choices;
    SettingEffect effect = SettingEffect::Restart;
    const char *about = "";
};

// Every row, in the pages' order.
const std::vector<ApiSetting> &ApiSettings_all();

// The row of a field name, or null.
const ApiSetting *ApiSettings_find(std::string_view name);

// The groups in the pages' order.
std::vector<std::string> ApiSettings_groups();

// A page value (what the page's read answer holds) as the API shows it; null when the page has none.
// For a secret, `shown` is the page's "<name>_secret" text.
std::string ApiSettings_formToApi(const ApiSetting &s, const std::string &form);
// The page's text for an API value; "" with *why set when the value is no value of that row.
bool ApiSettings_apiToForm(const ApiSetting &s, const std::string &api, std::string &form, std::string &why);
