// The configuration for the library's own use: what id_get_config assembles, with the members the
// C record does not carry, and without creating the data directory.
#pragma once

#include <string>

namespace tarn::config {

// The public key-set file the configuration names: "jwks_file" of config.json, IDENTITY_JWKS_FILE
// over it. "" when none is named, and when the one named cannot be used (not an absolute path,
// or in the data directory itself): id_config_report_json names that as a problem.
std::string jwks_file();

// The configured data directory as id_get_config gives it, without creating it.
std::string data_dir();

}  // namespace tarn::config
