#pragma once
// Licence notices of the shipped components, read from disk on every call.
//
// The component root holds one metadata folder per component, "<name>-<version>.dist-info",
// with its licence and notice files directly inside or in a "licenses" subfolder.
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "util/json.h"

namespace morvane {

// (labels joined by " · ", body) of one metadata folder, or nullopt when it has no licence
// file. Several files become ruled blocks, each headed by its label.
std::optional<std::pair<std::string, std::string>> _read_license_file(const std::filesystem::path& dirpath);

// The notice entries: PuTTY first (when <putty_root>/LICENCE exists), then every metadata
// folder of the component root that has a licence file, in code-point order of the names.
Json third_party_licenses(const std::filesystem::path& component_root, const std::filesystem::path& putty_root);

}  // namespace morvane
