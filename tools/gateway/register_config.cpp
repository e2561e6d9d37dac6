#include "register_config.h"

#include "config_lines.h"

#include <toml.hpp>

#include <filesystem>

#ifdef _WIN32
#include <windows.h>

#include <shlobj.h>
#endif

namespace gateway {

namespace {

namespace fs = std::filesystem;

// A path as written, made absolute against the configuration file's folder.
std::string Resolve(const std::string& path, const std::string& configFile) {
    fs::path p(path);
    if (p.is_relative()) p = fs::absolute(fs::path(configFile)).parent_path() / p;
    return p.lexically_normal().string();
}

} // namespace

std::string DefaultRegisterDatabase() {
#ifdef _WIN32
    char folder[MAX_PATH] = {};
    if (FAILED(
            SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder)))
        return "C:\\ProgramData\\Tarvel6\\weighings.db";
    return std::string(folder) + "\\Tarvel6\\weighings.db";
#else
    return "/var/lib/tarvel/weighings.db";
#endif
}

template <class TomlValue>
std::vector<ConfigProblem> ReadRegisterTable(const TomlValue& value, const std::string& configFile,
                                             RegisterSettings& out) {
    std::vector<ConfigProblem> problems;
    if (!value.is_table()) {
        problems.emplace_back(LineOf(value),
                              std::string("\"register\" must be a table ([register]), found ") +
                                  TypeName(value));
        return problems;
    }
    const auto& table = value.as_table();
    auto error = [&](const std::string& key, const std::string& text) {
        auto it = table.find(key);
        problems.emplace_back(it != table.end() ? LineOf(it->second) : LineOf(value),
                              "[register], key \"" + key + "\": " + text);
    };
    for (const auto& [key, v] : table) {
        if (key != "database" && key != "key_file" && key != "capacity" && key != "retention_days")
            error(key, "unknown key (use database, key_file, capacity or retention_days)");
    }
    RegisterSettings s;
    s.database = DefaultRegisterDatabase();
    auto path = [&](const std::string& key, std::string& into) {
        auto it = table.find(key);
        if (it == table.end()) return false;
        if (!it->second.is_string()) {
            error(key, std::string("expected a string, found ") + TypeName(it->second));
            return false;
        }
        const std::string text = it->second.as_string().str;
        if (text.empty() || text.find('\0') != std::string::npos || text.back() == '/' ||
            text.back() == fs::path::preferred_separator) {
            error(key, "expected a file's path (e.g. \"" + DefaultRegisterDatabase() + "\")");
            return false;
        }
        into = Resolve(text, configFile);
        return true;
    };
    path("database", s.database);
    s.keyFile = s.database + ".key";
    path("key_file", s.keyFile);
    if (s.keyFile == s.database) error("key_file", "must not be the database itself");
    auto integer = [&](const std::string& key, int64_t lo, int64_t hi, auto& into) {
        auto it = table.find(key);
        if (it == table.end()) return;
        if (!it->second.is_integer()) {
            error(key, std::string("expected an integer, found ") + TypeName(it->second));
            return;
        }
        const int64_t n = it->second.as_integer();
        if (n < lo || n > hi) {
            error(key, std::to_string(n) + " is out of range (" + std::to_string(lo) + " to " +
                           std::to_string(hi) + ")");
            return;
        }
        into = static_cast<std::remove_reference_t<decltype(into)>>(n);
    };
    integer("capacity", 1, 1000000000, s.capacity);
    integer("retention_days", 1, 36500, s.retentionDays);
    if (problems.empty()) out = s;
    return problems;
}

template std::vector<ConfigProblem> ReadRegisterTable(const toml::value&, const std::string&,
                                                      RegisterSettings&);

} // namespace gateway
