// The plant-scale parts of the benchmark: the real tarvel-gateway program keeping 256
// simulated indicators live, its latency to event-stream and MQTT clients, and 500 event-
// stream clients on one scale. The indicators are the simulator's converters in this process;
// the gateway and the MQTT broker (Debian's mosquitto) are child processes.
#include "bench.h"

#include "tarvel6.h"
#include "tarvelsim.h"

#include <httplib.h>
#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace bench {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kConverters = 64; // 127.0.1.1-64, channels A-D
constexpr auto kPeriod = 100ms; // 10 frames per second per indicator
const std::string kHttpIp = "127.0.2.20";
constexpr int kHttpPort = 8090;
const std::string kLatencyIp = "127.0.2.21"; // the scale whose frames carry ids
const std::string kFanIp = "127.0.2.23";     // the scale of the 500 clients
const std::string kBrokerIp = "127.0.2.22";
constexpr int kBrokerPort = 18830;
constexpr int kFanClients = 500;

// ---- child programs --------------------------------------------------------------------------

double ProcessCpuS(pid_t pid);

class Child {
  public:
    Child(const std::vector<std::string>& args, const fs::path& log) {
        pid_ = ::fork();
        if (pid_ == 0) {
            const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            std::vector<char*> argv;
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~Child() { Stop(); }
    pid_t Pid() const { return pid_; }
    bool Alive() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }
    void Stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 50 && ::waitpid(pid_, nullptr, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(100ms);
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    // CPU time (user + system) used so far, in seconds.
    double CpuS() const { return ProcessCpuS(pid_); }

  private:
    pid_t pid_ = -1;
};

// CPU time (user + system) a process has used so far, in seconds.
double ProcessCpuS(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), {});
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i)
        if (i == 14 || i == 15) ticks += std::stod(field);
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The floor of this machine for the plant: a process of its own with a bare loop over
// connections to the same converter channels as the gateway's, which takes each one's bytes
// and does nothing with them: one epoll wait, then one recv into a buffer for every
// connection that is ready. What any program that reads these indicators must at least spend.
class Floor {
  public:
    explicit Floor(const std::vector<sockaddr_in>& peers) {
        // Shared with the child: its counts.
        shared_ = static_cast<Shared*>(::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                                              MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        if (shared_ == MAP_FAILED) {
            shared_ = nullptr;
            return;
        }
        new (shared_) Shared();
        pid_ = ::fork();
        if (pid_ == 0) Run(peers.data(), peers.size()); // never returns
    }
    ~Floor() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (shared_ != nullptr) ::munmap(shared_, sizeof(Shared));
    }
    bool Up() const { return pid_ > 0 && shared_ != nullptr; }
    int Connected() const { return shared_ != nullptr ? shared_->connected.load() : 0; }
    long Bytes() const { return shared_ != nullptr ? shared_->bytes.load() : 0; }
    double CpuS() const { return pid_ > 0 ? ProcessCpuS(pid_) : 0; }

  private:
    struct Shared {
        std::atomic<int> connected{0};
        std::atomic<long> bytes{0};
    };

    // The child: system calls only (the parent has threads, so nothing that may take a lock).
    [[noreturn]] void Run(const sockaddr_in* peers, size_t n) {
        const int ep = ::epoll_create1(0);
        for (size_t i = 0; i < n; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            if (fd < 0 ||
                ::connect(fd, reinterpret_cast<const sockaddr*>(&peers[i]), sizeof peers[i]) != 0)
                continue;
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.fd = fd;
            ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
            shared_->connected.fetch_add(1, std::memory_order_relaxed);
        }
        static char buf[4096];
        epoll_event ready[256];
        for (;;) {
            const int k = ::epoll_wait(ep, ready, 256, -1);
            for (int i = 0; i < k; ++i) {
                const ssize_t got = ::recv(ready[i].data.fd, buf, sizeof buf, MSG_DONTWAIT);
                if (got > 0) {
                    shared_->bytes.fetch_add(got, std::memory_order_relaxed);
                } else if (got == 0) {
                    ::epoll_ctl(ep, EPOLL_CTL_DEL, ready[i].data.fd, nullptr);
                    ::close(ready[i].data.fd);
                }
            }
        }
    }

