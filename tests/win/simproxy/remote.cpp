// The simulator's classes for test programs built for Windows and run under Wine.
//
// The peers themselves must run natively (POSIX sockets and pseudo-terminals), so every
// object here is a handle on an object of the native server tarvel-simd, which the first use
// starts (Wine runs a Linux program handed to CreateProcess) and which lives exactly as long
// as this process's connection to it. The frame builders and the text configuration are
// plain functions and are compiled from the simulator's own sources.
#include "../simwire.h"
#include "tarvelsim.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#ifndef TARVEL_SIMD_PATH
#error "TARVEL_SIMD_PATH must name the native tarvel-simd program"
#endif

namespace tsim {

namespace {

using simwire::Msg;

bool RecvExact(SOCKET s, char* p, size_t n) {
    while (n > 0) {
        const int r = recv(s, p, static_cast<int>(n), 0);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool SendAll(SOCKET s, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const int r = send(s, bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

bool RecvMsg(SOCKET s, Msg& m) {
    return simwire::Read([s](char* p, size_t n) { return RecvExact(s, p, n); }, m);
}

// "Z:\path\to\program" for a Unix path, as Wine maps the root directory to drive Z:.
std::string DosPath(std::string unixPath) {
    for (char& c : unixPath)
        if (c == '/') c = '\\';
    return "Z:" + unixPath;
}

SOCKET AcceptWithin(SOCKET listener, int seconds) {
    fd_set r;
    FD_ZERO(&r);
    FD_SET(listener, &r);
    timeval tv{seconds, 0};
    if (select(0, &r, nullptr, nullptr, &tv) <= 0) return INVALID_SOCKET;
    return accept(listener, nullptr, nullptr);
}

class Remote {
  public:
    static Remote& Get() {
        static Remote remote;
        return remote;
    }

    Msg Call(const Msg& request) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (sock_ == INVALID_SOCKET)
            throw std::runtime_error("simulator server unavailable: " + why_);
        Msg reply;
        if (!SendAll(sock_, simwire::Encode(request)) || !RecvMsg(sock_, reply) || reply.empty())
            throw std::runtime_error("simulator server connection lost during " + request[0]);
        if (reply[0] == "ok") return reply;
        const std::string what = reply.size() > 1 ? reply[1] : reply[0];
        if (reply[0] == "err:out_of_range") throw std::out_of_range(what);
        if (reply[0] == "err:invalid_argument") throw std::invalid_argument(what);
        throw std::runtime_error(what);
    }

    std::string AddFrameFn(Indicator::FrameFn fn) {
        std::lock_guard<std::mutex> lock(fnMutex_);
        fns_[++nextFn_] = std::move(fn);
        return std::to_string(nextFn_);
    }

  private:
    Remote() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        Start();
    }

    ~Remote() {
        if (sock_ != INVALID_SOCKET) closesocket(sock_);
        if (cb_ != INVALID_SOCKET) {
            shutdown(cb_, SD_BOTH);
            closesocket(cb_);
        }
        // The process is ending: its callback thread ends with it (waiting for it would wait
        // for the server to take everything down first).
        if (cbThread_.joinable()) cbThread_.detach();
    }

    void Start() {
        SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int len = sizeof sa;
        if (listener == INVALID_SOCKET ||
            bind(listener, reinterpret_cast<sockaddr*>(&sa), len) != 0 ||
            listen(listener, 2) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
            why_ = "no listening socket";
            if (listener != INVALID_SOCKET) closesocket(listener);
            return;
        }
        const char* over = std::getenv("TARVEL_SIMD");
        const std::string program = (over != nullptr && over[0] != '\0') ? over : TARVEL_SIMD_PATH;
        std::string cmd = "\"" + DosPath(program) + "\" " + std::to_string(ntohs(sa.sin_port));
        STARTUPINFOA si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                            &pi)) {
            why_ = "cannot start " + program;
            closesocket(listener);
            return;
        }
        if (pi.hProcess != nullptr) CloseHandle(pi.hProcess);
        if (pi.hThread != nullptr) CloseHandle(pi.hThread);
        sock_ = AcceptWithin(listener, 20);
        cb_ = sock_ != INVALID_SOCKET ? AcceptWithin(listener, 20) : INVALID_SOCKET;
        closesocket(listener);
        if (sock_ == INVALID_SOCKET || cb_ == INVALID_SOCKET) {
            why_ = program + " did not connect";
            if (sock_ != INVALID_SOCKET) closesocket(sock_);
            sock_ = INVALID_SOCKET;
            return;
        }
        BOOL one = TRUE;
        setsockopt(sock_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                   sizeof one);
        cbThread_ = std::thread([this] { ServeCallbacks(); });
    }

    // The server asks for frames of streams that a function of this program produces.
    void ServeCallbacks() {
        Msg req;
        while (RecvMsg(cb_, req)) {
            std::string frame;
            if (req.size() == 2 && req[0] == "frame") {
                Indicator::FrameFn fn;
                {
                    std::lock_guard<std::mutex> lock(fnMutex_);
                    auto it = fns_.find(std::atoi(req[1].c_str()));
                    if (it != fns_.end()) fn = it->second;
                }
                try {
                    if (fn) frame = fn();
                } catch (...) {
                }
            }
            if (!SendAll(cb_, simwire::Encode({frame}))) break;
        }
    }

    std::mutex mutex_;
    SOCKET sock_ = INVALID_SOCKET;
    SOCKET cb_ = INVALID_SOCKET;
    std::string why_;
    std::thread cbThread_;
    std::mutex fnMutex_;
    std::map<int, Indicator::FrameFn> fns_;
    int nextFn_ = 0;
};

Msg Call(const Msg& m) {
    return Remote::Get().Call(m);
}
std::string Str(long long v) {
    return std::to_string(v);
}
long long Num(const Msg& r, size_t i) {
    return i < r.size() ? std::atoll(r[i].c_str()) : 0;
}
bool Flag(const Msg& r, size_t i) {
    return Num(r, i) != 0;
}
std::string Text(const Msg& r, size_t i) {
    return i < r.size() ? r[i] : std::string();
}

Msg StreamArgs(Msg m, const StreamOptions& o) {
    m.push_back(Str(o.period.count()));
    m.push_back(o.garbage);
    m.push_back(Str(o.cutEvery));
    m.push_back(Str(o.byteGap.count()));
    return m;
}

Msg RequestArgs(Msg m, const RequestOptions& o) {
    m.push_back(Str(o.delay.count()));
    m.push_back(o.neverReply ? "1" : "0");
    return m;
}

// An indicator object made for a server-side indicator that another object owns (a
// converter channel, a pty's indicator) instead of a new one.
thread_local int t_adoptIndicator = 0;

std::unique_ptr<Indicator> AdoptIndicator(int id) {
    t_adoptIndicator = id;
    auto ind = std::make_unique<Indicator>();
    t_adoptIndicator = 0;
    return ind;
}

} // namespace

// ---- Indicator ------------------------------------------------------------------------

struct Indicator::Impl {
    int id = 0;
    bool owned = false;
};

Indicator::Indicator() : impl_(std::make_unique<Impl>()) {
    if (t_adoptIndicator != 0) {
        impl_->id = t_adoptIndicator;
        return;
    }
    impl_->id = static_cast<int>(Num(Call({"ind.new"}), 1));
    impl_->owned = true;
}

Indicator::~Indicator() {
    if (!impl_->owned) return;
    try {
        Call({"ind.del", Str(impl_->id)});
    } catch (...) {
    }
}

#define IND(op)                                                                                    \
    Msg {                                                                                          \
        op, Str(impl_->id)                                                                         \
    }

void Indicator::Silent() {
    Call(IND("ind.silent"));
}
void Indicator::Stream(std::string frame, StreamOptions opts) {
    Msg m = IND("ind.stream");
    m.push_back(std::move(frame));
    Call(StreamArgs(std::move(m), opts));
}
void Indicator::Stream(FrameFn next, StreamOptions opts) {
    Msg m = IND("ind.streamfn");
    m.push_back(Remote::Get().AddFrameFn(std::move(next)));
    Call(StreamArgs(std::move(m), opts));
}
void Indicator::OnRequest(std::string line, RequestOptions opts) {
    Msg m = IND("ind.onrequest");
    m.push_back(std::move(line));
    Call(RequestArgs(std::move(m), opts));
}
void Indicator::SetFrame(std::string frame) {
    Call({"ind.setframe", Str(impl_->id), std::move(frame)});
}
void Indicator::SetStreamOptions(const StreamOptions& opts) {
    Call(StreamArgs(IND("ind.setstreamopts"), opts));
}
void Indicator::SetRequestOptions(const RequestOptions& opts) {
    Call(RequestArgs(IND("ind.setreqopts"), opts));
}
Indicator::Mode Indicator::GetMode() const {
    return static_cast<Mode>(Num(Call(IND("ind.mode")), 1));
}
std::string Indicator::Frame() const {
    return Text(Call(IND("ind.frame")), 1);
}
void Indicator::Send(std::string_view bytes) {
    Call({"ind.send", Str(impl_->id), std::string(bytes)});
}
bool Indicator::DisconnectClients(Ms wait) {
    return Flag(Call({"ind.disconnect", Str(impl_->id), Str(wait.count())}), 1);
}
int Indicator::Requests() const {
    return static_cast<int>(Num(Call(IND("ind.requests")), 1));
}
bool Indicator::WaitRequests(int n, Ms timeout) const {
    return Flag(Call({"ind.waitrequests", Str(impl_->id), Str(n), Str(timeout.count())}), 1);
}
std::string Indicator::Received() const {
    return Text(Call(IND("ind.received")), 1);
}
void Indicator::ClearReceived() {
    Call(IND("ind.clearreceived"));
}
bool Indicator::WaitReceived(std::string_view needle, Ms timeout) const {
    return Flag(
        Call({"ind.waitreceived", Str(impl_->id), std::string(needle), Str(timeout.count())}), 1);
}
int Indicator::Clients() const {
    return static_cast<int>(Num(Call(IND("ind.clients")), 1));
}
int Indicator::Connections() const {
    return static_cast<int>(Num(Call(IND("ind.connections")), 1));
}
bool Indicator::WaitClients(int n, Ms timeout) const {
    return Flag(Call({"ind.waitclients", Str(impl_->id), Str(n), Str(timeout.count())}), 1);
}
long Indicator::FramesSent() const {
    return static_cast<long>(Num(Call(IND("ind.framessent")), 1));
}

#undef IND

// ---- IoPort ---------------------------------------------------------------------------

struct IoPort::Impl {
    int id = 0;
};

#define IO(op)                                                                                     \
    Msg {                                                                                          \
        op, Str(impl_->id)                                                                         \
    }

void IoPort::SetMode(IoMode mode) {
    Call({"io.setmode", Str(impl_->id), Str(static_cast<int>(mode))});
}
IoMode IoPort::Mode() const {
    return static_cast<IoMode>(Num(Call(IO("io.mode")), 1));
}
void IoPort::SetInput(int value) {
    Call({"io.setinput", Str(impl_->id), Str(value)});
}
int IoPort::Input() const {
    return static_cast<int>(Num(Call(IO("io.input")), 1));
}
void IoPort::SetCustomReply(std::string bytes) {
    Call({"io.customreply", Str(impl_->id), std::move(bytes)});
}
void IoPort::SetReplyPieces(std::vector<std::size_t> cuts, Ms pause) {
    Msg m{"io.pieces", Str(impl_->id), Str(pause.count())};
    for (std::size_t c : cuts)
        m.push_back(Str(static_cast<long long>(c)));
    Call(m);
}
void IoPort::SetFlood(std::string pattern, std::size_t limit) {
    Call({"io.flood", Str(impl_->id), std::move(pattern), Str(static_cast<long long>(limit))});
}
int IoPort::Output() const {
    return static_cast<int>(Num(Call(IO("io.output")), 1));
}
std::string IoPort::OutputText() const {
    return Text(Call(IO("io.outputtext")), 1);
}
std::vector<std::string> IoPort::Commands() const {
    Msg r = Call(IO("io.commands"));
    return std::vector<std::string>(r.begin() + 1, r.end());
}
std::string IoPort::LastCommand() const {
    return Text(Call(IO("io.lastcommand")), 1);
}
bool IoPort::WaitCommands(std::size_t n, Ms timeout) const {
    return Flag(Call({"io.waitcommands", Str(impl_->id), Str(static_cast<long long>(n)),
                      Str(timeout.count())}),
                1);
}
void IoPort::ClearCommands() {
    Call(IO("io.clearcommands"));
}
int IoPort::Connections() const {
    return static_cast<int>(Num(Call(IO("io.connections")), 1));
}
std::size_t IoPort::FloodSent() const {
    return static_cast<std::size_t>(Num(Call(IO("io.floodsent")), 1));
}

#undef IO

// ---- Converter ------------------------------------------------------------------------

struct Converter::Impl {
    int id = 0;
    std::string ip;
    int base = 0;
    std::unique_ptr<Indicator> channels[4];
    IoPort::Impl ioImpl;
    std::unique_ptr<IoPort> io;
};

Converter::Converter(std::string ip, bool ioPort, int basePort) : impl_(std::make_unique<Impl>()) {
    Msg r = Call({"conv.new", ip, ioPort ? "1" : "0", Str(basePort)});
    impl_->id = static_cast<int>(Num(r, 1));
    impl_->ip = std::move(ip);
    impl_->base = basePort;
    for (int i = 0; i < 4; ++i)
        impl_->channels[i] = AdoptIndicator(static_cast<int>(Num(r, 2 + i)));
    impl_->ioImpl.id = static_cast<int>(Num(r, 6));
    impl_->io.reset(new IoPort(&impl_->ioImpl));
}

Converter::~Converter() {
    try {
        Call({"conv.del", Str(impl_->id)});
    } catch (...) {
    }
}

Indicator& Converter::Channel(char letter) {
    const char up =
        (letter >= 'a' && letter <= 'd') ? static_cast<char>(letter - 'a' + 'A') : letter;
    if (up < 'A' || up > 'D') throw std::out_of_range("converter channel letter");
    return *impl_->channels[up - 'A'];
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
    const char up =
        (letter >= 'a' && letter <= 'd') ? static_cast<char>(letter - 'a' + 'A') : letter;
    if (up < 'A' || up > 'D') throw std::out_of_range("converter channel letter");
    return impl_->base + 1 + (up - 'A');
}
int Converter::IoPortNumber() const {
    return impl_->base;
}

// ---- PtyIndicator ---------------------------------------------------------------------

struct PtyIndicator::Impl {
    int id = 0;
    std::string path;
    std::unique_ptr<Indicator> ind;
};

PtyIndicator::PtyIndicator() : impl_(std::make_unique<Impl>()) {
    Msg r = Call({"pty.new"});
    impl_->id = static_cast<int>(Num(r, 1));
    impl_->path = Text(r, 2);
    impl_->ind = AdoptIndicator(static_cast<int>(Num(r, 3)));
}

PtyIndicator::~PtyIndicator() {
    try {
        Call({"pty.del", Str(impl_->id)});
    } catch (...) {
    }
}

const std::string& PtyIndicator::Path() const {
    return impl_->path;
}
Indicator& PtyIndicator::Ind() {
    return *impl_->ind;
}

struct termios PtyIndicator::Termios() const {
    Msg r = Call({"pty.termios", Str(impl_->id)});
    struct termios t;
    std::memset(&t, 0, sizeof t);
    t.c_iflag = static_cast<tcflag_t>(Num(r, 1));
    t.c_oflag = static_cast<tcflag_t>(Num(r, 2));
    t.c_cflag = static_cast<tcflag_t>(Num(r, 3));
    t.c_lflag = static_cast<tcflag_t>(Num(r, 4));
    t.c_ispeed = static_cast<speed_t>(Num(r, 5));
    t.c_ospeed = static_cast<speed_t>(Num(r, 6));
    return t;
}

namespace {
// Descriptions come from the server; keyed by the settings they describe.
std::mutex g_describeMutex;
std::map<std::string, std::string> g_descriptions;

std::string SettingsKey(const LineSettings& l) {
    return Str(l.baud) + "," + Str(l.dataBits) + "," + Str(l.parity) + Str(l.parityOdd) +
           Str(l.parityStick) + "," + Str(l.stopBits) + "," +
           (l.modemBits ? Str(*l.modemBits) : std::string("-"));
}
} // namespace

LineSettings PtyIndicator::Line() const {
    Msg r = Call({"pty.line", Str(impl_->id)});
    LineSettings l;
    l.baud = static_cast<unsigned>(Num(r, 1));
    l.dataBits = static_cast<int>(Num(r, 2));
    l.parity = Flag(r, 3);
    l.parityOdd = Flag(r, 4);
    l.parityStick = Flag(r, 5);
    l.stopBits = static_cast<int>(Num(r, 6));
    if (Flag(r, 7)) l.modemBits = static_cast<int>(Num(r, 8));
    std::lock_guard<std::mutex> lock(g_describeMutex);
    g_descriptions[SettingsKey(l)] = Text(r, 9);
    return l;
}

std::string LineSettings::Describe() const {
    std::lock_guard<std::mutex> lock(g_describeMutex);
    auto it = g_descriptions.find(SettingsKey(*this));
    if (it != g_descriptions.end()) return it->second;
    return Str(baud) + " baud, " + Str(dataBits) + " bits";
}

void PtyIndicator::SetMaxBacklog(std::size_t bytes) {
    Call({"pty.backlog", Str(impl_->id), Str(static_cast<long long>(bytes))});
}

// ---- RawPeer --------------------------------------------------------------------------

struct RawPeer::Impl {
    int id = 0;
    int port = 0;
};

RawPeer::RawPeer(std::string ip, int port) : impl_(std::make_unique<Impl>()) {
    Msg r = Call({"peer.new", std::move(ip), Str(port)});
    impl_->id = static_cast<int>(Num(r, 1));
    impl_->port = static_cast<int>(Num(r, 2));
}

RawPeer::~RawPeer() {
    try {
        Call({"peer.del", Str(impl_->id)});
    } catch (...) {
    }
}

#define PEER(op)                                                                                   \
    Msg {                                                                                          \
        op, Str(impl_->id)                                                                         \
    }

int RawPeer::Port() const {
    return impl_->port;
}
bool RawPeer::WaitClient(Ms timeout) const {
    return Flag(Call({"peer.waitclient", Str(impl_->id), Str(timeout.count())}), 1);
}
bool RawPeer::Connected() const {
    return Flag(Call(PEER("peer.connected")), 1);
}
int RawPeer::Accepted() const {
    return static_cast<int>(Num(Call(PEER("peer.accepted")), 1));
}
bool RawPeer::Send(std::string_view bytes) {
    return Flag(Call({"peer.send", Str(impl_->id), std::string(bytes)}), 1);
}
std::string RawPeer::Received() const {
    return Text(Call(PEER("peer.received")), 1);
}
void RawPeer::ClearReceived() {
    Call(PEER("peer.clearreceived"));
}
bool RawPeer::WaitBytes(std::size_t n, Ms timeout) const {
    return Flag(Call({"peer.waitbytes", Str(impl_->id), Str(static_cast<long long>(n)),
                      Str(timeout.count())}),
                1);
}
bool RawPeer::WaitFor(std::string_view needle, Ms timeout) const {
    return Flag(Call({"peer.waitfor", Str(impl_->id), std::string(needle), Str(timeout.count())}),
                1);
}
bool RawPeer::ClientClosed() const {
    return Flag(Call(PEER("peer.clientclosed")), 1);
}
bool RawPeer::WaitClientClosed(Ms timeout) const {
    return Flag(Call({"peer.waitclientclosed", Str(impl_->id), Str(timeout.count())}), 1);
}
void RawPeer::CloseClient() {
    Call(PEER("peer.closeclient"));
}
void RawPeer::ResetClient() {
    Call(PEER("peer.resetclient"));
}

#undef PEER

} // namespace tsim

