#include "web/api/settings_values.h"

#include "web/api/backup.h"

#include "web/settings/current.h"
#include "web/stream2/stream2_apply.h"
#include "web/values/values.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>

using nlohmann::json;

namespace {

bool wholeNumber(const std::string &text)
{
    size_t digits = text.size() > 0 && text[0] == '-' ? 1 : 0;
    return text.size() > digits && text.size() - digits <= 10 &&
           text.find_first_not_of("0123456789", digits) == std::string::npos;
}

// The API's value of a page text.
json apiValue(const ApiSetting &s, const std::string &text)
{
    switch (s.kind) {
    case SettingKind::Integer: return wholeNumber(text) ? json(std::stoll(text)) : json(nullptr);
    case SettingKind::Choice: {
        std::string name = ApiSettings_formToApi(s, text);
        return name.empty() ? json(nullptr) : json(name);
    }
    case SettingKind::Text:
    case SettingKind::Secret: return text;
    }
    return nullptr;
}

size_t rowIndex(const ApiSetting *s)
{
    return static_cast<size_t>(s - ApiSettings_all().data());
}

// The page text a JSON value stands for; "" with `why` when it is none of that setting's values.
bool formValue(const ApiSetting &s, const json &v, std::string &form, std::string &why)
{
    switch (s.kind) {
    case SettingKind::Integer:
        if (!v.is_number_integer()) {
            why = "a whole number";
            return false;
        }
        form = std::to_string(v.get<long long>());
        return true;
    case SettingKind::Choice:
        if (!v.is_string()) {
            why = "a text, one of the choices";
            return false;
        }
        return ApiSettings_apiToForm(s, v.get<std::string>(), form, why);
    case SettingKind::Text:
    case SettingKind::Secret:
        if (!v.is_string()) {
            why = "a text";
            return false;
        }
        form = v.get<std::string>();
        return true;
    }
    return false;
}

} // namespace

json SettingsRead::answer() const
{
    return json{{"settings", values}, {"notes", notes}};
}

SettingsRead SettingsValues_read()
{
    PageValues pages;
    // The readers may say what they make of a bad file: not into this answer.
    SettingsValues_captured([&pages] {
        Current_settings(pages);
        Stream2Cgi_values(pages);
    });
    SettingsRead r;
    for (const std::string &g : ApiSettings_groups()) {
        r.values[g] = json::object();
    }
    for (const ApiSetting &s : ApiSettings_all()) {
        std::string field = s.kind == SettingKind::Secret ? std::string(s.name) + "_secret" : s.name;
        const json &v = pages.values.contains(field) ? pages.values[field] : json(nullptr);
        if (v.is_string()) {
            r.page[s.name] = v;
            r.values[s.group][s.name] = apiValue(s, v.get<std::string>());
        } else {
            r.values[s.group][s.name] = nullptr;
        }
        if (pages.notes.contains(s.name)) {
            r.notes[s.name] = pages.notes[s.name];
        } else if (v.is_string() && r.values[s.group][s.name].is_null()) {
            r.notes[s.name] = "the box holds \"" + v.get<std::string>() + "\", which is none of its values";
        }
    }
    return r;
}

namespace {

// The request's names and values, a group's object giving its names.
std::vector<std::pair<std::string, json>> flattened(const json &body)
{
    std::vector<std::pair<std::string, json>> given;
    std::vector<std::string> groups = ApiSettings_groups();
    for (const auto &[key, value] : body.items()) {
        if (value.is_object() && std::find(groups.begin(), groups.end(), key) != groups.end()) {
            for (const auto &[name, v] : value.items()) {
                given.emplace_back(name, v);
            }
        } else {
            given.emplace_back(key, value);
        }
    }
    return given;
}

// The changes in the table's order. A pair the page sends with one button (a mask's x and y) is one
// action with both new values: the second of the two would find the files already as it wants them
// and look refused.
std::vector<StagedChange> ordered(std::vector<StagedChange> staged, const std::map<std::string, std::string> &wanted,
                                  const SettingsRead &now)
{
    std::sort(staged.begin(), staged.end(),
              [](const StagedChange &a, const StagedChange &b) { return rowIndex(a.setting) < rowIndex(b.setting); });
    std::vector<StagedChange> joined;
    for (StagedChange &ch : staged) {
        const char *p = ch.setting->partner;
        if (p != nullptr) {
            auto it = wanted.find(p);
            ch.withPartner = it != wanted.end();
            ch.partnerValue = ch.withPartner ? it->second : now.page.value(p, "");
            if (ch.withPartner && rowIndex(ApiSettings_find(p)) < rowIndex(ch.setting)) {
                continue; // made by its partner's action
            }
        }
        joined.push_back(ch);
    }
    return joined;
}

} // namespace

Changes SettingsValues_changes(const json &body, const json &secrets, bool restore)
{
    Changes c;
    if (!body.is_object()) {
        c.refused.push_back(json{{"name", ""}, {"group", ""}, {"reason", "the settings are a JSON object"}});
        return c;
    }
    SettingsRead now = SettingsValues_read();
    // A file's secret that is the one stored here is no change: a box's own backup restores even when
    // a stored secret predates today's rule (the factory Wi-Fi passphrase is shorter than it allows).
    json stored = restore ? Backup_secrets() : json::object();
    std::map<std::string, std::string> wanted; // name -> page text
    std::vector<StagedChange> staged;
    for (const auto &[name, v] : flattened(body)) {
        const ApiSetting *s = ApiSettings_find(name);
        if (s == nullptr) {
            json entry{{"name", name}, {"reason", "no such setting"}};
            if (!restore) {
                entry["group"] = "";
            }
            (restore ? c.ignored : c.refused).push_back(entry);
            continue;
        }
        if (restore && v.is_null()) {
            continue; // the backed-up box had no value for it: the one here is kept
        }
        std::string shown = now.page.value(name, "");
        bool fromSecrets = restore && secrets.is_object() && secrets.contains(name);
        if (fromSecrets && stored.contains(name) && stored[name] == secrets[name]) {
            c.unchanged.push_back(name);
            continue;
        }
        if (!fromSecrets && s->kind == SettingKind::Secret &&
            (restore || (v.is_string() && v.get<std::string>() == shown))) {
            // Sent back as shown, or a file without the secrets: the stored one is kept (a shown text
            // is never a secret's value).
            c.unchanged.push_back(name);
            continue;
        }
        std::string form;
        std::string why;
        if (!formValue(*s, fromSecrets ? secrets[name] : v, form, why)) {
            c.refused.push_back(json{{"name", name}, {"group", s->group}, {"reason", "takes " + why}});
        } else if (s->kind != SettingKind::Secret && form == shown) {
            c.unchanged.push_back(name);
        } else {
            wanted[name] = form;
            staged.push_back({s, form, shown, "", false});
        }
    }
    c.staged = ordered(std::move(staged), wanted, now);
    return c;
}

std::string SettingsValues_captured(const std::function<void()> &fn)
{
    std::fflush(stdout);
    FILE *tmp = std::tmpfile();
    int saved = ::dup(STDOUT_FILENO);
    if (tmp == nullptr || saved < 0) {
        if (tmp != nullptr) {
            std::fclose(tmp);
        }
        if (saved >= 0) {
            ::close(saved);
        }
        fn(); // nowhere to put it aside: better said than lost
        return {};
    }
    ::dup2(::fileno(tmp), STDOUT_FILENO);
    fn();
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    std::string out;
    std::rewind(tmp);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, tmp)) > 0) {
        out.append(buf, n);
    }
    std::fclose(tmp);
    return out;
}
