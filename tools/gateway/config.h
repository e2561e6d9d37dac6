// The gateway's configuration file (TOML): what it reads, how it checks it, and the settings
// it hands to the rest of the program. docs/gateway.md lists every key.
#pragma once

#include "register_config.h"
#include "tarvel6_internal.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace gateway {

struct ListenAddress {
    std::string host; // dotted IPv4 address, or an IPv6 address without brackets
    int port = 0;
    bool ipv6 = false;
    bool loopback = false;    // 127.0.0.0/8 or ::1: only this machine can reach it
    std::string Text() const; // "127.0.0.1:8080" or "[::1]:8080"
};

struct GatewaySettings {
    std::string name = "gateway";
    ListenAddress http{"127.0.0.1", 8080, false, true};
    std::optional<std::string> token; // bearer token of the write endpoints
    uint32_t staleAfterMs = 2000;
    size_t sseMaxClients = 1000;
    std::vector<std::string> corsOrigins; // "*" or exact origins
    // The names a write's Host may give besides the listen address (lower case); absent:
    // "localhost" and the machine's host name.
    std::optional<std::vector<std::string>> hosts;
};

struct ScaleEntry {
    std::string name;
    std::string model;     // the family's tools' name: "5817", "krt", ...
    std::string transport; // "192.168.0.50:A" or the serial device, as written
    live::ScaleConfig core;
};

struct ConverterEntry {
    std::string name;
    std::string address; // dotted IPv4
};

// [mqtt]: the broker the readings are published to (absent: no MQTT).
struct MqttSettings {
    std::string host; // a host name or a dotted IPv4 address
    int port = 1883;
    std::string Broker() const { return host + ":" + std::to_string(port); } // "broker.lan:1883"
    std::string topicPrefix = "tarvel";
    std::string clientId; // default "tarvel-" + the gateway's name
    std::optional<std::string> username, password;
    std::optional<std::string> caFile; // TLS with this CA when set
    uint32_t heartbeatMs = 5000;
    bool allowWrites = false; // output commands over MQTT
};

struct Config {
    std::string file;
    GatewaySettings gateway;
    std::optional<MqttSettings> mqtt;
    std::optional<RegisterSettings> weighings; // [register]: weighings are registered
    std::vector<ScaleEntry> scales;
    std::vector<ConverterEntry> converters;
    // What the file holds that works, but not as its writer may expect ("FILE:LINE: ..."): a
    // listener other machines reach without a token, for one.
    std::vector<std::string> warnings;
};

// Reads and checks the file. On failure `error` holds one message naming the file, the line
// and the key ("yard.toml:12: [[scale]] key \"model\": unknown model \"5818\" ...") and the
// result is empty. Never throws. Before the file is parsed its size, the length of its lines,
// the depth of its nesting and the number of its names and values are held against the limits
// of config_scan.h, so that no file can crash the parser or keep it busy.
std::optional<Config> LoadConfig(const std::string& path, std::string& error);
// The same for a file's text already read; `path` names it in the messages.
std::optional<Config> LoadConfigText(const std::string& text, const std::string& path,
                                     std::string& error);

// Checks of texts that also appear in URLs: letters, digits, '-' and '_', 1 to 64 of them.
bool ValidName(const std::string& name);
// A dotted IPv4 address with four numbers 0-255 (no leading zeros beyond a single 0).
bool ValidIPv4(const std::string& text);

} // namespace gateway
