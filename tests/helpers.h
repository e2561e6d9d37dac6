// Shared test helpers. Each test uses its own loopback address 127.0.0.N so that the fixed
// converter ports never collide between tests running at the same time, and its own COM
// port numbers (under Wine they are links in one prefix):
//   registry 10-19, lifecycle 20-49, transport 50-69 (COM5-10), drivers 70-79 (COM51-52),
//   values 90-99, digital I/O 160-169, settings 180-181 (COM11-12), faults 182-193 (COM41-46,
//   POSIX only), Ohaus 200-204 (COM13-14), Windows platform 220-239 (COM31-33).
#pragma once

#include "Channels.h"
#include "Exports.h"
#include "Family.h"
#include "frames.h"
#include "IoExchange.h"
#include "Messages.h"
#include "TBal.h"
#include "platform.h"
#include "tarvel6.h"
#include "tarvelsim.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#endif

#ifdef _WIN32
// Supplied by the simulator's stand-in for Windows programs (tests/win): setting TARVEL_COM<n>
// also points COM<n> of the Wine prefix at the device.
extern "C" int setenv(const char* name, const char* value, int overwrite);
#endif

namespace t6test {

inline std::string Ip(int n) {
    return "127.0.0." + std::to_string(n);
}

// A 5817-family reading for the frame builders: weight and tare in display counts, status
// A's decimal code.
inline tsim::Ind5817 Reading(long weight, long tare, int decimalCode = 0) {
    tsim::Ind5817 r;
    r.weight = weight;
    r.tare = tare;
    r.decimalCode = decimalCode;
    return r;
}

inline uint64_t NowMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Processes the library's notifications until `pred` holds or `timeoutMs` passes.
inline bool PumpUntil(const std::function<bool()>& pred, uint32_t timeoutMs = 5000) {
    const uint64_t end = NowMs() + timeoutMs;
    while (!pred()) {
        if (NowMs() >= end) return false;
        plat::ProcessMessages();
        plat::WaitMessages(10);
    }
    return true;
}

// Processes notifications for `ms` milliseconds (bytes nobody waits for are dropped).
inline void Pump(uint32_t ms) {
    PumpUntil([] { return false; }, ms);
}

// Stream options with one frame every `ms` milliseconds.
inline tsim::StreamOptions Every(int ms) {
    tsim::StreamOptions o;
    o.period = tsim::Ms{ms};
    return o;
}

// Maps COM<n> to a device path for the library.
inline void MapCom(int n, const std::string& path) {
    std::string name = "TARVEL_COM";
    name += std::to_string(n);
    ::setenv(name.c_str(), path.c_str(), 1);
}

// A TCP channel made by `ctor` on converter channel A of `conv` at 127.0.0.<n>, connected.
inline int32_t Connect(tsim::Converter& conv, int n,
                       int32_t(TARVEL_CALL* ctor)(int32_t, const char*) = W5817) {
    const int32_t ip = Seta_Ip(Ip(n).c_str());
    const int32_t ch = ctor(ip, "A");
    EXPECT_EQ(Select_Canal(ch), 1);
    EXPECT_TRUE(conv.Channel('A').WaitClients(1, tsim::Ms{2000}));
    return ch;
}

// Has the peer (a simulated indicator or a plain TCP peer) send `bytes` once, shortly after
// the poll has started, so the poll sees them from their first byte; then polls
// (Update_Canal for -1, else Update_NoMotion).
template <class Peer>
int32_t PollWhileSending(Peer& peer, int32_t ch, std::string bytes, int32_t timeOut = -1) {
    plat::PostCallback(50, [&peer, bytes] { peer.Send(bytes); });
    return timeOut == -1 ? Update_Canal(ch) : Update_NoMotion(ch, timeOut);
}

inline TClDunor& Chan(int32_t ch) {
    return *ChannelAt(ch);
}

// A channel of `family` as its exported constructors make it, for the tests that go over every
// family of the table: on converter channel `letter` of the registered address `ipIndex`, or
// on serial port COM`comNumber`.
inline int32_t ChannelOf(const Family& family, int32_t ipIndex, const char* letter) {
    return NewTcpChannel(ipIndex, letter, family);
}
inline int32_t SerialChannelOf(const Family& family, int32_t comNumber) {
    return NewSerialChannel(comNumber, family);
}

// Every test starts with a freshly loaded library and ends with its channels deleted.
class LibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        plat::SetDecimalSeparator('.');
        UnloadLibrary();
    }
    void TearDown() override {
        for (int32_t i = static_cast<int32_t>(ChannelTable.size()) - 1; i >= 0; --i)
            Deleta_Canal(i);
        UnloadLibrary();
        plat::SetDecimalSeparator(0);
    }
};

#ifndef _WIN32 // the peer runs in this process: POSIX only
// A listener whose accept queue is full: further connection attempts get no answer at
// all, as with a converter that is switched off behind a router.
class Unanswered {
  public:
    Unanswered(const std::string& ip, int port) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, ip.c_str(), &sa.sin_addr);
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            listen(listener_, 0) != 0)
            throw std::runtime_error("cannot listen");
        for (int i = 0; i < 3; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
            fillers_.push_back(fd);
        }
        usleep(200 * 1000);
    }
    ~Unanswered() {
        for (int fd : fillers_)
            close(fd);
        close(listener_);
    }

  private:
    int listener_ = -1;
    std::vector<int> fillers_;
};

#endif

} // namespace t6test
