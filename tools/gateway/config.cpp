#include "config.h"

#include "config_lines.h"
#include "config_scan.h"
#include "text.h"

#include <toml.hpp>

#include <algorithm>
#include <fstream>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <set>
#include <sstream>

namespace gateway {

namespace {

using Value = toml::value;

// The first line number in one of toml11's messages (" 12 | a = 1"), or 0.
int FirstLineNumber(const std::string& message) {
    std::istringstream in(message);
    std::string line;
    while (std::getline(in, line)) {
        size_t i = 0;
        while (i < line.size() && line[i] == ' ')
            ++i;
        size_t j = i;
        while (j < line.size() && std::isdigit(static_cast<unsigned char>(line[j])))
            ++j;
        if (j > i && j + 2 <= line.size() && line.compare(j, 2, " |") == 0)
            return std::stoi(line.substr(i, j - i));
    }
    return 0;
}

// toml11's syntax message as "FILE:LINE: what", its source excerpt indented below.
std::string SyntaxMessage(const std::string& file, const std::string& what) {
    std::string first = what.substr(0, what.find('\n'));
    for (const char* prefix : {"[error] ", "toml::"}) {
        if (first.rfind(prefix, 0) == 0) first.erase(0, std::string(prefix).size());
    }
    // "parse_key: an invalid key appeared." -> "an invalid key appeared."
    const size_t colon = first.find(": ");
    if (colon != std::string::npos && first.find(' ') > colon) first.erase(0, colon + 2);
    std::string rest;
    const size_t nl = what.find('\n');
    if (nl != std::string::npos) {
        std::istringstream in(what.substr(nl + 1));
        std::string line;
        while (std::getline(in, line))
            if (line.rfind(" --> ", 0) != 0) rest += "\n    " + line;
    }
    const int line = FirstLineNumber(what);
    return file + ":" + (line > 0 ? std::to_string(line) : std::string("?")) +
           ": syntax error: " + first + rest;
}

// Walks the parsed file and collects every problem, each with its line.
class Checker {
  public:
    explicit Checker(std::string file) : file_(std::move(file)) {}

    void Error(int line, const std::string& where, const std::string& text) {
        errors_.push_back({line, file_ + ":" + std::to_string(line) + ": " + where + text});
    }
    bool Failed() const { return !errors_.empty(); }
    std::string Message() {
        std::stable_sort(errors_.begin(), errors_.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        // A file of thousands of wrong tables would flood the log: the first ones are enough.
        constexpr size_t kShown = 50;
        std::string m;
        for (size_t i = 0; i < errors_.size() && i < kShown; ++i)
            m += (m.empty() ? "" : "\n") + errors_[i].second;
        if (errors_.size() > kShown)
            m += "\n" + file_ + ": " + std::to_string(errors_.size() - kShown) +
                 " more errors not shown";
        return m;
    }

  private:
    std::string file_;
    std::vector<std::pair<int, std::string>> errors_;
};

// One table of the file: its keys are taken one by one; what is left over is unknown.
class Table {
  public:
    Table(Checker& c, const Value& table, std::string where, std::vector<std::string> allowed)
        : c_(c), table_(table), where_(std::move(where)), allowed_(std::move(allowed)) {
        for (const auto& [key, value] : table_.as_table()) {
            if (std::find(allowed_.begin(), allowed_.end(), key) == allowed_.end()) {
                std::string list;
                for (size_t i = 0; i < allowed_.size(); ++i)
                    list += (i == 0 ? "" : i + 1 == allowed_.size() ? " or " : ", ") + allowed_[i];
                c_.Error(LineOf(value),
                         where_ + "key \"" + key + "\": ", "unknown key (use " + list + ")");
            }
        }
    }

    const std::string& Where() const { return where_; }
    void SetWhere(std::string where) { where_ = std::move(where); }
    int Line() const { return LineOf(table_); }
    bool Has(const std::string& key) const { return table_.as_table().count(key) != 0; }
    const Value* Find(const std::string& key) const {
        const auto& t = table_.as_table();
        auto it = t.find(key);
        return it == t.end() ? nullptr : &it->second;
    }
    int LineOfKey(const std::string& key) const {
        const Value* v = Find(key);
        return v != nullptr ? LineOf(*v) : Line();
    }
    void Error(const std::string& key, const std::string& text) {
        c_.Error(LineOfKey(key), where_ + "key \"" + key + "\": ", text);
    }

