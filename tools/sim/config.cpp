// Text configuration of an indicator: "MODEL[:key=value,...]", including how its weight moves
// over time (mode=constant, ramp, oscillate, over, script) and which frames are damaged.
#include "tarvelsim.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <map>
#include <memory>
#include <numbers>
#include <sstream>
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
        if (v.empty() || *end != '\0' || !std::isfinite(d))
            Bad(spec, k + " must be a number, not \"" + v + "\"");
        return d;
    }
    // The model's weight number: whole display digits, or a decimal number.
    double Weight(const std::string& k, double def, bool whole) {
        return whole ? static_cast<double>(Number(k, static_cast<long>(def))) : Real(k, def);
    }
    bool Given(const std::string& k) const { return kv.count(k) != 0; }
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

// ---------------------------------------------------------------------------------------------
// The weight over time.

enum class WeightMode { Constant, Ramp, Oscillate, Over, Script };

// What the indicator shows in one frame or reply.
struct Reading {
    double weight = 0;
    bool motion = false;
    bool over = false;
};

struct ScriptStep {
    long ms = 0;
    Reading reading;
};

constexpr long kOscillateFrames = 16;      // frames per full swing
constexpr long kMaxRampSteps = 1000000000; // steps from one end of a ramp to the other
constexpr std::size_t kMaxScriptBytes = 1 << 20;
constexpr std::size_t kMaxScriptSteps = 10000;
constexpr long kMaxStepMs = 24L * 3600 * 1000;

// Immutable once made, so every connection can read it at once.
struct WeightPlan {
    WeightMode mode = WeightMode::Constant;
    double weight = 0;
    double from = 0, to = 1000, step = 10; // ramp
    long rampSteps = 0;                    // steps from `from` to `to`
    double amp = 20;                       // oscillate
    std::vector<ScriptStep> script;
    long long scriptMs = 0; // one pass of the script
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

    bool Changes() const {
        return mode == WeightMode::Ramp || mode == WeightMode::Oscillate ||
               mode == WeightMode::Script;
    }

    // Reading of frame (or reply) number n, counted from 1.
    Reading At(long n) const {
        Reading r;
        switch (mode) {
        case WeightMode::Constant:
            r.weight = weight;
            break;
        case WeightMode::Over:
            r.weight = weight;
            r.over = true;
            break;
        case WeightMode::Ramp: {
            // Triangle: from, from+step, ..., to, ..., from+step, from, ...
            if (rampSteps == 0) {
                r.weight = from;
                break;
            }
            long i = (n - 1) % (2 * rampSteps);
            long k = i <= rampSteps ? i : 2 * rampSteps - i;
            r.weight = k == rampSteps ? to : from + (to > from ? 1 : -1) * step * k;
            break;
        }
        case WeightMode::Oscillate:
            r.weight = weight + amp * std::sin(2 * std::numbers::pi *
                                               static_cast<double>((n - 1) % kOscillateFrames) /
                                               kOscillateFrames);
            r.motion = true;
            break;
        case WeightMode::Script: {
            auto elapsed =
                std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - start).count() %
                scriptMs;
            for (const auto& s : script) {
                if (elapsed < s.ms) return s.reading;
                elapsed -= s.ms;
            }
            r = script.back().reading;
            break;
        }
        }
        return r;
    }

    // Every weight the plan can show, for range checks.
    std::vector<double> Extremes() const {
        switch (mode) {
        case WeightMode::Ramp:
            return {from, to};
        case WeightMode::Oscillate:
            return {weight - amp, weight + amp};
        case WeightMode::Script: {
            std::vector<double> w;
            for (const auto& s : script)
                w.push_back(s.reading.weight);
            return w;
        }
        default:
            return {weight};
        }
    }
};

