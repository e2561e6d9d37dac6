// tarvel-gateway: keeps every configured indicator live at once and serves the readings over
// HTTP (JSON, Server-Sent Events, a live page), with the converters' digital I/O, and MQTT.
//
// Threads: the live core's thread reads every indicator and publishes each event to the store
// (and tells the HTTP loop and MQTT); one loop thread serves every HTTP connection, event
// stream and converter exchange; libmosquitto's thread and the MQTT heartbeat's talk to the
// broker; the main thread sleeps until SIGINT/SIGTERM and stops the rest, the core first.
#include "config.h"
#include "dio.h"
#include "http.h"
#include "log.h"
#include "mqtt.h"
#include "register_service.h"
#include "store.h"

#include <CLI/CLI.hpp>

// Before Asio: Boost 1.74's asio/awaitable.hpp uses std::exchange without including <utility>.
#include <utility>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include "windows/service.h"
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>
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
)"
#ifdef _WIN32
    R"(       tarvel-gateway service install|uninstall|start|stop [--config FILE]
)"
#endif
    R"(       tarvel-gateway --version | --help

Keeps every indicator of the configuration file live at once and serves the readings
over HTTP: JSON (/api/scales), Server-Sent Events (/api/events), a live page (/), the
converters' digital inputs and outputs (/api/converters/...), the register of
weighings (POST /api/scales/NAME/weighings, /api/weighings), /metrics and /healthz.
See docs/gateway.md for the file's keys and every endpoint.

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
)"
#ifdef _WIN32
    R"(
The Windows service "tarvel-gateway": install registers it with the Service
Control Manager (it starts automatically; the file of --config is checked first,
default %ProgramData%\Tarvel6\gateway.toml), uninstall stops and removes it,
start and stop start and stop it and wait for that. Its log goes to the Event
Log (Application, source tarvel-gateway). See docs/windows.md.

It runs until Ctrl-C, Ctrl-Break, the console's closing or the service's stop,
then stops within a second. The log goes to standard error (the Event Log for
the service), one line per event: start, listener, each scale's change of
status, every output written and every write refused.
)"
#else
    R"(
It runs until SIGINT (Ctrl-C) or SIGTERM, then stops within a second. The log goes
to standard error, one line per event: start, listener, each scale's change of
status, every output written and every write refused.
)"
#endif
    R"(
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

#ifndef _WIN32
// The stop signal's handler also writes a byte here, so that the main thread sleeps in a
// read of it instead of looking at g_stop again and again. Both ends are non-blocking.
int g_stopPipe[2] = {-1, -1};
#endif

extern "C" void OnStopSignal(int) {
    g_stop = true;
#ifndef _WIN32
    if (g_stopPipe[1] >= 0) {
        const int saved = errno; // the interrupted code's
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(g_stopPipe[1], &byte, 1);
        errno = saved;
    }
#endif
}

// Before the stop signals' handler is set.
void MakeStopPipe() {
#ifndef _WIN32
    if (g_stopPipe[0] < 0 && ::pipe(g_stopPipe) == 0)
        for (const int fd : g_stopPipe)
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
#endif
}

// Returns once a stop is asked for: SIGINT or SIGTERM on Linux; on Windows the console's
// events and the service's stop, which set g_stop from threads of their own.
void WaitForStop() {
    while (!g_stop) {
#ifndef _WIN32
        if (g_stopPipe[0] >= 0) {
            pollfd p{g_stopPipe[0], POLLIN, 0};
            ::poll(&p, 1, 1000);
            char drain[16];
            while (::read(g_stopPipe[0], drain, sizeof drain) > 0) {
            }
            continue;
        }
#endif
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // Windows, or no pipe
    }
}

// Every HTTP connection needs a file descriptor.
void RaiseOpenFileLimit(size_t wanted) {
#ifndef _WIN32
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur >= wanted) return;
    rlimit n = r;
    n.rlim_cur = r.rlim_max == RLIM_INFINITY || r.rlim_max >= wanted ? wanted : r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &n);
    if (n.rlim_cur < wanted)
        gateway::Log("warning: the open-files limit is " + std::to_string(n.rlim_cur) +
                     "; the HTTP connection limits need about " + std::to_string(wanted));
#else
    (void)wanted;
#endif
}