    Shared* shared_ = nullptr;
    pid_t pid_ = -1;
};

fs::path GatewayProgram() {
    if (const char* p = std::getenv("TARVEL_GATEWAY")) return p;
    return fs::read_symlink("/proc/self/exe").parent_path() / ".." / "tools" / "gateway" /
           "tarvel-gateway";
}

// ---- an event-stream client ----------------------------------------------------------------

// Reads one event stream on a thread of its own; every event's data goes to `onData` with the
// moment its last byte was read.
class EventStream {
  public:
    using OnData = std::function<void(const std::string&, Clock::time_point)>;
    EventStream(const std::string& path, OnData onData)
        : cli_(kHttpIp, kHttpPort), onData_(std::move(onData)) {
        cli_.set_read_timeout(30, 0);
        thread_ = std::thread([this, path] {
            cli_.Get(path, [this](const char* data, size_t n) {
                const auto at = Clock::now();
                buf_.append(data, n);
                for (size_t end; (end = buf_.find("\n\n")) != std::string::npos;) {
                    const std::string event = buf_.substr(0, end);
                    buf_.erase(0, end + 2);
                    const size_t d = event.find("data: ");
                    if (d != std::string::npos) {
                        ++events_;
                        onData_(event.substr(d + 6, event.find('\n', d) - d - 6), at);
                    }
                }
                return !stop_.load();
            });
        });
    }
    ~EventStream() {
        stop_ = true;
        cli_.stop();
        thread_.join();
    }
    long Events() const { return events_.load(); }

  private:
    httplib::Client cli_;
    OnData onData_;
    std::string buf_;
    std::atomic<bool> stop_{false};
    std::atomic<long> events_{0};
    std::thread thread_;
};

// The id a frame of the latency scales carries: its net weight.
std::optional<long> IdOf(const std::string& record) {
    try {
        const auto j = nlohmann::json::parse(record);
        if (j.at("net").is_number()) return std::lround(j.at("net").get<double>());
    } catch (...) {
    }
    return std::nullopt;
}

// A peer that sends numbered frames and remembers when each one's last byte went out.
class Stamper {
  public:
    explicit Stamper(const std::string& ip) : peer_(ip, 8881) {}
    bool WaitClient() { return peer_.WaitClient(tsim::Ms{15000}); }
    // The stamp is taken just before the write, so that a record read back at once finds it
    // (the write itself is then part of the delay).
    void Send(long id) {
        tsim::Ind5817 r;
        r.weight = id;
        const std::string frame = tsim::Frame5817(r);
        {
            std::lock_guard<std::mutex> lock(m_);
            sent_[id] = Clock::now();
        }
        peer_.Send(frame);
    }
    std::optional<Clock::time_point> SentAt(long id) {
        std::lock_guard<std::mutex> lock(m_);
        auto it = sent_.find(id);
        return it == sent_.end() ? std::nullopt : std::optional(it->second);
    }

  private:
    tsim::RawPeer peer_;
    std::mutex m_;
    std::map<long, Clock::time_point> sent_;
};

// ---- the parts -----------------------------------------------------------------------------

const char* const kModels[] = {"5817", "krt", "msi3360", "msi6260"};

std::string FrameOf(int letter) {
    switch (letter) {
    case 0: {
        tsim::Ind5817 r;
        r.weight = 12345;
        r.decimalCode = 4;
        return tsim::Frame5817(r);
    }
    case 1: {
        tsim::Ind5817 r;
        r.weight = 2500;
        r.decimalCode = 3;
        return tsim::FrameKrt(r);
    }
    case 2:
        return tsim::FrameMsi3360("   12.50", "   12.00", "    0.50");
    default:
        return tsim::Msi6260Line(tsim::kMsiGross, "  12.50");
    }
}