// Reads a script: one step per line, "MS WEIGHT [motion] [over]", '#' starts a comment.
std::vector<ScriptStep> LoadScript(std::string_view spec, const std::string& path, bool whole) {
    if (path.empty()) Bad(spec, "mode=script needs file=PATH");
    std::ifstream in(path, std::ios::binary);
    if (!in) Bad(spec, "cannot open script \"" + path + "\"");
    std::string text(kMaxScriptBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxScriptBytes) Bad(spec, "script \"" + path + "\" is larger than 1 MiB");

    std::vector<ScriptStep> steps;
    std::istringstream lines(text);
    std::string line;
    for (int no = 1; std::getline(lines, line); ++no) {
        auto where = [&] { return "script \"" + path + "\" line " + std::to_string(no) + ": "; };
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;)
            w.push_back(word);
        if (w.empty()) continue;
        if (w.size() < 2) Bad(spec, where() + "expected \"MS WEIGHT [motion] [over]\"");
        ScriptStep s;
        char* end = nullptr;
        s.ms = std::strtol(w[0].c_str(), &end, 10);
        if (*end != '\0' || s.ms < 1 || s.ms > kMaxStepMs)
            Bad(spec, where() + "MS must be a whole number of milliseconds from 1 to " +
                          std::to_string(kMaxStepMs) + ", not \"" + w[0] + "\"");
        s.reading.weight = whole ? static_cast<double>(std::strtol(w[1].c_str(), &end, 10))
                                 : std::strtod(w[1].c_str(), &end);
        if (*end != '\0' || !std::isfinite(s.reading.weight))
            Bad(spec, where() + "WEIGHT must be " +
                          (whole ? "a whole number" : std::string("a number")) + ", not \"" + w[1] +
                          "\"");
        for (std::size_t i = 2; i < w.size(); ++i) {
            if (w[i] == "motion" && !s.reading.motion)
                s.reading.motion = true;
            else if (w[i] == "over" && !s.reading.over)
                s.reading.over = true;
            else
                Bad(spec, where() + "unexpected \"" + w[i] +
                              "\" (only motion and over may follow "
                              "the weight, once each)");
        }
        if (steps.size() == kMaxScriptSteps)
            Bad(spec, "script \"" + path + "\" has more than " + std::to_string(kMaxScriptSteps) +
                          " steps");
        steps.push_back(s);
    }
    if (steps.empty()) Bad(spec, "script \"" + path + "\" has no steps");
    return steps;
}

// Reads mode= and its keys. `whole`: the model's weight is whole display digits.
WeightPlan ReadPlan(Options& o, bool whole) {
    WeightPlan p;
    std::string mode = o.Text("mode", "constant");
    if (mode == "constant")
        p.mode = WeightMode::Constant;
    else if (mode == "ramp")
        p.mode = WeightMode::Ramp;
    else if (mode == "oscillate")
        p.mode = WeightMode::Oscillate;
    else if (mode == "over")
        p.mode = WeightMode::Over;
    else if (mode == "script")
        p.mode = WeightMode::Script;
    else
        Bad(o.spec,
            "unknown mode \"" + mode + "\" (use constant, ramp, oscillate, over or script)");

    // Keys of one mode are refused with another rather than silently ignored.
    auto only = [&](WeightMode m, const char* name, std::initializer_list<const char*> keys) {
        for (const char* k : keys)
            if (o.Given(k) && p.mode != m)
                Bad(o.spec, std::string(k) + " applies to mode=" + name + " only");
    };
    only(WeightMode::Ramp, "ramp", {"from", "to", "step"});
    only(WeightMode::Oscillate, "oscillate", {"amp"});
    only(WeightMode::Script, "script", {"file"});
    if (o.Given("weight") && (p.mode == WeightMode::Ramp || p.mode == WeightMode::Script))
        Bad(o.spec, p.mode == WeightMode::Ramp ? "weight does not apply to mode=ramp (use from "
                                                 "and to)"
                                               : "weight does not apply to mode=script (the "
                                                 "script gives the weights)");

    p.weight = o.Weight("weight", 0, whole);
    if (p.mode == WeightMode::Ramp) {
        p.from = o.Weight("from", 0, whole);
        p.to = o.Weight("to", 1000, whole);
        p.step = o.Weight("step", 10, whole);
        if (p.step <= 0) Bad(o.spec, "step must be > 0");
        double steps = std::ceil(std::fabs(p.to - p.from) / p.step - 1e-9);
        if (steps > kMaxRampSteps) Bad(o.spec, "step is too small for from..to");
        p.rampSteps = static_cast<long>(std::max(steps, 0.0));
    } else if (p.mode == WeightMode::Oscillate) {
        p.amp = o.Weight("amp", 20, whole);
        if (p.amp < 0) Bad(o.spec, "amp must be >= 0");
    } else if (p.mode == WeightMode::Script) {
        p.script = LoadScript(o.spec, o.Text("file", ""), whole);
        for (const auto& s : p.script)
            p.scriptMs += s.ms;
    }
    return p;
}

// ---------------------------------------------------------------------------------------------
// Frames from readings.

using Render = std::function<std::string(const Reading&)>;
using Damage = std::function<void(std::string&)>;

// Every Nth frame or reply (N = corrupt=, 0: none) gets `damage`.
long CorruptEvery(Options& o) {
    long n = o.Number("corrupt", 0);
    if (n < 0) Bad(o.spec, "corrupt must be >= 0");
    return n;
}

