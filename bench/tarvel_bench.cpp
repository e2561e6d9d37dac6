// tarvel-bench: measures the library against peers of its own (loopback TCP, a pseudo-
// terminal) and prints one table:
//
//   (a) CPU time of the process while a poll receives nothing, as a share of the wall time;
//   (b) latency from the last byte of a frame leaving the peer to Update_Canal returning;
//   (c) 64 TCP channels (16 converters x 4 channels) polled round-robin from one thread,
//       against one channel;
//   (d) decode cost per frame of each indicator family: the frame through its decoder and
//       into the value texts, without sockets;
//   (e)-(g) the plant: 256 indicators through one tarvel-gateway, against the floor of this
//       machine (a bare epoll and recv loop over the same 256 connections, in the same window)
//       and against one polling thread, a frame's latency to event-stream and MQTT clients,
//       500 clients on one scale (bench/plant.cpp);
//   (h)  the register of weighings from 8 threads (bench/register.cpp).
//
// Usage: tarvel-bench [--quick] [--parts abcdefgh]
#include "bench.h"

#include "Family.h"
#include "ValueTexts.h"
#include "platform.h"
#include "tarvel6.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace bench;
using namespace std::chrono_literals;

double ThreadCpuUs() {
    rusage u{};
    ::getrusage(RUSAGE_THREAD, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

double ProcessCpuMs() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

// ---- frames -------------------------------------------------------------------------------

// STX, status A (decimal code), status B (kg), status C, weight and tare in six digits each,
// CR and, unless `krt`, the check character.
std::string Frame5817(long weight, long tare, int decimalCode, bool krt = false) {
    std::string body;
    body += static_cast<char>(0x20 | decimalCode);
    body += static_cast<char>(0x20 | 0x10);
    body += static_cast<char>(0x20);
    body += Fmt("%06ld%06ld", weight % 1000000, tare % 1000000);
    body += '\r';
    std::string frame = std::string(1, '\x02') + body;
    if (!krt) {
        int sum = 2;
        for (char c : body)
            sum += static_cast<unsigned char>(c) & 0x7F;
        frame += static_cast<char>((((~sum) & 0x7F) + 1) & 0x7F);
    }
    return frame;
}

// ---- loopback peers -----------------------------------------------------------------------

int Listen(const std::string& ip, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, ip.c_str(), &sa.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 8) != 0) {
        const std::string err = std::strerror(errno);
        ::close(fd);
        throw std::runtime_error("cannot listen on " + ip + ":" + std::to_string(port) + ": " +
                                 err);
    }
    return fd;
}

int AcceptOne(int listener) {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, 3000) <= 0) throw std::runtime_error("no connection to accept");
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) throw std::runtime_error("accept: " + std::string(std::strerror(errno)));
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

// A connected 5817 channel of the library and the peer's end of its reading connection.
struct TcpChannel {
    int32_t ch = -1;
    int listener = -1;
    int server = -1;
};

TcpChannel OpenChannel(const std::string& ip, char letter) {
    TcpChannel c;
    c.listener = Listen(ip, 8880 + (letter - 'A' + 1));
    const char text[2] = {letter, '\0'};
    c.ch = W5817(Seta_Ip(ip.c_str()), text);
    if (c.ch < 0 || Select_Canal(c.ch) != 1)
        throw std::runtime_error("cannot connect a channel to " + ip);
    c.server = AcceptOne(c.listener);
    return c;
}

void CloseChannels(std::vector<TcpChannel>& chans) {
    for (auto& c : chans) {
        Deleta_Canal(c.ch);
        ::close(c.server);
        ::close(c.listener);
    }
    chans.clear();
}

// The peer side of (b) and (c). On request it sends one 5817 frame on the given connection,
// kArm after the request (the poll has armed its receive state by then: bytes that come in
// before that are read and dropped, as between polls). The frame's weight is a fresh id, so
// the poll's reading tells which frame it took and when that frame's last byte left. A frame
// not taken within kResendAfter (it came too early and was dropped) is followed by another.
class Responder {
  public:
    static constexpr auto kArm = 50us;
    static constexpr auto kResendAfter = 5ms;

