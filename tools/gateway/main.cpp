// tarvel-gateway: keeps every configured indicator live at once and serves the readings over
// HTTP (JSON, Server-Sent Events, a live page), with the converters' digital I/O.
//
// Threads: the live core's thread reads every indicator and publishes each event to the
// store; the store's ticker ends the waits of HTTP requests whose deadline has come; one
// thread accepts HTTP connections and hands each to a worker of the pool (an event stream
// keeps its worker while its client stays); each converter has a worker thread for its IO
// exchanges; the main thread waits for SIGINT/SIGTERM and stops the rest.
#include "config.h"
#include "dio.h"
#include "http.h"
#include "log.h"
#include "mqtt.h"
#include "register_service.h"
#include "store.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#ifndef TARVEL_VERSION
#define TARVEL_VERSION "unknown"
#endif

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1; // could not start serving (the listen address is taken ...)
constexpr int kExitUsage = 64; // bad command line
constexpr int kExitInternal = 70;
constexpr int kExitConfig = 78; // bad configuration file

const char* const kHelp =
    R"(usage: tarvel-gateway --config FILE [--check | --verify-weighings | --prune-weighings]
       tarvel-gateway --version | --help

Keeps every indicator of the configuration file live at once and serves the readings
over HTTP: JSON (/api/scales), Server-Sent Events (/api/events), a live page (/), the
converters' digital inputs and outputs (/api/converters/...), /metrics and /healthz.
See the README's "tarvel-gateway" section for the file's keys and every endpoint.

options:
  --config FILE   the configuration file (TOML)
  --check         check the file and exit: 0 when it is good, 78 when not (the
                  messages name the file, the line and the key)
  --verify-weighings  check every record of the register of weighings ([register])
                  and exit: 0 when all are good, 2 when one fails (the first failing
                  id is named, with why: hash, mac, gap or order)
  --prune-weighings   remove the registered weighings older than retention_days
                  (after verifying the register) and exit: 0 done, 1 not
  --version       print the version and exit
  --help          this text

It runs until SIGINT (Ctrl-C) or SIGTERM, then stops within a second. The log goes
to standard error, one line per event: start, listener, each scale's change of
status, every output written and every write refused.

exit status:
  0    stopped by SIGINT/SIGTERM, or --check found the file good
  1    could not start serving (e.g. the HTTP address is in use, the register of
       weighings cannot be opened or its key file is readable by others)
  2    --verify-weighings found a record that fails verification
  64   usage error
  70   internal error
  78   the configuration file is missing, unreadable or wrong
)";

std::atomic<bool> g_stop{false};

extern "C" void OnStopSignal(int) {
    g_stop = true;
}

// Event streams and the worker pool need a file descriptor per client.
void RaiseOpenFileLimit(size_t wanted) {
#ifndef _WIN32
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur >= wanted) return;
    rlimit n = r;
    n.rlim_cur = r.rlim_max == RLIM_INFINITY || r.rlim_max >= wanted ? wanted : r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &n);
    if (n.rlim_cur < wanted)
        gateway::Log("warning: the open-files limit is " + std::to_string(n.rlim_cur) +
                     "; sse_max_clients needs about " + std::to_string(wanted));
#else
    (void)wanted;
#endif
}

