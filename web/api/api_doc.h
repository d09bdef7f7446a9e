// The OpenAPI 3 document of the JSON API (api.cpp's calls), its settings' schema made from the settings
// table, so that the document and the API never disagree on a name, a type or a choice.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

nlohmann::json ApiDoc_openapi();

// The software's version, as the status and the backups carry it.
std::string ApiDoc_version();
