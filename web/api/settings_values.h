// The API's view of the settings: the pages' read answers turned into the API's values (by the settings
// table), and a request's values turned into the changes the pages' actions are handed.
#pragma once

#include "web/api/staged_apply.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <vector>

struct SettingsRead {
    nlohmann::json values = nlohmann::json::object(); // {"<group>": {"<name>": value}}; null when unknown
    nlohmann::json notes = nlohmann::json::object();  // {"<name>": "why it has no value"}
    nlohmann::json page = nlohmann::json::object();   // {"<name>": the page's own text, the shown secret for secrets}
    // {"settings": values, "notes": notes}
    nlohmann::json answer() const;
};

// Both pages' current values, read as the pages read them.
SettingsRead SettingsValues_read();

struct Changes {
    std::vector<StagedChange> staged; // in the table's order
    nlohmann::json refused = nlohmann::json::array();   // [{"name", "group", "reason"}]: no value of that setting
    nlohmann::json unchanged = nlohmann::json::array(); // names whose value is the one the box holds
    nlohmann::json ignored = nlohmann::json::array();   // [{"name", "reason"}]: a restore's names this software lacks
};

// `body` is {"name": value} or {"<group>": {"name": value}}, or a mix. With `restore`, a name this
// software does not have is ignored rather than refused, a null value (no value on the box the file
// comes from) leaves the setting as it is, and a secret's value is
// taken from `secrets` ({"name": value}) when the file holds it.
Changes SettingsValues_changes(const nlohmann::json &body, const nlohmann::json &secrets, bool restore = false);

// What `fn` prints on standard output, taken apart from the answer.
std::string SettingsValues_captured(const std::function<void()> &fn);