std::string ScaleName(int conv, int letter) {
    return Fmt("c%02d%c", conv, "abcd"[letter]);
}

void WriteConfig(const fs::path& file, bool mqtt) {
    std::ofstream f(file);
    f << "[gateway]\nname = \"plant\"\nhttp = \"" << kHttpIp << ":" << kHttpPort
      << "\"\nstale_after_ms = 2000\nsse_max_clients = " << kFanClients + 50 << "\n\n";
    for (int c = 1; c <= kConverters; ++c)
        for (int l = 0; l < 4; ++l)
            f << "[[scale]]\nname = \"" << ScaleName(c, l) << "\"\nmodel = \"" << kModels[l]
              << "\"\ntcp = \"127.0.1." << c << ":"
              << "ABCD"[l] << "\"\n\n";
    f << "[[scale]]\nname = \"lat\"\nmodel = \"5817\"\ntcp = \"" << kLatencyIp << ":A\"\n\n";
    f << "[[scale]]\nname = \"fan\"\nmodel = \"5817\"\ntcp = \"" << kFanIp << ":A\"\n\n";
    if (mqtt)
        f << "[mqtt]\nbroker = \"" << kBrokerIp << ":" << kBrokerPort
          << "\"\nheartbeat_ms = 5000\n";
}

bool WaitHttp(int seconds) {
    httplib::Client cli(kHttpIp, kHttpPort);
    cli.set_connection_timeout(1, 0);
    for (int i = 0; i < seconds * 10; ++i) {
        if (auto r = cli.Get("/healthz"); r && r->status == 200) return true;
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

// How many scales are ok.
int ScalesOk() {
    httplib::Client cli(kHttpIp, kHttpPort);
    auto r = cli.Get("/api/scales");
    if (!r || r->status != 200) return 0;
    int ok = 0;
    for (const auto& s : nlohmann::json::parse(r->body).at("scales"))
        ok += s.at("status") == "ok";
    return ok;
}

// (e): the gateway against the floor, and against one polling thread.
void Plant(const Options& o, std::vector<std::unique_ptr<tsim::Converter>>& convs,
           const Child& gateway) {
    const auto window = o.quick ? 4s : 10s;
    std::vector<sockaddr_in> peers;
    for (int c = 1; c <= kConverters; ++c)
        for (int l = 1; l <= 4; ++l) {
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(static_cast<uint16_t>(
                convs[static_cast<size_t>(c - 1)]->Port(static_cast<char>('A' + l - 1))));
            ::inet_pton(AF_INET, Fmt("127.0.1.%d", c).c_str(), &sa.sin_addr);
            peers.push_back(sa);
        }
    Floor floor(peers);
    for (int i = 0; i < 100 && floor.Up() && floor.Connected() < 4 * kConverters; ++i)
        std::this_thread::sleep_for(100ms);
    const auto sent = [&] {
        long n = 0;
        for (auto& c : convs)
            for (int l = 1; l <= 4; ++l)
                n += c->Channel(l).FramesSent();
        return n;
    };
    std::atomic<long> readings{0};
    {
        EventStream all("/api/events", [&](const std::string&, Clock::time_point) { ++readings; });
        std::this_thread::sleep_for(1s); // the current records first, then the stream
        const long r0 = readings, s0 = sent(), b0 = floor.Bytes();
        const double cpu0 = gateway.CpuS(), floor0 = floor.CpuS();
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(window);
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        const long got = readings - r0, frames = sent() - s0;
        const double cpu = 100.0 * (gateway.CpuS() - cpu0) / wall;
        const double floorCpu = 100.0 * (floor.CpuS() - floor0) / wall;
        const double floorBytes = static_cast<double>(floor.Bytes() - b0) / wall;
        // The converters send every frame to the gateway and to the floor: `sent` counts both.
        const int clients = 4 * kConverters + floor.Connected();
        const double toGateway = static_cast<double>(frames) * 4 * kConverters / clients;
        const double share = toGateway > 0 ? 100.0 * static_cast<double>(got) / toGateway : 0;
        AddRow("(e) 256 indicators, 10 frames/s each, through one tarvel-gateway",
               Fmt("%.0f readings/s delivered to an event-stream client; %.2f %% of %.0f frames/s "
                   "sent; gateway CPU %.2f %% of one core",
                   got / wall, share, toGateway / wall, cpu),
               Verdict(share >= 99.0 && cpu < 5.0, ">= 99 % of frames, < 5 % of a core"));
        const double ratio = floorCpu > 0 ? cpu / floorCpu : 0;
        AddRow("(e) the floor: a bare epoll + recv loop over the same 256 connections, same window",
               Fmt("floor CPU %.2f %% of one core (%d connections, %.0f bytes/s); gateway %.2f "
                   "%%; gateway / floor = %.2f",
                   floorCpu, floor.Connected(), floorBytes, cpu, ratio),
               Verdict(ratio > 0 && ratio <= 1.5, "gateway <= 1.5 x the floor"));
    }

    // The same 256 indicators polled in a loop by one thread of this process.
    std::vector<int32_t> chans;
    int32_t(TARVEL_CALL * ctors[])(int32_t, const char*) = {W5817, WKRT, WMSI3360, WMSI6260};
    for (int c = 1; c <= kConverters; ++c) {
        const int32_t ip = Seta_Ip(Fmt("127.0.1.%d", c).c_str());
        for (int l = 0; l < 4; ++l) {
            const int32_t ch = ctors[l](ip, std::string(1, "ABCD"[l]).c_str());
            if (Select_Canal(ch) == TARVEL_SELECT_OK) chans.push_back(ch);
        }
    }
    long polled = 0;
    const auto t0 = Clock::now();
    while (Clock::now() - t0 < window)
        for (int32_t ch : chans)
            polled += Update_Canal(ch) == TARVEL_POLL_OK;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    AddRow("(e) the same 256 polled in a loop by one thread with Update_Canal",
           Fmt("%.1f readings/s (%zu channels connected)", polled / wall, chans.size()));
    for (int32_t ch : chans) {
        Close_Canal(ch);
        Deleta_Canal(ch);
    }
}

// (f): a frame's last byte to an event-stream client (and an MQTT subscriber).
void Latency(const Options& o, Stamper& peer, bool mqtt) {
    const int frames = o.quick ? 100 : 400;
    std::mutex m;
    std::vector<double> sse, mq;
    EventStream stream("/api/scales/lat/events", [&](const std::string& rec, Clock::time_point at) {
        if (auto id = IdOf(rec); id && *id > 100000)
            if (auto t = peer.SentAt(*id)) {
                std::lock_guard<std::mutex> lock(m);
                sse.push_back(Us(at - *t) / 1000.0);
            }
    });
    struct Sub {
        Stamper* peer;
        std::mutex* m;
        std::vector<double>* mq;
    } sub{&peer, &m, &mq};
    mosquitto* mosq = nullptr;
    if (mqtt) {
        mosq = mosquitto_new("tarvel-bench", true, &sub);
        mosquitto_message_callback_set(
            mosq, [](mosquitto*, void* self, const mosquitto_message* msg) {
                const auto at = Clock::now();
                auto* s = static_cast<Sub*>(self);
                const std::string rec(static_cast<const char*>(msg->payload),
                                      static_cast<size_t>(msg->payloadlen));
                if (auto id = IdOf(rec); id && *id > 100000)
                    if (auto t = s->peer->SentAt(*id)) {
                        std::lock_guard<std::mutex> lock(*s->m);
                        s->mq->push_back(Us(at - *t) / 1000.0);
                    }
            });
        mosquitto_connect(mosq, kBrokerIp.c_str(), kBrokerPort, 30);
        mosquitto_subscribe(mosq, nullptr, "tarvel/plant/lat/state", 1);
        mosquitto_loop_start(mosq);
    }
    std::this_thread::sleep_for(500ms);
    for (int i = 1; i <= frames; ++i) {
        peer.Send(100000 + i);
        std::this_thread::sleep_for(50ms);
    }
    std::this_thread::sleep_for(500ms);
    if (mosq != nullptr) {
        mosquitto_disconnect(mosq);
        mosquitto_loop_stop(mosq, false);
        mosquitto_destroy(mosq);
    }
    std::lock_guard<std::mutex> lock(m);
    const Summary s = Summarize(sse);
    AddRow("(f) a frame's last byte sent -> its reading at an event-stream client",
           Fmt("median %.2f ms, p99 %.2f ms, max %.2f ms (%zu of %d frames)", s.median, s.p99,
               s.max, sse.size(), frames),
           Verdict(s.p99 < 5.0 && static_cast<int>(sse.size()) == frames, "p99 < 5 ms"));
    if (!mqtt) return;
    const Summary q = Summarize(mq);
    AddRow("(f) the same -> an MQTT subscriber through mosquitto",
           Fmt("median %.2f ms, p99 %.2f ms, max %.2f ms (%zu of %d frames)", q.median, q.p99,
               q.max, mq.size(), frames),
           Verdict(q.p99 < 10.0 && static_cast<int>(mq.size()) == frames, "p99 < 10 ms"));
}

// (g): many event-stream clients on one scale.
void Fan(const Options& o, Stamper& peer) {
    const int frames = o.quick ? 30 : 100;
    std::mutex m;
    std::vector<double> delays;
    std::vector<std::unique_ptr<EventStream>> clients;
    std::vector<std::unique_ptr<std::atomic<int>>> got;
    for (int i = 0; i < kFanClients; ++i) {
        got.push_back(std::make_unique<std::atomic<int>>(0));
        std::atomic<int>* mine = got.back().get();
        clients.push_back(std::make_unique<EventStream>(
            "/api/scales/fan/events", [&, mine](const std::string& rec, Clock::time_point at) {
                if (auto id = IdOf(rec); id && *id > 200000)
                    if (auto t = peer.SentAt(*id)) {
                        ++*mine;
                        std::lock_guard<std::mutex> lock(m);
                        delays.push_back(Us(at - *t) / 1000.0);
                    }
            }));
    }
    // Every client has its first record (the current reading) before frames go out.
    for (int i = 0; i < 150; ++i) {
        int ready = 0;
        for (auto& c : clients)
            ready += c->Events() > 0;
        if (ready == kFanClients) break;
        std::this_thread::sleep_for(100ms);
    }
    for (int i = 1; i <= frames; ++i) {
        peer.Send(200000 + i);
        std::this_thread::sleep_for(kPeriod);
    }
    std::this_thread::sleep_for(1s);
    clients.clear();
    int complete = 0;
    for (auto& g : got)
        complete += g->load() == frames;
    const Summary s = Summarize(delays);
    AddRow(Fmt("(g) %d event-stream clients on one scale", kFanClients),
           Fmt("%d of %d clients got all %d readings; delivery median %.2f ms, p99 %.2f ms, "
               "max %.2f ms",
               complete, kFanClients, frames, s.median, s.p99, s.max),
           Verdict(complete == kFanClients && s.p99 < 20.0, "every reading, p99 < 20 ms"));
}

} // namespace

void PlantParts(const Options& o) {
    const fs::path gatewayProgram = GatewayProgram();
    if (!fs::exists(gatewayProgram)) {
        g_notes.push_back("(e)-(g) skipped: no tarvel-gateway at " + gatewayProgram.string());
        return;
    }
    const fs::path dir = fs::temp_directory_path() / Fmt("tarvel-bench-%d", ::getpid());
    fs::create_directories(dir);
    const bool mqtt = fs::exists("/usr/sbin/mosquitto");
    std::unique_ptr<Child> broker;
    if (mqtt) {
        std::ofstream(dir / "mosquitto.conf") << "listener " << kBrokerPort << " " << kBrokerIp
                                              << "\nallow_anonymous true\npersistence false\n";
        broker =
            std::make_unique<Child>(std::vector<std::string>{"/usr/sbin/mosquitto", "-c",
                                                             (dir / "mosquitto.conf").string()},
                                    dir / "mosquitto.log");
    }

    std::vector<std::unique_ptr<tsim::Converter>> convs;
    for (int c = 1; c <= kConverters; ++c) {
        convs.push_back(std::make_unique<tsim::Converter>(Fmt("127.0.1.%d", c), false));
        for (int l = 0; l < 4; ++l) {
            tsim::StreamOptions so;
            so.period = tsim::Ms{kPeriod};
            // Indicators of a plant are not in step: their frames are spread over the period.
            so.phase = tsim::Ms{((c - 1) * 4 + l) * kPeriod.count() / (kConverters * 4)};
            convs.back()->Channel(l + 1).Stream(FrameOf(l), so);
        }
    }
    Stamper latencyPeer(kLatencyIp), fanPeer(kFanIp);
    WriteConfig(dir / "plant.toml", mqtt);
    Child gateway({gatewayProgram.string(), "--config", (dir / "plant.toml").string()},
                  dir / "gateway.log");
    if (!WaitHttp(20) || !latencyPeer.WaitClient() || !fanPeer.WaitClient()) {
        g_notes.push_back("(e)-(g) skipped: the gateway did not come up; see " +
                          (dir / "gateway.log").string());
        return;
    }
    latencyPeer.Send(1);
    fanPeer.Send(1);
    for (int i = 0; i < 200 && ScalesOk() < 4 * kConverters + 2; ++i)
        std::this_thread::sleep_for(100ms);
    if (o.Has('e')) Plant(o, convs, gateway);
    if (o.Has('f')) Latency(o, latencyPeer, mqtt);
    if (o.Has('g')) Fan(o, fanPeer);
    gateway.Stop();
    broker.reset();
    fs::remove_all(dir);
}

void PlantMethod(const Options& o) {
    if (o.Has('e'))
        std::printf(
            "- (e) This process simulates 64 converters on 127.0.1.1-64, each with a 5817, a KRT, "
            "an MSI 3360 and an MSI 6260 on channels A-D sending a frame every 100 ms (out of "
            "step: their "
            "first frames spread over the period); the real "
            "tarvel-gateway (a child process) keeps all 256 live. Over the window, readings "
            "counted on one event-stream client of /api/events against the frames the converters "
            "sent (their own count), and the gateway's CPU from /proc (user + system). In the same "
            "window a child process of this one, the floor, holds a second connection to each of "
            "the 256 channels and only waits for them (epoll) and reads what came (one recv into "
            "a buffer per ready connection); its CPU is read the same way, and the gateway's is "
            "given as a multiple of it. Then one "
            "thread of this process polls the same 256 channels round-robin with Update_Canal "
            "for as long.\n");
    if (o.Has('f'))
        std::printf(
            "- (f) One more scale whose converter channel is played by this process sends a "
            "5817 frame every 50 ms whose weight is an id, stamping the send of its last byte "
            "(steady clock); a client of /api/scales/lat/events and an MQTT subscriber of "
            "tarvel/plant/lat/state (through a mosquitto broker, a child process) stamp each "
            "record's arrival and read the id back from its net weight. The 256 indicators of "
            "(e) keep streaming meanwhile.\n");
    if (o.Has('g'))
        std::printf("- (g) %d clients of /api/scales/fan/events (a thread each, in this process); "
                    "once each has its first record, the scale's channel sends a numbered frame "
                    "every 100 ms; each client must get every one. Delivery = the last byte sent "
                    "-> the record read by a client, over every client and frame.\n",
                    kFanClients);
}

} // namespace bench