    std::optional<std::string> String(const std::string& key, bool required = false) {
        const Value* v = Find(key);
        if (v == nullptr) {
            if (required) c_.Error(Line(), where_ + "key \"" + key + "\": ", "missing");
            return std::nullopt;
        }
        if (!v->is_string()) {
            Error(key, std::string("expected a string, found ") + TypeName(*v));
            return std::nullopt;
        }
        return v->as_string().str;
    }

    std::optional<int64_t> Integer(const std::string& key, int64_t lo, int64_t hi) {
        const Value* v = Find(key);
        if (v == nullptr) return std::nullopt;
        if (!v->is_integer()) {
            Error(key, std::string("expected an integer, found ") + TypeName(*v));
            return std::nullopt;
        }
        const int64_t n = v->as_integer();
        if (n < lo || n > hi) {
            Error(key, std::to_string(n) + " is out of range (" + std::to_string(lo) + " to " +
                           std::to_string(hi) + ")");
            return std::nullopt;
        }
        return n;
    }

    std::optional<std::vector<std::string>> Strings(const std::string& key) {
        const Value* v = Find(key);
        if (v == nullptr) return std::nullopt;
        if (!v->is_array()) {
            Error(key, std::string("expected an array of strings, found ") + TypeName(*v));
            return std::nullopt;
        }
        std::vector<std::string> out;
        for (const Value& e : v->as_array()) {
            if (!e.is_string()) {
                Error(key,
                      std::string("expected an array of strings, found ") + TypeName(e) + " in it");
                return std::nullopt;
            }
            out.push_back(e.as_string().str);
        }
        return out;
    }

    // A name: present, a string, letters, digits, '-' and '_'.
    std::optional<std::string> Name() {
        auto name = String("name", true);
        if (name && !ValidName(*name)) {
            Error("name",
                  "\"" + *name + "\" is not a valid name (1 to 64 letters, digits, '-' or '_')");
            return std::nullopt;
        }
        return name;
    }

  private:
    Checker& c_;
    const Value& table_;
    std::string where_;
    std::vector<std::string> allowed_;
};

bool ParseListen(const std::string& text, ListenAddress& out) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size()) return false;
    std::string host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
        }))
        return false;
    const int p = std::stoi(port);
    if (p < 1 || p > 65535) return false;
    ListenAddress a;
    a.port = p;
    if (host == "localhost") host = "127.0.0.1";
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        a.host = host.substr(1, host.size() - 2);
        a.ipv6 = true;
        const bool chars = !a.host.empty() && std::all_of(a.host.begin(), a.host.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.';
        });
        if (!chars || a.host.find(':') == std::string::npos) return false;
        a.loopback = a.host == "::1";
    } else {
        if (!ValidIPv4(host)) return false;
        a.host = host;
        a.loopback = host.rfind("127.", 0) == 0;
    }
    out = a;
    return true;
}

bool ValidToken(const std::string& t) {
    if (t.empty() || t.size() > 256) return false;
    return std::all_of(t.begin(), t.end(), [](char c) { return c > ' ' && c < 127; });
}

