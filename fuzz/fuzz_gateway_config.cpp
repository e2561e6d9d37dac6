// The gateway's configuration loader on fuzz-made files. Whatever the text, it answers with a
// configuration or with a message that begins with the file's name: never a crash, an
// exception, a stack overflow or a long run (the limits of config_scan.h come first). What it
// accepts holds together: names valid and unique, one indicator per scale, a token long enough.
// And where the first pass lets a text through that the parser reads, the parser built nothing
// deeper than the pass counted.
#include "config.h"
#include "config_scan.h"
#include "fuzz_check.h"

#include <toml.hpp>

#include <algorithm>
#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

const std::string kName = "fuzz.toml";

bool StartsWithName(const std::string& text) {
    return text.compare(0, kName.size() + 1, kName + ":") == 0;
}

// How deep the parsed tree goes: a table's values and an array's elements are one level below
// it, the whole file at level 0. Without recursion, like the pass it checks.
int Depth(const toml::value& root) {
    int deepest = 0;
    std::vector<std::pair<const toml::value*, int>> todo{{&root, 0}};
    while (!todo.empty()) {
        const auto [v, depth] = todo.back();
        todo.pop_back();
        deepest = std::max(deepest, depth);
        if (v->is_table())
            for (const auto& kv : v->as_table())
                todo.push_back({&kv.second, depth + 1});
        else if (v->is_array())
            for (const auto& e : v->as_array())
                todo.push_back({&e, depth + 1});
    }
    return deepest;
}

void CheckParsedDepth(const std::string& text) {
    toml::value root;
    try {
        std::istringstream in(text);
        root = toml::parse(in, kName);
    } catch (const std::exception&) {
        return;
    }
    FUZZ_CHECK(Depth(root) <= gateway::ConfigLimits{}.maxDepth);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const auto cfg = gateway::LoadConfigText(text, kName, error);
    if (gateway::ScanConfigText(text).ok) CheckParsedDepth(text);
    if (!cfg) {
        FUZZ_CHECK(StartsWithName(error));
        return 0;
    }
    FUZZ_CHECK(error.empty());
    const gateway::ConfigScan scan = gateway::ScanConfigText(text);
    FUZZ_CHECK(scan.ok && !scan.empty);

    const gateway::GatewaySettings& g = cfg->gateway;
    FUZZ_CHECK(gateway::ValidName(g.name));
    FUZZ_CHECK(!g.token || (g.token->size() >= 16 && g.token->size() <= 256));
    FUZZ_CHECK(g.http.port >= 1 && g.http.port <= 65535);
    for (const std::string& w : cfg->warnings)
        FUZZ_CHECK(StartsWithName(w));
    // A listener other machines reach without a token is always warned about.
    FUZZ_CHECK(g.token || g.http.loopback || !cfg->warnings.empty());

    std::set<std::string> names, indicators;
    for (const gateway::ScaleEntry& s : cfg->scales) {
        FUZZ_CHECK(gateway::ValidName(s.name) && names.insert(s.name).second);
        FUZZ_CHECK(!s.transport.empty() && indicators.insert(s.transport).second);
        FUZZ_CHECK(s.core.family != nullptr && s.core.name == s.name);
    }
    names.clear();
    for (const gateway::ConverterEntry& c : cfg->converters)
        FUZZ_CHECK(gateway::ValidName(c.name) && gateway::ValidIPv4(c.address) &&
                   names.insert(c.name).second);
    return 0;
}
