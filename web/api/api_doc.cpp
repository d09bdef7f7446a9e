#include "web/api/api_doc.h"

#include "web/api/settings_table.h"

#ifndef ENCODE_VERSION
#define ENCODE_VERSION "unknown"
#endif

using nlohmann::json;

namespace {

json settingSchema(const ApiSetting &s)
{
    std::string about = std::string(s.about) + "; takes effect " +
                        (s.effect == SettingEffect::AtOnce ? "at once" : "at the next restart");
    json schema{{"description", about}};
    switch (s.kind) {
    case SettingKind::Integer: schema["type"] = "integer"; break;
    case SettingKind::Text: schema["type"] = "string"; break;
    case SettingKind::Secret:
        schema["type"] = "string";
        schema["description"] = about + ". A secret: read as \"not set\", \"set\" or \"set (…a1b2)\"; sent back "
                                        "so, the stored one is kept; \"\" clears it where it can be cleared";
        break;
    case SettingKind::Choice: {
        schema["type"] = "string";
        json names = json::array();
        for (const SettingChoice &c : s.choices) {
            names.push_back(c.api);
        }
        schema["enum"] = names;
        break;
    }
    }
    schema["nullable"] = true;
    return schema;
}

// {"<group>": {"<name>": schema}} as an object schema of objects.
json settingsSchema()
{
    json groups = json::object();
    for (const ApiSetting &s : ApiSettings_all()) {
        json &g = groups[s.group];
        if (g.is_null()) {
            g = json{{"type", "object"}, {"additionalProperties", false}, {"properties", json::object()}};
        }
        g["properties"][s.name] = settingSchema(s);
    }
    return json{{"type", "object"}, {"additionalProperties", false}, {"properties", groups}};
}

json error()
{
    return json{{"description", "refused or failed"},
                {"content", {{"application/json", {{"schema", {{"$ref", "#/components/schemas/Error"}}}}}}}};
}

json jsonBody(const char *ref)
{
    return json{{"content", {{"application/json", {{"schema", {{"$ref", std::string("#/components/schemas/") + ref}}}}}}}};
}

json operation(const char *summary, const json &ok, bool changes)
{
    json op{{"summary", summary}, {"responses", {{"200", ok}, {"401", error()}, {"429", error()}}}};
    if (changes) {
        op["responses"]["403"] = error();
        op["responses"]["503"] = error();
    }
    return op;
}

json okJson(const char *description, const char *ref)
{
    json r = jsonBody(ref);
    r["description"] = description;
    return r;
}

// Every call of api.cpp with its answers.
json paths()
{
    json paths = json::object();
    paths["/status"]["get"] = operation("The status document", okJson("the status", "Free"), false);
    paths["/settings"]["get"] =
        operation("Every setting as the pages show it, by the pages' groups", okJson("the settings", "SettingsAnswer"), false);
    json patch = operation("Changes settings: all checked first, any refusal changes nothing",
                           okJson("every change written", "Applied"), true);
    patch["requestBody"] = jsonBody("Settings");
    patch["requestBody"]["required"] = true;
    patch["responses"]["422"] = okJson("refused: nothing changed", "Refused");
    paths["/settings"]["patch"] = patch;
    json restart = operation("Restarts the box", okJson("restarting", "Free"), true);
    restart["responses"]["202"] = restart["responses"]["200"];
    restart["responses"].erase("200");
    paths["/restart"]["post"] = restart;
    json key = operation("An IDR picture on a stream now (at most one a second)", okJson("asked", "Free"), true);
    key["requestBody"] = jsonBody("Keyframe");
    key["responses"]["202"] = key["responses"]["200"];
    key["responses"].erase("200");
    paths["/keyframe"]["post"] = key;
    paths["/log"]["get"] = operation("The console log's last lines", okJson("the lines", "Log"), false);
    json backup = operation("Every setting in one file; with secrets=1 also the secrets (a read-write login)",
                            okJson("the backup file", "Backup"), false);
    backup["parameters"] = json::array({{{"name", "secrets"},
                                         {"in", "query"},
                                         {"required", false},
                                         {"schema", {{"type", "integer"}, {"enum", {0, 1}}}}}});
    backup["responses"]["403"] = error();
    paths["/backup"]["get"] = backup;
    json restore = operation("Takes a backup file back: all or nothing", okJson("every setting written", "Applied"), true);
    restore["requestBody"] = jsonBody("Backup");
    restore["requestBody"]["required"] = true;
    restore["responses"]["422"] = okJson("refused: nothing changed", "Refused");
    paths["/restore"]["post"] = restore;
    json reset = operation("The factory settings; the login kept unless keep_login is false",
                           okJson("reset", "Free"), true);
    reset["requestBody"] = jsonBody("FactoryReset");
    paths["/factory-reset"]["post"] = reset;
    paths["/openapi.json"]["get"] = operation("This document", okJson("the document", "Free"), false);

    return paths;
}

// The bodies the calls take and answer; the settings' from the table.
json schemas()
{
    json free{{"type", "object"}, {"additionalProperties", true}};
    json schemas;
    schemas["Free"] = free;
    schemas["Settings"] = settingsSchema();
    schemas["Error"] = {{"type", "object"}, {"properties", {{"error", {{"type", "string"}}}}}, {"required", {"error"}}};
    schemas["SettingsAnswer"] = {
        {"type", "object"},
        {"properties", {{"settings", {{"$ref", "#/components/schemas/Settings"}}}, {"notes", free}}}};
    json refusal{{"type", "object"},
                 {"properties",
                  {{"name", {{"type", "string"}}}, {"group", {{"type", "string"}}}, {"reason", {{"type", "string"}}}}}};
    schemas["Refused"] = {{"type", "object"},
                          {"properties", {{"refused", {{"type", "array"}, {"items", refusal}}},
                                          {"changed", {{"type", "array"}, {"items", free}}}}}};
    json names{{"type", "array"}, {"items", free}};
    schemas["Applied"] = {{"type", "object"},
                          {"properties",
                           {{"changed", names},
                            {"unchanged", names},
                            {"ignored", names},
                            {"files", {{"type", "array"}, {"items", {{"type", "string"}}}}},
                            {"restart_needed", {{"type", "boolean"}}}}}};
    schemas["Keyframe"] = {{"type", "object"},
                           {"properties", {{"stream", {{"type", "string"}, {"enum", {"main", "second"}}}}}}};
    schemas["FactoryReset"] = {{"type", "object"}, {"properties", {{"keep_login", {{"type", "boolean"}}}}}};
    schemas["Log"] = {{"type", "object"},
                      {"properties", {{"lines", {{"type", "array"}, {"items", {{"type", "string"}}}}}}}};
    schemas["Backup"] = {{"type", "object"},
                         {"required", {"backup", "format", "settings"}},
                         {"properties",
                          {{"backup", {{"type", "string"}, {"enum", {"encoder settings"}}}},
                           {"format", {{"type", "integer"}}},
                           {"software", {{"type", "string"}}},
                           {"made", {{"type", "string"}}},
                           {"settings", {{"$ref", "#/components/schemas/Settings"}}},
                           {"start_script", {{"type", "string"}}},
                           {"secrets", {{"type", "object"}, {"additionalProperties", {{"type", "string"}}}}}}}};
    return schemas;
}

} // namespace

std::string ApiDoc_version()
{
    return ENCODE_VERSION;
}

json ApiDoc_openapi()
{
    json security = json::array({{{"bearer", json::array()}}, {{"basic", json::array()}}, {{"session", json::array()}}});
    return json{
        {"openapi", "3.0.3"},
        {"info",
         {{"title", "Encoder JSON API"},
          {"version", ApiDoc_version()},
          {"description", "The box's settings, status and actions for software. Every call needs the login: a token "
                          "made on the settings page (Authorization: Bearer), the password (Basic) or a page's "
                          "session; a call that changes anything needs a read-write one."}}},
        {"servers", json::array({{{"url", "/api/v1"}}})},
        {"paths", paths()},
        {"components",
         {{"schemas", schemas()},
          {"securitySchemes",
           {{"bearer", {{"type", "http"}, {"scheme", "bearer"}}},
            {"basic", {{"type", "http"}, {"scheme", "basic"}}},
            {"session", {{"type", "apiKey"}, {"in", "cookie"}, {"name", "encoder_session"}}}}}}},
        {"security", security},
    };
}