std::optional<int> ComNumber(const std::string& text) {
    if (text.size() < 4 || text.size() > 6) return std::nullopt;
    if (std::toupper(static_cast<unsigned char>(text[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(text[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(text[2])) != 'M')
        return std::nullopt;
    int n = 0;
    for (size_t i = 3; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
        n = n * 10 + (text[i] - '0');
    }
    if (n < 1 || n > 255) return std::nullopt;
    return n;
}

using tarvel::text::Lower;

// A single table ([gateway], [mqtt]); an error when `key` is something else.
bool IsTable(Checker& c, const Value& v, const std::string& key) {
    if (v.is_table()) return true;
    c.Error(LineOf(v), "", "\"" + key + "\" must be a table ([" + key + "]), found " + TypeName(v));
    return false;
}

void ReadGateway(Checker& c, const Value& v, GatewaySettings& g) {
    if (!IsTable(c, v, "gateway")) return;
    Table t(
        c, v, "[gateway], ",
        {"name", "http", "token", "stale_after_ms", "sse_max_clients", "cors_origins", "hosts"});
    if (t.Has("name")) {
        if (auto n = t.Name()) g.name = *n;
    }
    if (auto http = t.String("http")) {
        if (!ParseListen(*http, g.http))
            t.Error("http", "\"" + *http +
                                "\" is not a listen address (IPv4:PORT, [IPv6]:PORT or "
                                "localhost:PORT, port 1-65535)");
    }
    if (auto token = t.String("token")) {
        if (!ValidToken(*token))
            t.Error("token", "must be 16 to 256 visible ASCII characters without blanks");
        else
            g.token = *token;
    }
    if (auto ms = t.Integer("stale_after_ms", 100, 3600000))
        g.staleAfterMs = static_cast<uint32_t>(*ms);
    if (auto n = t.Integer("sse_max_clients", 1, 10000)) g.sseMaxClients = static_cast<size_t>(*n);
    if (auto origins = t.Strings("cors_origins")) {
        for (const std::string& o : *origins) {
            const bool ok =
                o == "*" || ((o.rfind("http://", 0) == 0 || o.rfind("https://", 0) == 0) &&
                             o.find_first_of(" /\t", o.find("//") + 2) == std::string::npos);
            if (!ok) {
                t.Error("cors_origins", "\"" + o +
                                            "\" is not an origin (\"*\" or scheme://host[:port] "
                                            "without a path)");
                return;
            }
        }
        g.corsOrigins = *origins;
    }
    if (auto hosts = t.Strings("hosts")) {
        for (std::string& h : *hosts) {
            if (h.empty() || h.size() > 253 || !std::all_of(h.begin(), h.end(), [](char c) {
                    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' ||
                           c == '.' || c == ':';
                }))
                return t.Error("hosts", "\"" + h +
                                            "\" is not a host name or address (letters, digits, "
                                            "'-', '.' and ':', at most 253)");
            h = tarvel::text::Lower(h);
        }
        g.hosts = *hosts;
    }
}

// A topic level or prefix: visible ASCII without the wildcards '+' and '#', no empty level.
bool ValidTopicPrefix(const std::string& t) {
    if (t.empty() || t.size() > 128 || t.front() == '/' || t.back() == '/') return false;
    if (t.find("//") != std::string::npos) return false;
    return std::all_of(t.begin(), t.end(),
                       [](char c) { return c > ' ' && c < 127 && c != '+' && c != '#'; });
}

// "host:port": a host name (letters, digits, '-', '.') or a dotted IPv4 address.
bool ParseBroker(const std::string& text, MqttSettings& m) {
    const size_t colon = text.rfind(':');
    if (colon == 0 || colon == std::string::npos || colon + 1 >= text.size()) return false;
    const std::string host = text.substr(0, colon), port = text.substr(colon + 1);
    if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
        }))
        return false;
    const int p = std::stoi(port);
    if (p < 1 || p > 65535 || host.size() > 253) return false;
    if (!std::all_of(host.begin(), host.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.';
        }))
        return false;
    m.host = host;
    m.port = p;
    return true;
}

