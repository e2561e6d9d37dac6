#include "weighing.h"

#include "record.h"
#include "stable.h"

#include <nlohmann/json.hpp>

#include <cstdint>

namespace gateway {

namespace {

std::optional<std::string> TextOf(const nlohmann::ordered_json& j, const char* key) {
    const auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

int64_t Pow10(int n) {
    int64_t p = 1;
    while (n-- > 0)
        p *= 10;
    return p;
}

} // namespace

std::optional<std::pair<int64_t, int>> CountsOf(std::string_view text) {
    if (!tarvel::record::WeightNumber(text)) return std::nullopt;
    int64_t counts = 0;
    int digits = 0, decimals = -1;
    bool minus = false;
    for (const char c : text) {
        if (c == '-') {
            minus = true;
        } else if (c == '.' || c == ',') {
            decimals = 0;
        } else if (c >= '0' && c <= '9') {
            if (++digits > 18) return std::nullopt;
            counts = counts * 10 + (c - '0');
            if (decimals >= 0) ++decimals;
        }
    }
    return std::pair{minus ? -counts : counts, decimals < 0 ? 0 : decimals};
}

std::optional<Weighing> WeighingOf(const Reading& reading, std::string reference,
                                   std::string& why) {
    const auto record = nlohmann::ordered_json::parse(reading.Line(), nullptr, false);
    if (!record.is_object()) {
        why = "the reading could not be read";
        return std::nullopt;
    }
    const tarvel::stable::Facts facts = tarvel::stable::FromRecord(record);
    if (!facts.reading || reading.status != live::Status::Ok) {
        why = "the scale is not ok";
        return std::nullopt;
    }
    if (facts.moving == true) {
        why = "the weight is in motion";
        return std::nullopt;
    }
    if (facts.overload == true) {
        why = "the indicator reports out of range";
        return std::nullopt;
    }
    if (reading.frame.empty()) {
        why = "the reading has no frame";
        return std::nullopt;
    }
    const auto texts = record.find("texts");
    if (texts == record.end() || !texts->is_object()) {
        why = "the reading has no texts";
        return std::nullopt;
    }
    Weighing w;
    w.scale = record.value("scale", "");
    w.model = record.value("model", "");
    w.frame = reading.frame;
    w.timeMs = reading.timeMs;
    w.grossText = TextOf(*texts, "gross");
    w.netText = TextOf(*texts, "net");
    w.tareText = TextOf(*texts, "tare");
    const auto net = w.netText ? CountsOf(*w.netText) : std::nullopt;
    if (!net || !facts.net) {
        why = "the reading has no net weight";
        return std::nullopt;
    }
    const auto gross = w.grossText ? CountsOf(*w.grossText) : std::nullopt;
    const auto tare = w.tareText ? CountsOf(*w.tareText) : std::nullopt;
    // One number of places for all three: the most any of them shows (none loses a digit).
    int decimals = net->second;
    for (const auto& c : {gross, tare})
        if (c && c->second > decimals) decimals = c->second;
    if (decimals > 9) {
        why = "the weight has more than 9 decimal places";
        return std::nullopt;
    }
    for (const auto& c : {gross, net, tare}) {
        const int64_t p = c ? Pow10(decimals - c->second) : 1;
        if (c && (c->first > INT64_MAX / p || c->first < -(INT64_MAX / p))) {
            why = "the weight has too many digits";
            return std::nullopt;
        }
    }
    auto scaled = [decimals](const std::optional<std::pair<int64_t, int>>& c) {
        return c ? std::optional<int64_t>(c->first * Pow10(decimals - c->second)) : std::nullopt;
    };
    w.net = scaled(net);
    w.gross = scaled(gross);
    w.tare = scaled(tare);
    w.decimals = decimals;
    w.unit = TextOf(record, "unit");
    if (const auto s = record.find("stable"); s != record.end() && s->is_boolean())
        w.stable = s->get<bool>();
    w.overload = false;
    w.reference = std::move(reference);
    return w;
}

} // namespace gateway