std::string Plural(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Serves until a stop is asked for; `serving` is called once it listens and reads.
int Run(const gateway::Config& cfg, const std::function<void()>& serving = {}) {
    using namespace gateway;
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN); // a client that went away is a failed write, not a signal
#endif
    MakeStopPipe();
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    std::string failure;
    std::unique_ptr<RegisterService> weighings; // [register]: opened before anything serves
    if (cfg.weighings && !(weighings = RegisterService::Start(cfg, failure))) {
        LogError(failure);
        return kExitFailed;
    }
    RaiseOpenFileLimit(HttpServer::LimitsFor(cfg.gateway).total + cfg.scales.size() +
                       cfg.converters.size() + 256);

    std::vector<ScaleIdentity> ids;
    std::vector<live::ScaleConfig> scales;
    for (const ScaleEntry& s : cfg.scales) {
        ids.push_back({s.name, s.model, s.core.family});
        scales.push_back(s.core);
    }
    std::vector<std::string> addresses;
    for (const ConverterEntry& c : cfg.converters)
        addresses.push_back(c.address);

    boost::asio::io_context loop(1); // first: whatever is still queued on it goes last
    auto work = boost::asio::make_work_guard(loop);
    Store store(ids);
    auto dio = std::make_shared<DioWorkers>(loop, addresses);
    std::unique_ptr<MqttPublisher> mqtt;
    if (cfg.mqtt) mqtt = std::make_unique<MqttPublisher>(cfg, store, dio);
    std::unique_ptr<HttpServer> http; // made before the core starts
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
    http = std::make_unique<HttpServer>(
        loop, cfg, store, *dio,
        [&core](size_t i) -> const live::ScaleCounters* {
            return i < core.Size() ? &core.Counters(i) : nullptr;
        },
        weighings ? &weighings->Store() : nullptr,
        [&mqtt](const std::string& scale, const std::string& record) {
            if (mqtt) mqtt->OnWeighing(scale, record);
        });
    // A busy core takes what its connections received every 3.5 ms (not on Windows: see
    // SetPace), and the event streams are written once per pass: a frame waits at most that
    // long, and one wake of each thread serves every scale that sent meanwhile.
    core.SetPace(std::chrono::microseconds(3500), [&http] { http->Published(); });
    std::string error;
    if (!http->Bind(error)) {
        LogError(error);
        return kExitFailed;
    }
    std::thread server([&loop] {
        for (;;) {
            try {
                loop.run();
                return;
            } catch (const std::exception& e) {
                Log(std::string("http: internal error: ") + e.what()); // and serve on
            } catch (...) {
                Log("http: internal error");
            }
        }
    });
    if (mqtt) mqtt->Start();
    core.Start();
    Log("gateway \"" + cfg.gateway.name + "\" serving http://" + cfg.gateway.http.Text() + "/ (" +
        Plural(cfg.scales.size(), "scale", "scales") + ", " +
        Plural(cfg.converters.size(), "converter", "converters") + ")");
    if (serving) serving();

    WaitForStop();

    Log("stopping");
    core.Stop();            // no reading after this, so none follows MQTT's "offline"
    if (mqtt) mqtt->Stop(); // "offline" on the status topic, then disconnected
    store.Close();          // event streams and stable reads end
    dio->Stop();            // exchanges end now, also one with a silent converter
    http->Stop(std::chrono::milliseconds(500)); // every waiting request answered, then closed
    work.reset();
    loop.stop();
    server.join();
    if (weighings) weighings->Stop(); // after the last registration is answered
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
#ifdef _WIN32
        std::string serviceAction, serviceFile;
        CLI::App* service = app.add_subcommand("service");
        service->add_option("command", serviceAction)->required();
        service->add_option("--config", serviceFile);
#endif
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
#ifdef _WIN32
        if (service->parsed()) {
            gateway::winsvc::Program program{
                [](const gateway::Config& cfg, const std::function<void()>& serving) {
                    return Run(cfg, serving);
                },
                [] { g_stop = true; }};
            return gateway::winsvc::Command(serviceAction, serviceFile, program);
        }
#endif
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
#ifdef _WIN32
        gateway::winsvc::StopOnConsoleEvents([] { g_stop = true; });
        const int status = Run(*cfg);
        gateway::winsvc::Stopped();
        return status;
#else
        return Run(*cfg);
#endif
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvel-gateway: internal error: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "tarvel-gateway: internal error\n");
    }
    return kExitInternal;
}