// ---- environment ----------------------------------------------------------------------

namespace {

// COM<n> for a variable named TARVEL_COM<n>, else 0.
long ComNumberOf(const char* name) {
    static const char prefix[] = "TARVEL_COM";
    if (std::strncmp(name, prefix, sizeof prefix - 1) != 0) return 0;
    const char* digits = name + sizeof prefix - 1;
    char* end = nullptr;
    const long n = std::strtol(digits, &end, 10);
    return (end != digits && *end == '\0') ? n : 0;
}

} // namespace

extern "C" int setenv(const char* name, const char* value, int overwrite) {
    if (name == nullptr || name[0] == '\0' || std::strchr(name, '=') != nullptr) return -1;
    if (!overwrite && std::getenv(name) != nullptr) return 0;
    if (_putenv_s(name, value != nullptr ? value : "") != 0) return -1;
    if (const long n = ComNumberOf(name); n > 0) {
        try {
            tsim::Call({"com.link", std::to_string(n), value != nullptr ? value : ""});
        } catch (...) {
            return -1;
        }
    }
    return 0;
}

extern "C" int unsetenv(const char* name) {
    if (name == nullptr || name[0] == '\0') return -1;
    _putenv_s(name, "");
    if (const long n = ComNumberOf(name); n > 0) {
        try {
            tsim::Call({"com.link", std::to_string(n), ""});
        } catch (...) {
            return -1;
        }
    }
    return 0;
}