    explicit Responder(std::vector<int> conns)
        : conns_(std::move(conns)), thread_([this] { Run(); }) {}
    ~Responder() {
        {
            std::lock_guard lk(mu_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    // A frame on connection `conn`; `split`: the last byte goes 1 ms after the others, as
    // on a slow serial line.
    void Ask(size_t conn, bool split) {
        {
            std::lock_guard lk(mu_);
            conn_ = conn;
            split_ = split;
            ++asked_;
        }
        cv_.notify_all();
    }
    // The poll has returned: no more frames for this request. Returns how many were resent.
    int Done() {
        std::lock_guard lk(mu_);
        done_ = asked_;
        cv_.notify_all();
        return requestResends_;
    }
    // When the last byte of frame `id` was handed to the socket.
    bool SentAt(long id, Clock::time_point& at) {
        std::lock_guard lk(mu_);
        if (id <= 0 || static_cast<size_t>(id) >= stamps_.size()) return false;
        at = stamps_[static_cast<size_t>(id)];
        return true;
    }
    long Resends() {
        std::lock_guard lk(mu_);
        return resends_;
    }

  private:
    void Run() {
        std::unique_lock lk(mu_);
        uint64_t served = 0;
        for (;;) {
            cv_.wait(lk, [&] { return stop_ || asked_ > served; });
            if (stop_) return;
            served = asked_;
            const size_t conn = conn_;
            const bool split = split_;
            requestResends_ = 0;
            lk.unlock();
            std::this_thread::sleep_for(kArm);
            lk.lock();
            for (;;) {
                const long id = nextId_++;
                lk.unlock();
                Send(conn, split, id);
                lk.lock();
                if (cv_.wait_for(lk, kResendAfter, [&] { return stop_ || done_ >= served; })) break;
                ++requestResends_;
                ++resends_;
            }
        }
    }

    void Send(size_t conn, bool split, long id) {
        const std::string frame = Frame5817(id, 0, 0);
        const int fd = conns_[conn];
        std::string_view last = frame;
        if (split) {
            WriteAll(fd, std::string_view(frame).substr(0, frame.size() - 1));
            std::this_thread::sleep_for(1ms);
            last = std::string_view(frame).substr(frame.size() - 1);
        }
        {
            std::lock_guard lk(mu_);
            if (stamps_.size() <= static_cast<size_t>(id)) stamps_.resize(id + 1024);
            stamps_[static_cast<size_t>(id)] = Clock::now();
        }
        WriteAll(fd, last);
    }

    std::vector<int> conns_;
    std::mutex mu_;
    std::condition_variable cv_;
    size_t conn_ = 0;
    bool split_ = false;
    uint64_t asked_ = 0, done_ = 0;
    bool stop_ = false;
    long nextId_ = 1;
    int requestResends_ = 0;
    long resends_ = 0;
    std::vector<Clock::time_point> stamps_;
    std::thread thread_;
};

struct PollStats {
    std::vector<double> perPollUs; // Update_Canal call to return
    std::vector<double> latencyUs; // last byte sent to return
    double wallS = 0;              // the whole run, without the pauses after resent frames
    double cpuUsPerPoll = 0;       // CPU time of the polling thread per poll
    long polls = 0, failures = 0, resent = 0;
};

// Polls the channels round-robin, each with a frame sent by the responder.
PollStats PollRoundRobin(const std::vector<TcpChannel>& chans, Responder& peer, long polls,
                         bool split) {
    PollStats s;
    const auto start = Clock::now();
    const double cpu0 = ThreadCpuUs();
    Clock::duration settling{};
    for (long k = 0; k < polls; ++k) {
        const size_t i = static_cast<size_t>(k) % chans.size();
        const int32_t ch = chans[i].ch;
        const auto t0 = Clock::now();
        peer.Ask(i, split);
        const int32_t result = Update_Canal(ch);
        const auto t1 = Clock::now();
        const int resent = peer.Done();
        ++s.polls;
        Clock::time_point sent;
        if (result != 0 || !peer.SentAt(std::lround(Net_Canal_Float(ch)), sent)) {
            ++s.failures;
        } else {
            s.perPollUs.push_back(Us(t1 - t0));
            s.latencyUs.push_back(Us(t1 - sent));
        }
        if (resent > 0) {
            // A late frame of this request may still come in: let it arrive and be dropped.
            s.resent += resent;
            const auto t2 = Clock::now();
            std::this_thread::sleep_for(10ms);
            plat::ProcessMessages();
            settling += Clock::now() - t2;
        }
    }
    s.cpuUsPerPoll = (ThreadCpuUs() - cpu0) / static_cast<double>(std::max(1L, s.polls));
    s.wallS = std::chrono::duration<double>(Clock::now() - start - settling).count();
    return s;
}

// ---- (a) CPU while a poll receives nothing ---------------------------------------------------

void IdleRow(const char* what, int32_t ch, uint32_t waitMs) {
    const double cpu0 = ProcessCpuMs();
    const auto t0 = Clock::now();
    const int32_t result = waitMs == 10000 ? Update_Canal(ch) : Update_NoMotion(ch, waitMs);
    const double wallMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    const double cpuMs = ProcessCpuMs() - cpu0;
    const double share = 100.0 * cpuMs / wallMs;
    AddRow(Fmt("(a) CPU during a %.0f s poll that receives nothing, %s", waitMs / 1000.0, what),
           Fmt("%.3f %% (%.1f ms CPU in %.2f s; poll result %d)", share, cpuMs, wallMs / 1000.0,
               result),
           Verdict(share < 1.0, "< 1 %"));
}

void PartA(const Options& o) {
    const uint32_t waitMs = o.quick ? 2000 : 10000;
    {
        std::vector<TcpChannel> chans{OpenChannel("127.0.2.1", 'A')};
        IdleRow("TCP", chans[0].ch, waitMs);
        CloseChannels(chans);
    }
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        g_notes.push_back("(a) serial row skipped: no pseudo-terminal");
        return;
    }
    ::setenv("TARVEL_COM50", ::ttyname(slave), 1);
    const int32_t ch = W5817Serial(50);
    IdleRow("serial (pty)", ch, waitMs);
    Deleta_Canal(ch);
    ::close(slave);
    ::close(master);
}

// ---- (b) frame latency and (c) many channels ------------------------------------------------

void LatencyRow(const std::string& measure, const PollStats& s, bool withTarget) {
    const Summary lat = Summarize(s.latencyUs);
    std::string result = Fmt("median %.0f us, p99 %.0f us, max %.0f us (%ld polls", lat.median,
                             lat.p99, lat.max, s.polls);
    if (s.failures > 0) result += Fmt(", %ld failed", s.failures);
    if (s.resent > 0) result += Fmt(", %ld resent", s.resent);
    result += Fmt("); polling thread CPU %.0f us per poll", s.cpuUsPerPoll);
    AddRow(measure, result, withTarget ? Verdict(lat.p99 < 1000.0, "p99 < 1 ms") : "");
}

void PartsBC(const Options& o) {
    const long latencyPolls = o.quick ? 200 : 1000;
    const long rrPolls = 64 * (o.quick ? 5 : 20);

    std::vector<TcpChannel> one{OpenChannel("127.0.2.2", 'A')};
    PollStats single;
    long resends = 0;
    {
        Responder peer({one[0].server});
        PollRoundRobin(one, peer, 20, false); // warm-up
        if (o.Has('b')) {
            LatencyRow("(b) last byte sent -> Update_Canal returned, frame in one write",
                       PollRoundRobin(one, peer, latencyPolls, false), true);
            LatencyRow("(b) same, last byte 1 ms after the other 17",
                       PollRoundRobin(one, peer, latencyPolls, true), true);
        }
        if (o.Has('c')) single = PollRoundRobin(one, peer, rrPolls, false);
        resends += peer.Resends();
    }
    CloseChannels(one);
    if (!o.Has('c')) {
        if (resends > 0) g_notes.push_back(Fmt("(b) frames resent: %ld", resends));
        return;
    }

    std::vector<TcpChannel> many;
    for (int conv = 1; conv <= 16; ++conv)
        for (char letter : {'A', 'B', 'C', 'D'})
            many.push_back(OpenChannel("127.0.1." + std::to_string(conv), letter));
    std::vector<int> servers;
    for (auto& c : many)
        servers.push_back(c.server);
    PollStats multi;
    {
        Responder peer(servers);
        PollRoundRobin(many, peer, 64, false); // warm-up
        multi = PollRoundRobin(many, peer, rrPolls, false);
        resends += peer.Resends();
    }
    CloseChannels(many);

    const auto startDelays = [](const PollStats& st) {
        std::vector<double> d;
        for (size_t i = 0; i < st.perPollUs.size(); ++i)
            d.push_back(st.perPollUs[i] - st.latencyUs[i]);
        return Summarize(d);
    };
    const auto describe = [&](const PollStats& st) {
        const Summary lat = Summarize(st.latencyUs), per = Summarize(st.perPollUs);
        const Summary start = startDelays(st);
        return Fmt("%.0f polls/s; last byte sent -> return median %.0f us, p99 %.0f us; "
                   "polling thread CPU %.0f us per poll; call -> return median %.0f us, p99 "
                   "%.0f us, of which the peer's start median %.0f us, p99 %.0f us (%ld polls)",
                   st.polls / st.wallS, lat.median, lat.p99, st.cpuUsPerPoll, per.median, per.p99,
                   start.median, start.p99, st.polls);
    };
    AddRow("(c) 1 channel", describe(single));
    AddRow("(c) 64 channels (16 converters x 4), round-robin", describe(multi));
    const Summary l1 = Summarize(single.latencyUs), l64 = Summarize(multi.latencyUs);
    const double rate1 = single.polls / single.wallS, rate64 = multi.polls / multi.wallS;
    AddRow("(c) 64 vs 1",
           Fmt("polls/s x%.2f fewer; latency median x%.2f, p99 x%.2f; CPU per poll x%.2f",
               rate1 / rate64, l64.median / l1.median, l64.p99 / l1.p99,
               multi.cpuUsPerPoll / single.cpuUsPerPoll),
           Verdict(l64.median <= 1.3 * l1.median && multi.cpuUsPerPoll <= 1.3 * single.cpuUsPerPoll,
                   "CPU per poll and median latency within x1.3"));
    if (single.failures + multi.failures > 0)
        g_notes.push_back(
            Fmt("(c) failed polls: %ld of 1 channel, %ld of 64", single.failures, multi.failures));
    if (resends > 0)
        g_notes.push_back(Fmt("(b)/(c) frames resent because the first came in before the poll "
                              "was waiting (the polling thread was held up): %ld; the pauses "
                              "after them are not counted in the rates",
                              resends));
}

// ---- (d) decode cost ------------------------------------------------------------------------

struct DecodeCase {
    const char* name;
    const char* model;
    std::string frame;
    std::string TValueTexts::*field; // the text that shows the frame was decoded
    std::string expected;
};

// Frames through the family's decoder as a read hands it a chunk holding one frame, and the
// reading made into the value functions' texts, as a channel's poll does.
double DecodeNs(const Family& family, const std::string& frame, long n, long& done,
                TValueTexts& texts) {
    auto decoder = family.decoder();
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(frame.data()),
                                         frame.size());
    const char sep = plat::DecimalSeparator();
    const auto t0 = Clock::now();
    for (long i = 0; i < n; ++i) {
        texts.StartPoll(family.pollStartGrossTare);
        for (std::span<const uint8_t> rest = bytes; !rest.empty();) {
            const TDecoder::Step step = decoder->Feed(rest);
            rest = rest.subspan(step.used);
            if (step.reading != nullptr) {
                texts.Take(*step.reading, sep);
                ++done;
            }
        }
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() /
           static_cast<double>(n);
}

void PartD(const Options& o) {
    const long n = o.quick ? 20000 : 200000;
    plat::SetDecimalSeparator('.');
    const std::vector<DecodeCase> cases = {
        {"5817", "5817", Frame5817(1234, 100, 3), &TValueTexts::NetText, "     123.4"},
        {"5817C (raw)", "5817c", Frame5817(1234, 100, 3), &TValueTexts::CounterText,
         Frame5817(1234, 100, 3).substr(1, 16)},
        {"KRT", "krt", Frame5817(1234, 100, 3, true), &TValueTexts::NetText, "     123.4"},
        {"MSI 3360", "msi3360", "\x02   12.50   12.00    0.50kg\x03", &TValueTexts::NetText,
         "   12.00"},
        {"MSI 6260", "msi6260", "GROSS    12.50 KG\r\n", &TValueTexts::GrossText, "  12.50"},
        {"Ohaus", "ohaus", "-   1.50 kg\r\n", &TValueTexts::NetText, " -0001.50 "},
    };
    for (const DecodeCase& c : cases) {
        long done = 0;
        TValueTexts texts;
        const double ns = DecodeNs(*FamilyOfModel(c.model), c.frame, n, done, texts);
        const bool ok = done == n && texts.*c.field == c.expected;
        AddRow(Fmt("(d) decode, %s (%zu-byte frame)", c.name, c.frame.size()),
               Fmt("%.0f ns per frame, %.1f ns per byte%s", ns,
                   ns / static_cast<double>(c.frame.size()), ok ? "" : " -- WRONG DECODE"));
    }
    plat::SetDecimalSeparator(0);
}

// ---- output -------------------------------------------------------------------------------

std::string MachineLine() {
    std::string load;
    std::ifstream("/proc/loadavg") >> load;
    return Fmt("%u CPUs, load average %s", std::thread::hardware_concurrency(), load.c_str());
}

void PrintTable(const Options& o) {
    std::printf("Tarvel6 benchmark (%s run; %s)\n\n", o.quick ? "quick" : "full",
                MachineLine().c_str());
    std::printf("| Measure | Result | Target |\n|---|---|---|\n");
    for (const Row& r : g_rows)
        std::printf("| %s | %s | %s |\n", r.measure.c_str(), r.result.c_str(), r.target.c_str());
    std::printf("\nHow it is measured:\n");
    if (o.Has('a'))
        std::printf("- (a) getrusage user+sys of the whole process over one poll of a connected "
                    "channel (or an open pty) whose peer never sends.\n");
    if (o.Has('b') || o.Has('c'))
        std::printf("- (b)/(c) The peer is told by the polling thread that a poll is starting; "
                    "%lld us later (once the poll waits) it sends one frame whose weight is a "
                    "fresh id, stamping the write of the last byte with the steady clock. The "
                    "polling thread stamps Update_Canal's return and reads the id back from "
                    "Net_Canal, so each sample pairs the frame that ended the poll with its own "
                    "send time. The peer never streams on a period of its own: every poll gets "
                    "its frame as soon as it waits, so rates and latencies are the library's "
                    "(plus one loopback hop and the peer's wake-up).\n",
                    static_cast<long long>(Responder::kArm.count()));
    if (o.Has('c'))
        std::printf("- (c) 16 converters on 127.0.1.1-16, channels A-D each, all connected and "
                    "registered with the polling thread; one channel (127.0.2.2) alone for the "
                    "comparison. Per poll = Update_Canal call to return, including the peer's "
                    "%lld us start delay.\n",
                    static_cast<long long>(Responder::kArm.count()));
    if (o.Has('d'))
        std::printf("- (d) In-process, no socket: for each frame the poll's start of the value "
                    "texts, then the whole frame through the family's decoder in one piece (as "
                    "a read hands it over) and the reading into the texts.\n");
    PlantMethod(o);
    RegisterMethod(o);
    for (const std::string& n : g_notes)
        std::printf("- Note: %s\n", n.c_str());
}

int Usage(const char* argv0) {
    std::fprintf(stderr,
                 "usage: %s [--quick] [--parts abcdefgh]\n"
                 "  --quick       short run: 2 s idle polls, 200 latency polls, 5 rounds of 64,\n"
                 "                4 s plant windows, fewer numbered frames\n"
                 "  --parts LIST  only these parts (default abcdefgh)\n",
                 argv0);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quick") {
            o.quick = true;
        } else if (a == "--parts" && i + 1 < argc) {
            o.parts = argv[++i];
        } else if (a.rfind("--parts=", 0) == 0) {
            o.parts = a.substr(8);
        } else {
            return Usage(argv[0]);
        }
    }
    plat::SetDecimalSeparator('.');
    try {
        if (o.Has('a')) PartA(o);
        if (o.Has('b') || o.Has('c')) PartsBC(o);
        if (o.Has('d')) PartD(o);
        if (o.Has('e') || o.Has('f') || o.Has('g')) PlantParts(o);
        if (o.Has('h')) RegisterPart(o);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvel-bench: %s\n", e.what());
        return 1;
    }
    PrintTable(o);
    return 0;
}
