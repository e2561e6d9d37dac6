#include "register_service.h"

#include "digest.h"
#include "log.h"
#include "record.h"

#include <chrono>
#include <cstdio>
#include <filesystem>

#ifndef TARVEL_VERSION
#define TARVEL_VERSION "unknown"
#endif

namespace gateway {

namespace {

constexpr int kExitGood = 0;
constexpr int kExitFailed = 1;
constexpr int kExitFailsVerification = 2;
constexpr int kExitConfig = 78;

Register::Options OptionsOf(const Config& cfg, bool create) {
    Register::Options o;
    o.settings = *cfg.weighings;
    o.gateway = cfg.gateway.name;
    // Only what the gateway stores names the program (the commands store no record).
    if (create) o.software = RunningSoftware(TARVEL_VERSION);
    o.create = create;
    return o;
}

std::string Describe(const ChainCheck& c, const char* what) {
    return std::to_string(c.checked) + " " + what + (c.checked == 1 ? "" : "s") + " checked (" +
           (c.lastId >= c.firstId
                ? "ids " + std::to_string(c.firstId) + " to " + std::to_string(c.lastId)
                : std::string("none held")) +
           ")";
}

} // namespace

std::unique_ptr<RegisterService> RegisterService::Start(const Config& cfg, std::string& error) {
    std::unique_ptr<RegisterService> s(new RegisterService());
    s->register_ = Register::Open(OptionsOf(cfg, true), error);
    if (!s->register_) return nullptr;
    Register& r = *s->register_;

    Json d = Json::object();
    d["version"] = TARVEL_VERSION;
    d["sha256"] = r.Software().sha256;
    std::error_code ec;
    d["config_file"] = std::filesystem::absolute(cfg.file, ec).string();
    const auto configHash = digest::Sha256OfFile(cfg.file);
    d["config_sha256"] = configHash ? digest::Hex(*configHash) : "";
    // Whether the file changed since the last start (null at the first).
    std::string readError;
    const auto last = r.LastEvent("start", readError);
    d["config_changed"] =
        last && last->at("detail").is_object() && last->at("detail").contains("config_sha256")
            ? Json(last->at("detail").at("config_sha256") != d["config_sha256"])
            : Json(nullptr);
    if (!r.LogEvent("start", d, error)) return nullptr;

    const auto counts = r.Counts(readError);
    Log("register " + r.Settings().database + ": " +
        (counts ? std::to_string(counts->records) + " records, " +
                      std::to_string(counts->capacityLeft) + " more fit"
                : readError) +
        (d["config_changed"] == true ? "; the configuration changed since the last start" : ""));
    s->verifier_ = std::thread([p = s.get()] {
        const auto started = std::chrono::steady_clock::now();
        const Verification v = p->register_->Verify(&p->cancel_);
        if (!v.done) {
            if (!p->cancel_) Log("register: verification at start failed: " + v.error);
            return;
        }
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - started)
                            .count();
        if (v.Good()) {
            Log("register verified: " + Describe(v.records, "record") + " in " +
                std::to_string(ms) + " ms, good");
        } else {
            for (const auto& [c, what] : {std::pair{&v.records, "record"}, {&v.events, "event"}})
                if (c->failedId)
                    Log(std::string("register: ") + what + " " + std::to_string(*c->failedId) +
                        " fails verification: " + c->reason + " (" + c->text + "); " +
                        std::to_string(c->failures) + " failing in all");
        }
    });
    return s;
}

RegisterService::~RegisterService() {
    Stop();
}

void RegisterService::Stop() {
    if (stopped_ || !register_) return; // stopped, or it never opened
    stopped_ = true;
    cancel_ = true;
    if (verifier_.joinable()) verifier_.join();
    register_->Finish(); // the last registrations before the stop
    std::string error;
    if (!register_->LogEvent("stop", Json::object(), error)) Log(error);
    register_.reset();
}

int RegisterCommand(const Config& cfg, bool prune) {
    if (!cfg.weighings) {
        std::fprintf(stderr,
                     "tarvel-gateway: %s has no [register] table: this gateway keeps no register "
                     "of weighings\n",
                     cfg.file.c_str());
        return kExitConfig;
    }
    std::string error;
    auto r = Register::Open(OptionsOf(cfg, false), error);
    if (!r) {
        std::fprintf(stderr, "tarvel-gateway: %s\n", error.c_str());
        return kExitFailed;
    }
    const std::string& db = cfg.weighings->database;
    if (prune) {
        const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        const Register::PruneResult p = r->Prune(now);
        if (!p.done) {
            std::fprintf(stderr, "tarvel-gateway: %s: %s\n", db.c_str(), p.error.c_str());
            return kExitFailed;
        }
        const int64_t cutoff = now - static_cast<int64_t>(cfg.weighings->retentionDays) * 86400000;
        const std::string kept =
            p.kept > 0 ? std::to_string(p.kept) + " kept (ids " + std::to_string(p.firstKept) +
                             " to " + std::to_string(p.firstKept + p.kept - 1) + ")"
                       : "none left (the next is id " + std::to_string(p.firstKept) + ")";
        std::printf("%s: removed %llu records older than %u days (before %s); %s\n", db.c_str(),
                    static_cast<unsigned long long>(p.removed), cfg.weighings->retentionDays,
                    tarvel::record::FormatTime(cutoff).c_str(), kept.c_str());
        return kExitGood;
    }
    const Verification v = r->Verify();
    if (!v.done) {
        std::fprintf(stderr, "tarvel-gateway: %s: %s\n", db.c_str(), v.error.c_str());
        return kExitFailed;
    }
    for (const auto& [c, what] : {std::pair{&v.records, "record"}, {&v.events, "event"}})
        if (c->failedId)
            std::printf("%s: %s %llu fails verification: %s (%s)\n", db.c_str(), what,
                        static_cast<unsigned long long>(*c->failedId), c->reason.c_str(),
                        c->text.c_str());
    std::printf("%s: %s: %s, %llu failing; %s, %llu failing\n", db.c_str(),
                v.Good() ? "good" : "fails verification", Describe(v.records, "record").c_str(),
                static_cast<unsigned long long>(v.records.failures),
                Describe(v.events, "event").c_str(),
                static_cast<unsigned long long>(v.events.failures));
    return v.Good() ? kExitGood : kExitFailsVerification;
}

} // namespace gateway
