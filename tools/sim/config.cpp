// Text configuration of an indicator: "MODEL[:key=value,...]".
#include "tarvelsim.h"

#include <cstdlib>
#include <map>
#include <stdexcept>
#include <vector>

namespace tsim {

namespace {

[[noreturn]] void Bad(std::string_view spec, const std::string& why) {
    throw std::invalid_argument("indicator \"" + std::string(spec) + "\": " + why);
}

} // namespace

std::string Unescape(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char e = s[++i];
        switch (e) {
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'x':
            if (i + 2 < s.size()) {
                out += static_cast<char>(
                    std::strtol(std::string(s.substr(i + 1, 2)).c_str(), nullptr, 16));
                i += 2;
            } else {
                out += 'x';
            }
            break;
        default:
            out += e;
            break;
        }
    }
    return out;
}

namespace {

struct Options {
    std::string_view spec;
    std::map<std::string, std::string> kv;
    std::map<std::string, bool> used;

    bool Has(const std::string& k) {
        used[k] = true;
        return kv.count(k) != 0;
    }
    std::string Text(const std::string& k, std::string def) {
        return Has(k) ? kv[k] : std::move(def);
    }
    long Number(const std::string& k, long def) {
        if (!Has(k)) return def;
        const std::string& v = kv[k];
        char* end = nullptr;
        long n = std::strtol(v.c_str(), &end, 10);
        if (v.empty() || *end != '\0') Bad(spec, k + " must be an integer, not \"" + v + "\"");
        return n;
    }
    double Real(const std::string& k, double def) {
        if (!Has(k)) return def;
        const std::string& v = kv[k];
        char* end = nullptr;
        double d = std::strtod(v.c_str(), &end);
        if (v.empty() || *end != '\0') Bad(spec, k + " must be a number, not \"" + v + "\"");
        return d;
    }
    bool Flag(const std::string& k) {
        if (!Has(k)) return false;
        const std::string& v = kv[k];
        if (v.empty() || v == "1" || v == "yes" || v == "on") return true;
        if (v == "0" || v == "no" || v == "off") return false;
        Bad(spec, k + " must be 1/0, not \"" + v + "\"");
    }
    void CheckAllUsed() {
        for (auto& [k, v] : kv)
            if (!used[k]) Bad(spec, "unknown key \"" + k + "\"");
    }
};

StreamOptions StreamOpts(Options& o, long defaultPeriod) {
    StreamOptions s;
    s.period = Ms{o.Number("period", defaultPeriod)};
    s.byteGap = Ms{o.Number("gap", 0)};
    s.garbage = o.Text("garbage", "");
    s.cutEvery = static_cast<int>(o.Number("cut", 0));
    if (s.period.count() < 1 || s.byteGap.count() < 0 || s.cutEvery < 0)
        Bad(o.spec, "period must be >= 1, gap and cut >= 0");
    return s;
}

} // namespace

void Configure(Indicator& ind, std::string_view spec) {
    Options o{spec, {}, {}};
    std::string model(spec.substr(0, spec.find(':')));
    if (auto colon = spec.find(':'); colon != std::string_view::npos) {
        std::string_view rest = spec.substr(colon + 1);
        std::string item;
        auto flush = [&] {
            if (item.empty()) return;
            auto eq = item.find('=');
            std::string key = item.substr(0, eq);
            std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
            o.kv[key] = Unescape(value);
            item.clear();
        };
        for (std::size_t i = 0; i < rest.size(); ++i) {
            if (rest[i] == '\\' && i + 1 < rest.size()) {
                item += rest[i];
                item += rest[++i];
            } else if (rest[i] == ',') {
                flush();
            } else {
                item += rest[i];
            }
        }
        flush();
    }

    if (model == "silent") {
        o.CheckAllUsed();
        ind.Silent();
    } else if (model == "5817" || model == "krt") {
        Ind5817 p;
        p.weight = o.Number("weight", 0);
        p.tare = o.Number("tare", 0);
        p.decimalCode = static_cast<int>(o.Number("dec", 0));
        long inc = o.Number("inc", 1);
        if (inc != 1 && inc != 2 && inc != 5) Bad(spec, "inc must be 1, 2 or 5");
        p.incrementBits = inc == 5 ? 0x18 : inc == 2 ? 0x10 : 0;
        p.netMode = o.Flag("net");
        p.negative = o.Flag("neg");
        p.outOfRange = o.Flag("over");
        p.motion = o.Flag("motion");
        p.printRequest = o.Flag("print");
        std::string unit = o.Text("unit", "kg");
        if (unit != "kg" && unit != "lb") Bad(spec, "unit must be kg or lb");
        p.kg = unit == "kg";
        bool badCheck = o.Flag("badcheck");
        auto so = StreamOpts(o, 50);
        o.CheckAllUsed();
        ind.Stream(model == "krt" ? FrameKrt(p) : Frame5817(p, badCheck), so);
    } else if (model == "msi3360") {
        std::string gross = o.Text("gross", "0"), net = o.Text("net", "0"),
                    tare = o.Text("tare", "0"), unit = o.Text("unit", "kg");
        auto so = StreamOpts(o, 50);
        o.CheckAllUsed();
        ind.Stream(FrameMsi3360(gross, net, tare, unit), so);
    } else if (model == "msi6260") {
        std::string gross = o.Text("gross", "0"), net = o.Text("net", "0"),
                    tare = o.Text("tare", "0"), unit = o.Text("unit", "KG");
        auto so = StreamOpts(o, 500);
        o.CheckAllUsed();
        ind.Stream(Msi6260Ticket(gross, tare, net, unit), so);
    } else if (model == "ohaus") {
        std::string unit = o.Text("unit", "kg");
        bool motion = o.Flag("motion");
        std::string line = o.Has("text")
                               ? OhausLine(o.Text("text", ""), unit, motion)
                               : OhausReading(o.Real("weight", 0.0),
                                              static_cast<int>(o.Number("dec", 2)), unit, motion);
        RequestOptions ro;
        ro.delay = Ms{o.Number("delay", 0)};
        ro.neverReply = o.Flag("silent");
        if (ro.delay.count() < 0) Bad(spec, "delay must be >= 0");
        o.CheckAllUsed();
        ind.OnRequest(line, ro);
    } else if (model == "raw") {
        std::string text = o.Text("text", "");
        auto so = StreamOpts(o, 50);
        o.CheckAllUsed();
        ind.Stream(text, so);
    } else {
        Bad(spec, "unknown model \"" + model +
                      "\" (use 5817, krt, msi3360, msi6260, ohaus, raw or silent)");
    }
}

} // namespace tsim
