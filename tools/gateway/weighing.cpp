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
    const TReading* typed = reading.typed.get();
    if (typed == nullptr || typed->bytes.empty()) {
        why = "the reading has no frame";
        return std::nullopt;
    }
    const auto texts = record.find("texts");
    if (texts == record.end() || !texts->is_object()) {
        why = "the reading has no texts";
        return std::nullopt;
    }
    // The weights this frame carries, as the decoder read them; none is taken from a text.
    const std::optional<TWeight> net = typed->net.value;
    if (!net || !facts.net) {
        why = "the reading has no net weight";
        return std::nullopt;
    }
    const std::optional<TWeight> gross = typed->gross.value, tare = typed->tare.value;
    Weighing w;
    w.scale = record.value("scale", "");
    w.model = record.value("model", "");
    w.frame = typed->bytes;
    w.timeMs = reading.timeMs;
    w.grossText = TextOf(*texts, "gross");
    w.netText = TextOf(*texts, "net");
    w.tareText = TextOf(*texts, "tare");
    // One number of places for all three: the most any of them shows (none loses a digit).
    int decimals = net->decimals;
    for (const auto& c : {gross, tare})
        if (c && c->decimals > decimals) decimals = c->decimals;
    if (decimals > 9) {
        why = "the weight has more than 9 decimal places";
        return std::nullopt;
    }
    for (const auto& c : {gross, net, tare}) {
        const int64_t p = c ? Pow10(decimals - c->decimals) : 1;
        if (c && (c->counts > INT64_MAX / p || c->counts < -(INT64_MAX / p))) {
            why = "the weight has too many digits";
            return std::nullopt;
        }
    }
    auto scaled = [decimals](const std::optional<TWeight>& c) {
        return c ? std::optional<int64_t>(c->counts * Pow10(decimals - c->decimals)) : std::nullopt;
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
