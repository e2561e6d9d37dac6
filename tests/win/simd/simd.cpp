// tarvel-simd: the native side of the simulator for test programs that run under Wine.
//
// A Windows test program cannot run the POSIX simulator in its own process, so its
// simulator classes forward every call to this server, which runs the real peers (TCP
// listeners, pseudo-terminals) as native threads. Started by the test program with
//   tarvel-simd PORT
// it connects twice to 127.0.0.1:PORT: the first connection carries requests and replies,
// the second one the server's own calls back into the test program (frames produced by a
// test's function). Everything it created is destroyed, and the server exits, when the
// test program's connection closes.
#include "../simwire.h"
#include "tarvelsim.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

namespace {

using simwire::Msg;
using tsim::Ms;

int Connect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool ReadExact(int fd, char* p, size_t n) {
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool WriteAll(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        const ssize_t r = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

bool ReadMsg(int fd, Msg& m) {
    return simwire::Read([fd](char* p, size_t n) { return ReadExact(fd, p, n); }, m);
}

// Calls back into the test program for a frame of a stream fed by a function.
class Callbacks {
  public:
    explicit Callbacks(int fd) : fd_(fd) {}
    std::string Frame(const std::string& fnId) {
        std::lock_guard<std::mutex> lock(mutex_);
        Msg reply;
        if (fd_ < 0 || !WriteAll(fd_, simwire::Encode({"frame", fnId})) || !ReadMsg(fd_, reply) ||
            reply.empty())
            return {};
        return reply[0];
    }

  private:
    int fd_;
    std::mutex mutex_;
};

std::string WinePrefix() {
    if (const char* p = std::getenv("WINEPREFIX"); p != nullptr && p[0] != '\0') return p;
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.wine";
}

class Server {
  public:
    explicit Server(Callbacks& cb) : cb_(cb) {}

    ~Server() {
        // Peers first: their threads may still call back.
        peers_.clear();
        ptys_.clear();
        convs_.clear();
        ownedInds_.clear();
        for (auto& link : links_)
            ::unlink(link.c_str());
    }

    Msg Handle(const Msg& a) {
        try {
            return Dispatch(a);
        } catch (const std::out_of_range& e) {
            return {"err:out_of_range", e.what()};
        } catch (const std::invalid_argument& e) {
            return {"err:invalid_argument", e.what()};
        } catch (const std::exception& e) {
            return {"err:runtime", e.what()};
        }
    }

  private:
    static long N(const Msg& a, size_t i) {
        if (i >= a.size()) throw std::invalid_argument("missing argument");
        return std::strtol(a[i].c_str(), nullptr, 10);
    }
    static std::string S(const Msg& a, size_t i) {
        if (i >= a.size()) throw std::invalid_argument("missing argument");
        return a[i];
    }
    static std::string B(bool v) { return v ? "1" : "0"; }
    static std::string I(long long v) { return std::to_string(v); }

    int Add(tsim::Indicator* ind) {
        inds_[++next_] = ind;
        return next_;
    }
    tsim::Indicator& Ind(const Msg& a) {
        auto it = inds_.find(static_cast<int>(N(a, 1)));
        if (it == inds_.end()) throw std::runtime_error("no such indicator");
        return *it->second;
    }
    tsim::IoPort& Io(const Msg& a) {
        auto it = ios_.find(static_cast<int>(N(a, 1)));
        if (it == ios_.end()) throw std::runtime_error("no such IO port");
        return *it->second;
    }
    tsim::RawPeer& Peer(const Msg& a) {
        auto it = peers_.find(static_cast<int>(N(a, 1)));
        if (it == peers_.end()) throw std::runtime_error("no such peer");
        return *it->second;
    }
    tsim::PtyIndicator& Pty(const Msg& a) {
        auto it = ptys_.find(static_cast<int>(N(a, 1)));
        if (it == ptys_.end()) throw std::runtime_error("no such pty");
        return *it->second;
    }

    // Stream options travel as period, garbage, cutEvery, byteGap.
    static tsim::StreamOptions StreamOpts(const Msg& a, size_t i) {
        tsim::StreamOptions o;
        o.period = Ms{N(a, i)};
        o.garbage = S(a, i + 1);
        o.cutEvery = static_cast<int>(N(a, i + 2));
        o.byteGap = Ms{N(a, i + 3)};
        return o;
    }
    static tsim::RequestOptions RequestOpts(const Msg& a, size_t i) {
        tsim::RequestOptions o;
        o.delay = Ms{N(a, i)};
        o.neverReply = N(a, i + 1) != 0;
        return o;
    }

    Msg Dispatch(const Msg& a) {
        if (a.empty()) throw std::invalid_argument("empty request");
        const std::string& op = a[0];
        // ---- converter
        if (op == "conv.new") {
            auto conv =
                std::make_unique<tsim::Converter>(S(a, 1), N(a, 2) != 0, static_cast<int>(N(a, 3)));
            const int id = ++next_;
            Msg r{"ok", I(id)};
            for (int ch = 1; ch <= 4; ++ch)
                r.push_back(I(Add(&conv->Channel(ch))));
            ios_[++next_] = &conv->Io();
            r.push_back(I(next_));
            convs_[id] = std::move(conv);
            return r;
        }
        if (op == "conv.del") {
            auto it = convs_.find(static_cast<int>(N(a, 1)));
            if (it != convs_.end()) {
                Forget(it->second.get());
                convs_.erase(it);
            }
            return {"ok"};
        }
        // ---- pseudo-terminal indicator
        if (op == "pty.new") {
            auto pty = std::make_unique<tsim::PtyIndicator>();
            const int id = ++next_;
            Msg r{"ok", I(id), pty->Path(), I(Add(&pty->Ind()))};
            ptys_[id] = std::move(pty);
            return r;
        }
        if (op == "pty.del") {
            auto it = ptys_.find(static_cast<int>(N(a, 1)));
            if (it != ptys_.end()) {
                for (auto i = inds_.begin(); i != inds_.end();)
                    i = i->second == &it->second->Ind() ? inds_.erase(i) : std::next(i);
                ptys_.erase(it);
            }
            return {"ok"};
        }
        if (op == "pty.termios") {
            const termios t = Pty(a).Termios();
            return {"ok",         I(t.c_iflag),         I(t.c_oflag),        I(t.c_cflag),
                    I(t.c_lflag), I(::cfgetispeed(&t)), I(::cfgetospeed(&t))};
        }
        if (op == "pty.line") {
            const tsim::LineSettings l = Pty(a).Line();
            return {"ok",
                    I(l.baud),
                    I(l.dataBits),
                    B(l.parity),
                    B(l.parityOdd),
                    B(l.parityStick),
                    I(l.stopBits),
                    B(l.modemBits.has_value()),
                    I(l.modemBits.value_or(0)),
                    l.Describe()};
        }
        if (op == "pty.backlog") {
            Pty(a).SetMaxBacklog(static_cast<size_t>(N(a, 2)));
            return {"ok"};
        }
        // ---- standalone indicator
        if (op == "ind.new") {
            auto ind = std::make_unique<tsim::Indicator>();
            const int id = Add(ind.get());
            ownedInds_[id] = std::move(ind);
            return {"ok", I(id)};
        }
        if (op == "ind.del") {
            const int id = static_cast<int>(N(a, 1));
            inds_.erase(id);
            ownedInds_.erase(id);
            return {"ok"};
        }
        // ---- indicator behaviour and observations
        if (op == "ind.silent") return Ind(a).Silent(), Msg{"ok"};
        if (op == "ind.stream") return Ind(a).Stream(S(a, 2), StreamOpts(a, 3)), Msg{"ok"};
        if (op == "ind.streamfn") {
            const std::string fnId = S(a, 2);
            Callbacks* cb = &cb_;
            Ind(a).Stream([cb, fnId] { return cb->Frame(fnId); }, StreamOpts(a, 3));
            return {"ok"};
        }
        if (op == "ind.onrequest") return Ind(a).OnRequest(S(a, 2), RequestOpts(a, 3)), Msg{"ok"};
        if (op == "ind.setframe") return Ind(a).SetFrame(S(a, 2)), Msg{"ok"};
        if (op == "ind.setstreamopts") return Ind(a).SetStreamOptions(StreamOpts(a, 2)), Msg{"ok"};
        if (op == "ind.setreqopts") return Ind(a).SetRequestOptions(RequestOpts(a, 2)), Msg{"ok"};
        if (op == "ind.mode") return {"ok", I(static_cast<int>(Ind(a).GetMode()))};
        if (op == "ind.frame") return {"ok", Ind(a).Frame()};
        if (op == "ind.send") return Ind(a).Send(S(a, 2)), Msg{"ok"};
        if (op == "ind.disconnect") return {"ok", B(Ind(a).DisconnectClients(Ms{N(a, 2)}))};
        if (op == "ind.requests") return {"ok", I(Ind(a).Requests())};
        if (op == "ind.waitrequests")
            return {"ok", B(Ind(a).WaitRequests(static_cast<int>(N(a, 2)), Ms{N(a, 3)}))};
        if (op == "ind.received") return {"ok", Ind(a).Received()};
        if (op == "ind.clearreceived") return Ind(a).ClearReceived(), Msg{"ok"};
        if (op == "ind.waitreceived") return {"ok", B(Ind(a).WaitReceived(S(a, 2), Ms{N(a, 3)}))};
        if (op == "ind.clients") return {"ok", I(Ind(a).Clients())};
        if (op == "ind.connections") return {"ok", I(Ind(a).Connections())};
        if (op == "ind.waitclients")
            return {"ok", B(Ind(a).WaitClients(static_cast<int>(N(a, 2)), Ms{N(a, 3)}))};
        if (op == "ind.framessent") return {"ok", I(Ind(a).FramesSent())};
        // ---- converter IO port
        if (op == "io.setmode") return Io(a).SetMode(static_cast<tsim::IoMode>(N(a, 2))), Msg{"ok"};
        if (op == "io.mode") return {"ok", I(static_cast<int>(Io(a).Mode()))};
        if (op == "io.setinput") return Io(a).SetInput(static_cast<int>(N(a, 2))), Msg{"ok"};
        if (op == "io.input") return {"ok", I(Io(a).Input())};
        if (op == "io.customreply") return Io(a).SetCustomReply(S(a, 2)), Msg{"ok"};
        if (op == "io.pieces") {
            std::vector<std::size_t> cuts;
            for (size_t i = 3; i < a.size(); ++i)
                cuts.push_back(static_cast<size_t>(N(a, i)));
            Io(a).SetReplyPieces(std::move(cuts), Ms{N(a, 2)});
            return {"ok"};
        }
        if (op == "io.flood")
            return Io(a).SetFlood(S(a, 2), static_cast<size_t>(N(a, 3))), Msg{"ok"};
        if (op == "io.output") return {"ok", I(Io(a).Output())};
        if (op == "io.outputtext") return {"ok", Io(a).OutputText()};
        if (op == "io.commands") {
            Msg r{"ok"};
            for (auto& c : Io(a).Commands())
                r.push_back(c);
            return r;
        }
        if (op == "io.lastcommand") return {"ok", Io(a).LastCommand()};
        if (op == "io.waitcommands")
            return {"ok", B(Io(a).WaitCommands(static_cast<size_t>(N(a, 2)), Ms{N(a, 3)}))};
        if (op == "io.clearcommands") return Io(a).ClearCommands(), Msg{"ok"};
        if (op == "io.connections") return {"ok", I(Io(a).Connections())};
        if (op == "io.floodsent") return {"ok", I(static_cast<long long>(Io(a).FloodSent()))};
        // ---- raw TCP peer
        if (op == "peer.new") {
            auto peer = std::make_unique<tsim::RawPeer>(S(a, 1), static_cast<int>(N(a, 2)));
            const int id = ++next_;
            Msg r{"ok", I(id), I(peer->Port())};
            peers_[id] = std::move(peer);
            return r;
        }
        if (op == "peer.del") return peers_.erase(static_cast<int>(N(a, 1))), Msg{"ok"};
        if (op == "peer.waitclient") return {"ok", B(Peer(a).WaitClient(Ms{N(a, 2)}))};
        if (op == "peer.connected") return {"ok", B(Peer(a).Connected())};
        if (op == "peer.accepted") return {"ok", I(Peer(a).Accepted())};
        if (op == "peer.send") return {"ok", B(Peer(a).Send(S(a, 2)))};
        if (op == "peer.received") return {"ok", Peer(a).Received()};
        if (op == "peer.clearreceived") return Peer(a).ClearReceived(), Msg{"ok"};
        if (op == "peer.waitbytes")
            return {"ok", B(Peer(a).WaitBytes(static_cast<size_t>(N(a, 2)), Ms{N(a, 3)}))};
        if (op == "peer.waitfor") return {"ok", B(Peer(a).WaitFor(S(a, 2), Ms{N(a, 3)}))};
        if (op == "peer.clientclosed") return {"ok", B(Peer(a).ClientClosed())};
        if (op == "peer.waitclientclosed") return {"ok", B(Peer(a).WaitClientClosed(Ms{N(a, 2)}))};
        if (op == "peer.closeclient") return Peer(a).CloseClient(), Msg{"ok"};
        if (op == "peer.resetclient") return Peer(a).ResetClient(), Msg{"ok"};
        // ---- COM port names of the Wine prefix: COM<n> -> a device path ("" removes it)
        if (op == "com.link") {
            const long n = N(a, 1);
            if (n < 1 || n > 256) throw std::invalid_argument("COM number out of range");
            const std::string link = WinePrefix() + "/dosdevices/com" + std::to_string(n);
            ::unlink(link.c_str());
            const std::string target = S(a, 2);
            if (!target.empty()) {
                if (::symlink(target.c_str(), link.c_str()) != 0)
                    throw std::runtime_error("cannot create " + link);
                links_.push_back(link);
            }
            return {"ok"};
        }
        throw std::invalid_argument("unknown operation " + op);
    }

    void Forget(tsim::Converter* conv) {
        for (int ch = 1; ch <= 4; ++ch)
            for (auto i = inds_.begin(); i != inds_.end();)
                i = i->second == &conv->Channel(ch) ? inds_.erase(i) : std::next(i);
        for (auto i = ios_.begin(); i != ios_.end();)
            i = i->second == &conv->Io() ? ios_.erase(i) : std::next(i);
    }

    Callbacks& cb_;
    int next_ = 0;
    std::map<int, tsim::Indicator*> inds_;
    std::map<int, std::unique_ptr<tsim::Indicator>> ownedInds_;
    std::map<int, tsim::IoPort*> ios_;
    std::map<int, std::unique_ptr<tsim::Converter>> convs_;
    std::map<int, std::unique_ptr<tsim::PtyIndicator>> ptys_;
    std::map<int, std::unique_ptr<tsim::RawPeer>> peers_;
    std::vector<std::string> links_;
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tarvel-simd PORT\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int fd = Connect(port);
    const int cbFd = fd >= 0 ? Connect(port) : -1;
    if (fd < 0 || cbFd < 0) {
        std::fprintf(stderr, "tarvel-simd: cannot connect to 127.0.0.1:%d\n", port);
        return 1;
    }
    Callbacks callbacks(cbFd);
    {
        Server server(callbacks);
        Msg req;
        while (ReadMsg(fd, req)) {
            if (!WriteAll(fd, simwire::Encode(server.Handle(req)))) break;
        }
        // The test program is gone: everything it made goes too.
        ::shutdown(cbFd, SHUT_RDWR);
    }
    ::close(cbFd);
    ::close(fd);
    return 0;
}