void ReadMqtt(Checker& c, const Value& v, Config& cfg) {
    if (!IsTable(c, v, "mqtt")) return;
    Table t(c, v, "[mqtt], ",
            {"broker", "topic_prefix", "client_id", "username", "password", "ca_file",
             "heartbeat_ms", "allow_writes"});
    MqttSettings m;
    m.clientId = "tarvel-" + cfg.gateway.name;
    if (auto b = t.String("broker", true); b && !ParseBroker(*b, m))
        t.Error("broker",
                "\"" + *b + "\" is not HOST:PORT (a host name or IPv4 address, port 1-65535)");
    if (auto p = t.String("topic_prefix")) {
        if (!ValidTopicPrefix(*p))
            t.Error("topic_prefix", "\"" + *p +
                                        "\" is not a topic prefix (visible characters, no "
                                        "'+' or '#', no empty level)");
        else
            m.topicPrefix = *p;
    }
    if (auto id = t.String("client_id")) {
        if (id->empty() || id->size() > 128 || !ValidToken(*id))
            t.Error("client_id", "must be 1 to 128 visible ASCII characters without blanks");
        else
            m.clientId = *id;
    }
    if (auto u = t.String("username")) m.username = *u;
    if (auto p = t.String("password")) m.password = *p;
    if (m.password && !m.username) t.Error("password", "needs a username");
    if (auto ca = t.String("ca_file")) {
#ifdef _WIN32
        // libmosquitto is built without TLS for Windows (scripts/win-deps.sh).
        t.Error("ca_file", "TLS to the broker is not available in the Windows build; use a "
                           "broker on a trusted network, or one on this machine that bridges "
                           "over TLS");
#else
        std::ifstream f(*ca);
        if (!f)
            t.Error("ca_file", "\"" + *ca + "\" cannot be read");
        else
            m.caFile = *ca;
#endif
    }
    if (auto ms = t.Integer("heartbeat_ms", 100, 3600000))
        m.heartbeatMs = static_cast<uint32_t>(*ms);
    if (const Value* w = t.Find("allow_writes")) {
        if (!w->is_boolean())
            t.Error("allow_writes", std::string("expected true or false, found ") + TypeName(*w));
        else
            m.allowWrites = w->as_boolean();
    }
    cfg.mqtt = m;
}

