// The simulator's classes for test programs built for Windows and run under Wine.
//
// The peers must run natively (POSIX sockets and pseudo-terminals), so every object here is a
// handle, an id, on an object of the native server tarvel-simd, which the first use starts
// (Wine runs a Linux program handed to CreateProcess) and which lives exactly as long as this
// process's connection to it. Calls go through the generic marshalling of simwire.h; the text
// configuration (Configure) is applied there too. The frame builders are plain functions,
// compiled from the simulator's own sources.
#include "../simwire.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <cctype>
#include <cstring>
#include <mutex>
#include <stdexcept>

#ifndef TARVEL_SIMD_PATH
#error "TARVEL_SIMD_PATH must name the native tarvel-simd program"
#endif

namespace tsim {

namespace {

using simwire::Msg;

constexpr DWORD kCallLimitMs = 90000;

// Starts the server and takes its connection; INVALID_SOCKET when that failed, with the
// reason in `why`.
SOCKET StartServer(std::string& why) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP), sock = INVALID_SOCKET;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof sa;
    if (bind(listener, reinterpret_cast<sockaddr*>(&sa), len) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        why = "no listening socket";
        closesocket(listener);
        return INVALID_SOCKET;
    }
    const char* over = std::getenv("TARVEL_SIMD");
    const std::string program = (over != nullptr && over[0] != '\0') ? over : TARVEL_SIMD_PATH;
    // Wine maps the root directory to drive Z:.
    std::string cmd = "\"Z:" + program + "\" " + std::to_string(ntohs(sa.sin_port));
    std::replace(cmd.begin(), cmd.end(), '/', '\\');
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    // Wine starts a Linux program without a Windows process or thread, and leaves the handles
    // in `pi` as it found them on its own stack: closing them could close a handle of this
    // process that happens to have that value, its standard output for one (the rest of the
    // test's output was then lost). The server ends with its connection; nothing to close.
    if (CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                       &pi)) {
        fd_set r;
        FD_ZERO(&r);
        FD_SET(listener, &r);
        timeval tv{20, 0};
        if (select(0, &r, nullptr, nullptr, &tv) > 0) sock = accept(listener, nullptr, nullptr);
    }
    closesocket(listener);
    if (sock == INVALID_SOCKET) why = program + " did not start or connect";
    BOOL one = TRUE;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    // No call of a test waits that long: a server that does not answer fails the call by name
    // (the test's own time limit would end it without saying where it stood).
    const DWORD limitMs = kCallLimitMs;
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limitMs),
               sizeof limitMs);
    return sock;
}

Msg Call(const Msg& request) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    static std::string why;
    static const SOCKET sock = StartServer(why);
    if (sock == INVALID_SOCKET) throw std::runtime_error("simulator server unavailable: " + why);
    Msg reply;
    if (!simwire::Write([](char* p, size_t n) { return send(sock, p, static_cast<int>(n), 0); },
                        request) ||
        !simwire::Read([](char* p, size_t n) { return recv(sock, p, static_cast<int>(n), 0); },
                       reply) ||
        reply.empty()) {
        if (WSAGetLastError() == WSAETIMEDOUT)
            throw std::runtime_error("simulator server: no answer to " + request[0] + " within " +
                                     std::to_string(kCallLimitMs / 1000) + " s");
        throw std::runtime_error("simulator server connection lost during " + request[0]);
    }
    if (reply[0] == "ok") return reply;
    const std::string what = reply.size() > 1 ? reply[1] : reply[0];
    if (reply[0] == "err:out_of_range") throw std::out_of_range(what);
    if (reply[0] == "err:invalid_argument") throw std::invalid_argument(what);
    throw std::runtime_error(what);
}

template <class... A> Msg Call(const char* op, const A&... args) {
    Msg m{op};
    (simwire::Put(m, args), ...);
    return Call(m);
}

template <class R, class... A> R Forward(const char* op, int id, const A&... args) {
    const Msg r = Call(op, id, args...);
    if constexpr (!std::is_void_v<R>) {
        size_t i = 1;
        return simwire::Get<R>(r, i);
    }
}

void Delete(int id) {
    try {
        Call("delete", id);
    } catch (...) {
    }
}

// The id that an Indicator being made stands for (a converter's channel, a pty's indicator),
// instead of a new one.
thread_local int t_adopt = 0;

std::unique_ptr<Indicator> Adopt(int id) {
    t_adopt = id;
    auto ind = std::make_unique<Indicator>();
    t_adopt = 0;
    return ind;
}

