#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "instrument/module_info.h"
#include "upgrade/catalogue_check.h"

// The fields of an "*IDN?" reply as the instrument sent them.
nlohmann::ordered_json IdentityJson(const std::string& reply);

// A slot record as JSON: slot, model and both levels, with `versionTexts` also the versions
// as "major.minor" ("hardware", "firmware").
nlohmann::ordered_json SlotJson(const instrument::tModuleInfo& record, bool versionTexts);

// The report's "verification" section of a copy read back (none: the run ended before it).
nlohmann::ordered_json VerificationJson(const CatalogueCheck* check);

// The report's "comparison" section of a release compared with the instrument.
nlohmann::ordered_json ComparisonJson(const CatalogueCheck& check);