const std::vector<int32_t> kBauds{300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

void ReadScale(Checker& c, const Value& v, size_t index, const GatewaySettings& g,
               std::vector<ScaleEntry>& out) {
    const std::string nth = "[[scale]] #" + std::to_string(index + 1) + ", ";
    if (!v.is_table()) {
        c.Error(LineOf(v), nth, std::string("expected a table, found ") + TypeName(v));
        return;
    }
    Table t(c, v, nth,
            {"name", "model", "tcp", "serial", "stale_after_ms", "request_interval_ms", "baud",
             "data_bits", "parity", "stop_bits"});
    ScaleEntry e;
    auto name = t.Name();
    if (name) t.SetWhere("[[scale]] \"" + *name + "\", ");
    auto model = t.String("model", true);
    const Family* family = nullptr;
    if (model) {
        family = FamilyOfModel(*model);
        if (family == nullptr)
            t.Error("model", "unknown model \"" + *model + "\" (use " + ModelNames() + ")");
    }
    auto tcp = t.String("tcp");
    auto serial = t.String("serial");
    if (t.Has("tcp") && t.Has("serial")) {
        t.Error("serial", "give either tcp or serial, not both");
    } else if (!t.Has("tcp") && !t.Has("serial")) {
        c.Error(t.Line(), t.Where(),
                "key \"tcp\" or \"serial\" is missing (a converter channel \"ADDRESS:LETTER\" "
                "or a serial device)");
    }
    e.core.staleAfterMs = g.staleAfterMs;
    if (tcp) {
        const size_t colon = tcp->rfind(':');
        const std::string addr = colon == std::string::npos ? *tcp : tcp->substr(0, colon);
        const std::string letter = colon == std::string::npos ? "" : tcp->substr(colon + 1);
        const char l = letter.size() == 1
                           ? static_cast<char>(std::toupper(static_cast<unsigned char>(letter[0])))
                           : '\0';
        if (!ValidIPv4(addr) || l < 'A' || l > 'D') {
            t.Error("tcp", "\"" + *tcp +
                               "\" is not a converter channel (IPv4 address, ':', and a channel "
                               "letter A-D, e.g. \"192.168.0.50:A\")");
        } else {
            e.core.address = addr;
            e.core.port = *ConverterPort(l);
            e.transport = addr + ":" + std::string(1, l);
        }
    }
    if (serial) {
        if (serial->empty() || serial->find('\0') != std::string::npos) {
            t.Error("serial", "expected a device path (e.g. \"/dev/ttyUSB0\") or COMn");
        } else {
            e.core.serial = true;
            e.transport = *serial;
            if (auto n = ComNumber(*serial)) {
                e.core.line.comNumber = static_cast<uint16_t>(*n);
                e.transport = "COM" + std::to_string(*n);
            } else {
                e.core.line.device = *serial;
            }
        }
    }
    if (family != nullptr) {
        e.core.family = family;
        e.model = family->model;
        e.core.line = SerialLine(*family, e.core.line);
    }
    if (auto ms = t.Integer("stale_after_ms", 100, 3600000))
        e.core.staleAfterMs = static_cast<uint32_t>(*ms);
    if (t.Has("request_interval_ms")) {
        if (family != nullptr && family->request.empty()) {
            t.Error("request_interval_ms",
                    "only an asking indicator (model ohaus) is asked at an interval; \"" + e.model +
                        "\" sends on its own");
        } else if (auto ms = t.Integer("request_interval_ms", 50, 3600000)) {
            e.core.requestIntervalMs = static_cast<uint32_t>(*ms);
        }
    }
    for (const char* key : {"baud", "data_bits", "parity", "stop_bits"}) {
        if (t.Has(key) && t.Has("tcp") && !t.Has("serial"))
            t.Error(key, "serial line settings apply to a serial port only (the converter sets "
                         "its channel's line)");
    }
    if (t.Has("serial")) {
        if (auto baud = t.Integer("baud", 1, 4000000)) {
            if (std::find(kBauds.begin(), kBauds.end(), *baud) == kBauds.end())
                t.Error("baud", std::to_string(*baud) +
                                    " is not a supported rate (300, 600, 1200, 2400, 4800, 9600, "
                                    "19200, 38400, 57600 or 115200)");
            else
                e.core.line.baud = static_cast<int32_t>(*baud);
        }
        if (auto bits = t.Integer("data_bits", 5, 8))
            e.core.line.dataBits = static_cast<uint16_t>(*bits);
        if (auto stop = t.Integer("stop_bits", 1, 2))
            e.core.line.stopBits = static_cast<uint16_t>(*stop);
        if (auto parity = t.String("parity")) {
            static const std::map<std::string, int> kParity{{"none", plat::ParityNone},
                                                            {"odd", plat::ParityOdd},
                                                            {"even", plat::ParityEven},
                                                            {"mark", plat::ParityMark},
                                                            {"space", plat::ParitySpace}};
            auto it = kParity.find(Lower(*parity));
            if (it == kParity.end())
                t.Error("parity", "\"" + *parity +
                                      "\" is not a parity (none, odd, even, mark "
                                      "or space)");
            else
                e.core.line.parity = it->second;
        }
    }
    if (name) {
        e.name = *name;
        e.core.name = *name;
    }
    out.push_back(std::move(e));
}

void ReadConverter(Checker& c, const Value& v, size_t index, std::vector<ConverterEntry>& out) {
    const std::string nth = "[[converter]] #" + std::to_string(index + 1) + ", ";
    if (!v.is_table()) {
        c.Error(LineOf(v), nth, std::string("expected a table, found ") + TypeName(v));
        return;
    }
    Table t(c, v, nth, {"name", "address"});
    ConverterEntry e;
    auto name = t.Name();
    if (name) t.SetWhere("[[converter]] \"" + *name + "\", ");
    auto address = t.String("address", true);
    if (address && !ValidIPv4(*address))
        t.Error("address", "\"" + *address + "\" is not an IPv4 address (e.g. \"192.168.0.50\")");
    if (name) e.name = *name;
    if (address) e.address = *address;
    out.push_back(std::move(e));
}

// Arrays of tables: [[scale]] and [[converter]].
const toml::array* TableArray(Checker& c, const Value& v, const std::string& key) {
    if (!v.is_array()) {
        c.Error(LineOf(v), "",
                "\"" + key + "\" must be an array of tables: write each one as [[" + key + "]]");
        return nullptr;
    }
    return &v.as_array();
}

} // namespace

std::string ListenAddress::Text() const {
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool ValidName(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_';
    });
}