int LetterIndex(char letter) {
    const int up = std::toupper(static_cast<unsigned char>(letter));
    if (up < 'A' || up > 'D') throw std::out_of_range("converter channel letter");
    return up - 'A';
}

} // namespace

struct Indicator::Impl {
    int id = 0;
    bool owned = true;
};
struct IoPort::Impl {
    int id = 0;
};
struct Converter::Impl {
    int id = 0;
    std::string ip;
    int base = 0;
    std::unique_ptr<Indicator> channels[4];
    IoPort::Impl ioImpl;
    std::unique_ptr<IoPort> io;
};
struct PtyIndicator::Impl {
    int id = 0;
    std::string path;
    std::unique_ptr<Indicator> ind;
};
struct RawPeer::Impl {
    int id = 0;
    int port = 0;
};

// clang-format off
#define FORWARD(R, C, M, P, ...) \
    R C::M P { return Forward<R>(#C "." #M, impl_->id __VA_OPT__(,) __VA_ARGS__); }
SIMWIRE_METHODS(FORWARD)
#undef FORWARD
// clang-format on

Indicator::Indicator() : impl_(std::make_unique<Impl>()) {
    impl_->owned = t_adopt == 0;
    impl_->id = t_adopt != 0 ? t_adopt : Forward<int>("new.Indicator", 0);
}
Indicator::~Indicator() {
    if (impl_->owned) Delete(impl_->id);
}

Converter::Converter(std::string ip, bool ioPort, int basePort) : impl_(std::make_unique<Impl>()) {
    const Msg r = Call("new.Converter", ip, ioPort, basePort);
    size_t i = 1;
    impl_->id = simwire::Get<int>(r, i);
    for (auto& channel : impl_->channels)
        channel = Adopt(simwire::Get<int>(r, i));
    impl_->ioImpl.id = simwire::Get<int>(r, i);
    impl_->io.reset(new IoPort(&impl_->ioImpl));
    impl_->ip = std::move(ip);
    impl_->base = basePort;
}
Converter::~Converter() {
    Delete(impl_->id);
}
Indicator& Converter::Channel(char letter) {
    return *impl_->channels[LetterIndex(letter)];
}
Indicator& Converter::Channel(int number) {
    if (number < 1 || number > 4) throw std::out_of_range("converter channel number");
    return *impl_->channels[number - 1];
}
IoPort& Converter::Io() {
    return *impl_->io;
}
const std::string& Converter::Ip() const {
    return impl_->ip;
}
int Converter::Port(char letter) const {
    return impl_->base + 1 + LetterIndex(letter);
}
int Converter::IoPortNumber() const {
    return impl_->base;
}

PtyIndicator::PtyIndicator() : impl_(std::make_unique<Impl>()) {
    const Msg r = Call("new.PtyIndicator");
    size_t i = 1;
    impl_->id = simwire::Get<int>(r, i);
    impl_->path = simwire::Get<std::string>(r, i);
    impl_->ind = Adopt(simwire::Get<int>(r, i));
}
PtyIndicator::~PtyIndicator() {
    Delete(impl_->id);
}
const std::string& PtyIndicator::Path() const {
    return impl_->path;
}
Indicator& PtyIndicator::Ind() {
    return *impl_->ind;
}

void Configure(Indicator& ind, std::string_view spec) {
    Forward<void>("Configure", ind.impl().id, spec);
}

RawPeer::RawPeer(std::string ip, int port) : impl_(std::make_unique<Impl>()) {
    const Msg r = Call("new.RawPeer", ip, port);
    size_t i = 1;
    impl_->id = simwire::Get<int>(r, i);
    impl_->port = simwire::Get<int>(r, i);
}
RawPeer::~RawPeer() {
    Delete(impl_->id);
}
int RawPeer::Port() const {
    return impl_->port;
}

} // namespace tsim

// setenv, which the Windows C runtime lacks. TARVEL_COM<n> (how the suites name the device
// of COM port n) also points COM<n> of the Wine prefix at that device; "" removes it.
extern "C" int setenv(const char* name, const char* value, int overwrite) {
    if (name == nullptr || name[0] == '\0' || std::strchr(name, '=') != nullptr) return -1;
    if (!overwrite && std::getenv(name) != nullptr) return 0;
    value = value != nullptr ? value : "";
    if (_putenv_s(name, value) != 0) return -1;
    static const char prefix[] = "TARVEL_COM";
    if (std::strncmp(name, prefix, sizeof prefix - 1) != 0) return 0;
    try {
        tsim::Call("com.link", std::atoi(name + sizeof prefix - 1), value);
    } catch (...) {
        return -1;
    }
    return 0;
}