std::string Plural(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

int Run(const gateway::Config& cfg) {
    using namespace gateway;
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN); // a client that went away is a failed write, not a signal
#endif
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    std::string failure;
    std::unique_ptr<RegisterService> weighings; // [register]: opened before anything serves
    if (cfg.weighings && !(weighings = RegisterService::Start(cfg, failure))) {
        Log(failure);
        return kExitFailed;
    }
    RaiseOpenFileLimit(cfg.gateway.sseMaxClients + HttpServer::kOtherWorkers + cfg.scales.size() +
                       cfg.converters.size() + 256);

    std::vector<ScaleIdentity> ids;
    std::vector<live::ScaleConfig> scales;
    for (const ScaleEntry& s : cfg.scales) {
        ids.push_back({s.name, s.model});
        scales.push_back(s.core);
    }
    std::vector<std::string> addresses;
    for (const ConverterEntry& c : cfg.converters)
        addresses.push_back(c.address);

    Store store(ids);
    auto dio = std::make_shared<DioWorkers>(addresses);
    std::unique_ptr<MqttPublisher> mqtt;
    if (cfg.mqtt) mqtt = std::make_unique<MqttPublisher>(cfg, store, dio);
    // The core's thread only: each scale's last status, to log the changes.
    std::vector<int> lastStatus(ids.size(), -1);
    live::Core core(scales, [&](const live::Event& e) {
        const ReadingPtr r = store.Publish(e);
        if (mqtt && r) mqtt->OnReading(*r);
        if (e.scale < lastStatus.size() && lastStatus[e.scale] != static_cast<int>(e.status)) {
            lastStatus[e.scale] = static_cast<int>(e.status);
            Log("scale " + ids[e.scale].name + ": " + live::StatusName(e.status) +
                (e.reason.empty() ? "" : " (" + e.reason + ")"));
        }
    });
    HttpServer http(cfg, store, *dio, [&core](size_t i) -> const live::ScaleCounters* {
        return i < core.Size() ? &core.Counters(i) : nullptr;
    });
    std::string error;
    if (!http.Bind(error)) {
        Log(error);
        return kExitFailed;
    }
    if (mqtt) mqtt->Start();
    core.Start();
    std::thread server([&http] { http.Serve(); });
    Log("gateway \"" + cfg.gateway.name + "\" serving http://" + cfg.gateway.http.Text() + "/ (" +
        Plural(cfg.scales.size(), "scale", "scales") + ", " +
        Plural(cfg.converters.size(), "converter", "converters") + ")");

    while (!g_stop)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));

    Log("stopping");
    if (mqtt) mqtt->Stop(); // "offline" on the status topic, then disconnected
    store.Close();          // event streams and waiting requests return
    dio->Stop();            // requests waiting for a converter are answered
    const bool served = http.Stop(std::chrono::milliseconds(500));
    core.Stop();
    if (weighings) weighings->Stop();
    if (!served || dio->Busy()) {
        // What is left cannot be hurried and holds nothing: a client's connection idle between
        // two requests (its keep-alive wait), or an exchange with a silent converter (up to
        // 10 s). The readings are stopped and every answer is sent, so the process ends here.
        Log(std::string("stopped (") + (served ? "" : "idle client connections were still open") +
            (!served && dio->Busy() ? "; " : "") +
            (dio->Busy() ? "an exchange with a converter was still running" : "") + ")");
        std::fflush(nullptr);
        std::_Exit(kExitOk);
    }
    server.join();
    Log("stopped");
    return kExitOk;
}

} // namespace

int main(int argc, char** argv) {
    try {
        CLI::App app{"", "tarvel-gateway"};
        std::string file;
        bool check = false, version = false, help = false, verifyWeighings = false,
             pruneWeighings = false;
        app.set_help_flag();
        app.add_option("--config", file);
        app.add_flag("--check", check);
        app.add_flag("--verify-weighings", verifyWeighings);
        app.add_flag("--prune-weighings", pruneWeighings);
        app.add_flag("--version", version);
        app.add_flag("-h,--help", help);
        try {
            app.parse(argc, argv);
        } catch (const CLI::ParseError& e) {
            std::fprintf(stderr, "tarvel-gateway: %s\n(see tarvel-gateway --help)\n", e.what());
            return kExitUsage;
        }
        if (help) {
            std::fputs(kHelp, stdout);
            return kExitOk;
        }
        if (version) {
            std::printf("tarvel-gateway %s\n", TARVEL_VERSION);
            return kExitOk;
        }
        if (file.empty()) {
            std::fprintf(stderr, "tarvel-gateway: --config FILE is required\n"
                                 "(see tarvel-gateway --help)\n");
            return kExitUsage;
        }
        std::string error;
        auto cfg = gateway::LoadConfig(file, error);
        if (!cfg) {
            std::fprintf(stderr, "tarvel-gateway: %s\n", error.c_str());
            return kExitConfig;
        }
        for (const std::string& w : cfg->warnings)
            std::fprintf(stderr, "tarvel-gateway: warning: %s\n", w.c_str());
        if (verifyWeighings || pruneWeighings)
            return gateway::RegisterCommand(*cfg, pruneWeighings);
        if (check) {
            const std::string mqtt = cfg->mqtt ? ", MQTT " + cfg->mqtt->Broker() : "";
            std::printf("%s: good (%s, %s, listening on %s%s)\n", file.c_str(),
                        Plural(cfg->scales.size(), "scale", "scales").c_str(),
                        Plural(cfg->converters.size(), "converter", "converters").c_str(),
                        cfg->gateway.http.Text().c_str(), mqtt.c_str());
            return kExitOk;
        }
        return Run(*cfg);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvel-gateway: internal error: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "tarvel-gateway: internal error\n");
    }
    return kExitInternal;
}