bool ValidIPv4(const std::string& text) {
    int parts = 0;
    size_t i = 0;
    while (i <= text.size()) {
        size_t j = i;
        while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j])))
            ++j;
        if (j == i || j - i > 3) return false;
        if (j - i > 1 && text[i] == '0') return false;
        if (std::stoi(text.substr(i, j - i)) > 255) return false;
        ++parts;
        if (j == text.size()) break;
        if (text[j] != '.') return false;
        i = j + 1;
    }
    return parts == 4;
}

namespace {

// The file's bytes, at most one more than the size limit: a device that never ends, or a
// file far too large, is refused without being read whole.
bool ReadConfigFile(const std::string& path, std::string& text, std::string& error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        error = path + ": cannot read the file (" + std::strerror(errno) + ")";
        return false;
    }
    const size_t cap = ConfigLimits{}.maxBytes + 1;
    text.resize(cap);
    size_t got = 0;
    while (got < cap) {
        const size_t n = std::fread(text.data() + got, 1, cap - got, f);
        if (n == 0) break;
        got += n;
    }
    const bool failed = std::ferror(f) != 0;
    const int reason = errno;
    std::fclose(f);
    if (failed) {
        error = path + ": cannot read the file (" + std::strerror(reason) + ")";
        return false;
    }
    text.resize(got);
    return true;
}

// The size, line, nesting and count limits, and an empty file, before the parser sees it.
bool WithinLimits(const std::string& text, const std::string& path, std::string& error) {
    const ConfigScan scan = ScanConfigText(text);
    if (!scan.ok) {
        error =
            path + ":" + (scan.line > 0 ? std::to_string(scan.line) + ":" : "") + " " + scan.reason;
        return false;
    }
    if (scan.empty) {
        error = path + ": the file holds no settings (it is empty, or blanks and comments only); "
                       "docs/gateway.md, \"The configuration file\", lists every key";
        return false;
    }
    return true;
}

constexpr size_t kMinTokenLength = 16;

// A short token is guessed by whoever tries; a listener other machines reach without a token
// serves them reads but refuses every write, which is worth saying before it starts.
void CheckWriteAccess(Checker& c, const std::string& path, const Value& root, Config& cfg) {
    const auto& top = root.as_table();
    const auto gw = top.find("gateway");
    if (gw == top.end() || !gw->second.is_table()) return;
    const auto& t = gw->second.as_table();
    const GatewaySettings& g = cfg.gateway;
    if (g.token && g.token->size() < kMinTokenLength) {
        const auto token = t.find("token");
        c.Error(token != t.end() ? LineOf(token->second) : LineOf(gw->second),
                "[gateway], key \"token\": ",
                "is " + std::to_string(g.token->size()) +
                    (g.token->size() == 1 ? " character" : " characters") +
                    " long; a token needs " + std::to_string(kMinTokenLength) +
                    " or more (a long random text, such as the output of \"openssl rand -hex "
                    "16\")");
    }
    if (!g.token && !g.http.loopback) {
        const auto http = t.find("http");
        const int line = http != t.end() ? LineOf(http->second) : LineOf(gw->second);
        cfg.warnings.push_back(path + ":" + std::to_string(line) +
                               ": [gateway], key \"http\": " + g.http.Text() +
                               " is reachable from other machines and no token is set: every "
                               "write (PUT or POST) will be refused (403); set [gateway] token to "
                               "allow writes");
    }
}

} // namespace

std::optional<Config> LoadConfig(const std::string& path, std::string& error) {
    try {
        std::string text;
        if (!ReadConfigFile(path, text, error)) return std::nullopt;
        return LoadConfigText(text, path, error);
    } catch (const std::exception& e) {
        error = path + ": " + e.what();
    } catch (...) {
        error = path + ": unreadable configuration";
    }
    return std::nullopt;
}

