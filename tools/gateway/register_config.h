// The [register] table of the gateway's configuration: where the register of weighings lives,
// its key, its capacity and how long its records are kept. docs/gateway.md, "Registered weighings".
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace gateway {

struct RegisterSettings {
    std::string database; // an absolute path
    std::string keyFile;  // an absolute path; default: the database's path + ".key"
    uint64_t capacity = 1000000;
    uint32_t retentionDays = 90;
};

// The database when [register] does not name one: in the service's state directory.
std::string DefaultRegisterDatabase();

// One problem of the table: its line and the text after "FILE:LINE: ".
using ConfigProblem = std::pair<int, std::string>;

// Reads and checks the value of the file's "register" key (a toml::value; a template so that
// this header does not pull in the TOML parser). Relative paths are taken from the folder of
// `configFile`. Never throws but for an exhausted memory.
template <class TomlValue>
std::vector<ConfigProblem> ReadRegisterTable(const TomlValue& value, const std::string& configFile,
                                             RegisterSettings& out);

} // namespace gateway
