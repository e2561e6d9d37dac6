#include "stable.h"

#include <string>

namespace tarvel::stable {

namespace {

// 'S' true, 'N' false, anything else (the indicator does not tell) nullopt.
std::optional<bool> Flag(char c) {
    if (c == 'S') return true;
    if (c == 'N') return false;
    return std::nullopt;
}

std::optional<bool> Bool(const tarvel::record::Json& j) {
    if (j.is_boolean()) return j.get<bool>();
    return std::nullopt;
}

} // namespace

bool Settles(const Facts& f) {
    return f.reading && f.moving != true && f.overload != true && f.net.has_value();
}

Facts FromRecord(const tarvel::record::Json& record) {
    Facts f;
    if (!record.is_object()) return f;
    const auto status = record.find("status");
    f.reading = status != record.end() && status->is_string() && *status == "ok";
    if (const auto s = record.find("stable"); s != record.end()) {
        const std::optional<bool> stable = Bool(*s);
        if (stable) f.moving = !*stable;
    }
    if (const auto o = record.find("overload"); o != record.end()) f.overload = Bool(*o);
    if (const auto n = record.find("net"); n != record.end() && n->is_number())
        f.net = n->get<double>();
    return f;
}

Facts FromPoll(std::string_view model, int32_t result, std::string_view motion,
               std::string_view status, std::string_view net) {
    Facts f;
    f.reading = result == 0 || result == 3;
    f.moving = motion.size() == 1 ? Flag(motion[0]) : std::nullopt;
    f.overload = status.size() > 3 ? Flag(status[3]) : std::nullopt;
    if (model != "5817c") f.net = tarvel::record::WeightNumber(net);
    return f;
}

bool Run::Take(const Facts& f) {
    if (!Settles(f)) {
        Break();
    } else if (length_ > 0 && f.net == net_) {
        ++length_;
    } else {
        length_ = 1;
        net_ = f.net;
    }
    return Done();
}

} // namespace tarvel::stable