std::optional<Config> LoadConfigText(const std::string& text, const std::string& path,
                                     std::string& error) {
    const LineOfScope lines;
    try {
        if (!WithinLimits(text, path, error)) return std::nullopt;
        Value root;
        try {
            std::istringstream in(text);
            root = toml::parse(in, path);
        } catch (const toml::syntax_error& e) {
            error = SyntaxMessage(path, e.what());
            return std::nullopt;
        }
        Checker c(path);
        Config cfg;
        cfg.file = path;
        for (const auto& [key, value] : root.as_table()) {
            if (key != "gateway" && key != "scale" && key != "converter" && key != "mqtt" &&
                key != "register")
                c.Error(LineOf(value), "",
                        "key \"" + key +
                            "\": unknown key (use [gateway], [[scale]], [[converter]], [mqtt] "
                            "or [register])");
        }
        const auto& top = root.as_table();
        if (auto it = top.find("gateway"); it != top.end()) ReadGateway(c, it->second, cfg.gateway);
        if (auto it = top.find("scale"); it != top.end()) {
            if (const toml::array* a = TableArray(c, it->second, "scale"))
                for (size_t i = 0; i < a->size(); ++i)
                    ReadScale(c, (*a)[i], i, cfg.gateway, cfg.scales);
        }
        if (auto it = top.find("converter"); it != top.end()) {
            if (const toml::array* a = TableArray(c, it->second, "converter"))
                for (size_t i = 0; i < a->size(); ++i)
                    ReadConverter(c, (*a)[i], i, cfg.converters);
        }
        if (auto it = top.find("mqtt"); it != top.end()) ReadMqtt(c, it->second, cfg);
        if (auto it = top.find("register"); it != top.end())
            for (const auto& [line, text] :
                 ReadRegisterTable(it->second, path, cfg.weighings.emplace()))
                c.Error(line, "", text);

        // Names unique per kind; no indicator reached twice.
        if (auto it = top.find("scale"); it != top.end() && it->second.is_array()) {
            const auto& a = it->second.as_array();
            std::map<std::string, size_t> names, transports;
            for (size_t i = 0; i < cfg.scales.size() && i < a.size(); ++i) {
                const ScaleEntry& s = cfg.scales[i];
                const Value& v = a[i];
                if (!v.is_table()) continue;
                const auto& t = v.as_table();
                auto lineOf = [&](const char* key) {
                    auto k = t.find(key);
                    return k != t.end() ? LineOf(k->second) : LineOf(v);
                };
                if (!s.name.empty()) {
                    auto [prev, fresh] = names.emplace(s.name, i);
                    if (!fresh)
                        c.Error(lineOf("name"), "[[scale]] \"" + s.name + "\", key \"name\": ",
                                "duplicate name: [[scale]] #" + std::to_string(prev->second + 1) +
                                    " has it too");
                }
                if (!s.transport.empty()) {
                    auto [prev, fresh] = transports.emplace(s.transport, i);
                    if (!fresh)
                        c.Error(lineOf(s.core.serial ? "serial" : "tcp"),
                                "[[scale]] #" + std::to_string(i + 1) + ", key \"" +
                                    (s.core.serial ? "serial" : "tcp") + "\": ",
                                "\"" + s.transport + "\" is already the indicator of [[scale]] #" +
                                    std::to_string(prev->second + 1));
                }
            }
        }
        if (auto it = top.find("converter"); it != top.end() && it->second.is_array()) {
            const auto& a = it->second.as_array();
            std::map<std::string, size_t> names;
            for (size_t i = 0; i < cfg.converters.size() && i < a.size(); ++i) {
                const ConverterEntry& cv = cfg.converters[i];
                if (cv.name.empty() || !a[i].is_table()) continue;
                auto [prev, fresh] = names.emplace(cv.name, i);
                if (!fresh) {
                    const auto& t = a[i].as_table();
                    auto k = t.find("name");
                    c.Error(k != t.end() ? LineOf(k->second) : LineOf(a[i]),
                            "[[converter]] \"" + cv.name + "\", key \"name\": ",
                            "duplicate name: [[converter]] #" + std::to_string(prev->second + 1) +
                                " has it too");
                }
            }
        }
        CheckWriteAccess(c, path, root, cfg);
        if (c.Failed()) {
            error = c.Message();
            return std::nullopt;
        }
        return cfg;
    } catch (const std::exception& e) {
        error = path + ": " + e.what();
    } catch (...) {
        error = path + ": unreadable configuration";
    }
    return std::nullopt;
}

} // namespace gateway