// Frame n, made when it is due. Everything sits behind one pointer, so the function is cheap
// to copy for every connection.
Indicator::NumberedFn Frames(const WeightPlan& plan, Render render, long corrupt, Damage damage) {
    struct Source {
        WeightPlan plan;
        Render render;
        long corrupt;
        Damage damage;
    };
    auto src =
        std::make_shared<const Source>(Source{plan, std::move(render), corrupt, std::move(damage)});
    return [src](long n) {
        std::string f = src->render(src->plan.At(n));
        if (src->corrupt > 0 && n % src->corrupt == 0) src->damage(f);
        return f;
    };
}

// A fixed frame when nothing changes and nothing is damaged.
void StartStream(Indicator& ind, const WeightPlan& plan, Render render, long corrupt, Damage damage,
                 const StreamOptions& so) {
    if (!plan.Changes() && corrupt == 0)
        ind.Stream(render(plan.At(1)), so);
    else
        ind.StreamNumbered(Frames(plan, std::move(render), corrupt, std::move(damage)), so);
}

// Rounds to `decimals` places without leaving a negative zero.
double Rounded(double v, int decimals) {
    double scale = std::pow(10.0, decimals);
    double r = std::round(v * scale) / scale;
    return r == 0 ? 0.0 : r;
}

std::string Fixed(double v, int decimals, std::size_t width) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%*.*f", static_cast<int>(width), decimals,
                  Rounded(v, decimals));
    return buf;
}

int Decimals(Options& o, long def) {
    long d = o.Number("dec", def);
    if (d < 0 || d > 6) Bad(o.spec, "dec must be 0..6");
    return static_cast<int>(d);
}

constexpr long kMax5817 = 999999; // six digits

void Configure5817(Indicator& ind, Options& o, const std::string& model) {
    const bool krt = model == "krt";
    WeightPlan plan = ReadPlan(o, true);
    for (double w : plan.Extremes())
        if (std::fabs(w) > kMax5817)
            Bad(o.spec, "weights must stay within -999999..999999 (six digits)");
    Ind5817 p;
    p.tare = o.Number("tare", 0);
    if (p.tare < 0 || p.tare > kMax5817) Bad(o.spec, "tare must be 0..999999");
    p.decimalCode = static_cast<int>(o.Number("dec", 0));
    if (p.decimalCode < 0 || p.decimalCode > 7) Bad(o.spec, "dec must be 0..7");
    long inc = o.Number("inc", 1);
    if (inc != 1 && inc != 2 && inc != 5) Bad(o.spec, "inc must be 1, 2 or 5");
    p.incrementBits = inc == 5 ? 0x18 : inc == 2 ? 0x10 : 0;
    p.netMode = o.Flag("net");
    p.negative = o.Flag("neg");
    p.outOfRange = o.Flag("over");
    p.motion = o.Flag("motion");
    p.printRequest = o.Flag("print");
    std::string unit = o.Text("unit", "kg");
    if (unit != "kg" && unit != "lb") Bad(o.spec, "unit must be kg or lb");
    p.kg = unit == "kg";
    bool badCheck = !krt && o.Flag("badcheck");
    long corrupt = CorruptEvery(o);
    auto so = StreamOpts(o, 50);
    o.CheckAllUsed();

    Render render = [p, krt, badCheck](const Reading& r) {
        Ind5817 q = p;
        q.weight = std::lround(r.weight);
        q.motion = q.motion || r.motion;
        q.outOfRange = q.outOfRange || r.over;
        return krt ? FrameKrt(q) : Frame5817(q, badCheck);
    };
    // 5817: a weight digit changes, so the check character no longer matches.
    // KRT (no check character): a weight digit becomes CR, so the frame is too short.
    Damage damage = [krt](std::string& f) {
        if (f.size() <= 4) return;
        if (krt)
            f[4] = kCr;
        else
            f[4] = f[4] == '9' ? '8' : static_cast<char>(f[4] + 1);
    };
    StartStream(ind, plan, render, corrupt, damage, so);
}

// MSI models: text fields as given, or, with weight= or a mode other than constant, numbers:
// the weight is the gross, net = gross - tare, each with `dec` decimals.
struct MsiFields {
    bool numbers = false;
    double tare = 0;
    int decimals = 2;
    std::string gross, net, tareText;
};

MsiFields ReadMsiFields(Options& o, WeightPlan& plan) {
    MsiFields m;
    m.numbers = o.Given("weight") || (o.Given("mode") && o.kv["mode"] != "constant");
    if (!m.numbers) {
        if (o.Given("dec")) Bad(o.spec, "dec applies with weight= or a mode only");
        m.gross = o.Text("gross", "0");
        m.net = o.Text("net", "0");
        m.tareText = o.Text("tare", "0");
        return m;
    }
    for (const char* k : {"gross", "net"})
        if (o.Given(k))
            Bad(o.spec, std::string(k) + " cannot be combined with weight= or a mode (the "
                                         "weight is the gross, net = gross - tare)");
    plan = ReadPlan(o, false);
    m.tare = o.Real("tare", 0);
    m.decimals = Decimals(o, 2);
    return m;
}

