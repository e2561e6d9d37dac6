// What the benchmark's parts share: the result table, the statistics, formatting.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

double Us(Clock::duration d);
std::string Fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));

struct Options {
    bool quick = false;
    std::string parts = "abcdefgh";
    bool Has(char part) const { return parts.find(part) != std::string::npos; }
};

struct Row {
    std::string measure;
    std::string result;
    std::string target;
};

// The table printed at the end, and the notes under it.
extern std::vector<Row> g_rows;
extern std::vector<std::string> g_notes;
void AddRow(std::string measure, std::string result, std::string target = "");
std::string Verdict(bool met, const std::string& target);

struct Summary {
    double median = 0, p99 = 0, max = 0;
};
Summary Summarize(std::vector<double> v);

// The plant-scale parts (bench/plant.cpp): (e) 256 indicators through one tarvel-gateway
// against one thread polling them; (f) a frame's last byte to an event-stream client and to
// an MQTT subscriber; (g) 500 event-stream clients on one scale.
void PlantParts(const Options& o);
// What those parts measure and how, for the notes.
void PlantMethod(const Options& o);

// (h) The register of weighings at the store level (bench/register.cpp), and how.
void RegisterPart(const Options& o);
void RegisterMethod(const Options& o);

} // namespace bench