constexpr std::string_view kMsiNoValue = "--------";

// The three values of one reading: gross, net, tare.
void MsiValues(const MsiFields& m, const Reading& r, std::string& gross, std::string& net,
               std::string& tare) {
    if (!m.numbers) {
        gross = m.gross;
        net = m.net;
        tare = m.tareText;
        return;
    }
    tare = Fixed(m.tare, m.decimals, 8);
    if (r.over) {
        gross = net = std::string(kMsiNoValue);
    } else {
        gross = Fixed(r.weight, m.decimals, 8);
        net = Fixed(r.weight - m.tare, m.decimals, 8);
    }
}

void ConfigureMsi3360(Indicator& ind, Options& o) {
    WeightPlan plan;
    MsiFields m = ReadMsiFields(o, plan);
    std::string unit = o.Text("unit", "kg");
    long corrupt = CorruptEvery(o);
    auto so = StreamOpts(o, 50);
    o.CheckAllUsed();
    Render render = [m, unit](const Reading& r) {
        std::string g, n, t;
        MsiValues(m, r, g, n, t);
        return FrameMsi3360(g, n, t, unit);
    };
    // The first gross character becomes ETX: the frame ends too short and is dropped.
    Damage damage = [](std::string& f) {
        if (f.size() > 1) f[1] = kEtx;
    };
    StartStream(ind, plan, render, corrupt, damage, so);
}

void ConfigureMsi6260(Indicator& ind, Options& o) {
    WeightPlan plan;
    MsiFields m = ReadMsiFields(o, plan);
    std::string unit = o.Text("unit", "KG");
    long corrupt = CorruptEvery(o);
    auto so = StreamOpts(o, 500);
    o.CheckAllUsed();
    Render render = [m, unit](const Reading& r) {
        std::string g, n, t;
        MsiValues(m, r, g, n, t);
        return Msi6260Ticket(g, t, n, unit);
    };
    // Every label loses its upper case, so no line of the ticket is recognised.
    Damage damage = [](std::string& f) {
        for (std::string_view label : {kMsiGross, kMsiNet, kMsiTare, kMsiTotal}) {
            std::size_t at = label.find_first_not_of(' ') + 1;
            for (auto pos = f.find(label); pos != std::string::npos; pos = f.find(label, pos + 1))
                f[pos + at] = static_cast<char>(f[pos + at] - 'A' + 'a');
        }
    };
    StartStream(ind, plan, render, corrupt, damage, so);
}

void ConfigureOhaus(Indicator& ind, Options& o) {
    WeightPlan plan = ReadPlan(o, false);
    std::string unit = o.Text("unit", "kg");
    bool motion = o.Flag("motion");
    bool hasText = o.Given("text");
    if (hasText && plan.mode != WeightMode::Constant)
        Bad(o.spec, "text applies to mode=constant only");
    if (hasText && o.Given("weight")) Bad(o.spec, "give weight or text, not both");
    std::string text = o.Text("text", "");
    int decimals = Decimals(o, 2);
    RequestOptions ro;
    ro.delay = Ms{o.Number("delay", 0)};
    ro.neverReply = o.Flag("silent");
    if (ro.delay.count() < 0) Bad(o.spec, "delay must be >= 0");
    long corrupt = CorruptEvery(o);
    o.CheckAllUsed();

    Render render = [=](const Reading& r) {
        bool moving = motion || r.motion;
        if (r.over) return OhausLine("      OL", unit, moving);
        if (hasText) return OhausLine(text, unit, moving);
        return OhausReading(Rounded(r.weight, decimals), decimals, unit, moving);
    };
    // The sign column becomes '*': the line no longer starts with a weight.
    Damage damage = [](std::string& f) {
        if (!f.empty()) f[0] = '*';
    };
    if (!plan.Changes() && corrupt == 0)
        ind.OnRequest(render(plan.At(1)), ro);
    else
        ind.OnRequestNumbered(Frames(plan, render, corrupt, damage), ro);
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
        Configure5817(ind, o, model);
    } else if (model == "msi3360") {
        ConfigureMsi3360(ind, o);
    } else if (model == "msi6260") {
        ConfigureMsi6260(ind, o);
    } else if (model == "ohaus") {
        ConfigureOhaus(ind, o);
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
