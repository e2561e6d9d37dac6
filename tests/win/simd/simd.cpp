// tarvel-simd: the native side of the simulator for test programs that run under Wine.
//
// A Windows test program cannot run the POSIX simulator in its own process, so its
// simulator classes forward every call to this server, which runs the real peers (TCP
// listeners, pseudo-terminals) as native threads. Started by the test program with
//   tarvel-simd PORT
// it connects to 127.0.0.1:PORT, which then carries calls and replies (see ../simwire.h).
// Everything it created is destroyed, and the server exits, when that connection closes.
#include "../simwire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <any>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <tuple>

namespace {

using simwire::Get;
using simwire::Msg;
using simwire::Put;
using namespace tsim;

int Connect(const char* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(std::atoi(port)));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? fd : -1;
}

// The objects a test program made, by id: each with its type, and with the id of the object
// that owns it (a converter owns its channels and IO port).
class Objects {
  public:
    template <class C> C& Find(int id) { return *std::any_cast<C*>(all_.at(id).first); }
    template <class C> int Add(C* p, int owner) {
        const int id = ++next_;
        all_[id] = {p, owner != 0 ? owner : id};
        return id;
    }
    template <class C> int Own(std::unique_ptr<C> p) {
        const int id = Add(p.get(), 0);
        owned_[id] = std::shared_ptr<void>(std::move(p));
        return id;
    }
    void Delete(int id) {
        std::erase_if(all_, [id](const auto& e) { return e.second.second == id; });
        owned_.erase(id);
    }

  private:
    std::map<int, std::pair<std::any, int>> all_; // the object, its owner
    std::map<int, std::shared_ptr<void>> owned_;  // destroyed first, with the peers' threads
    int next_ = 0;
};

// What a parameter is decoded into: a string_view's text needs a home.
template <class A>
using Stored = std::conditional_t<std::is_same_v<std::decay_t<A>, std::string_view>, std::string,
                                  std::decay_t<A>>;

using Handler = std::function<Msg(Objects&, const Msg&)>;

// Decodes the object's id and the arguments, calls the method, encodes the result.
template <class C, class R, class... A, class M> Handler Adapt(M method) {
    return [method](Objects& objects, const Msg& a) {
        size_t i = 1;
        C& obj = objects.Find<C>(Get<int>(a, i));
        std::tuple<Stored<A>...> args{Get<Stored<A>>(a, i)...}; // in order, left to right
        const auto call = [&](auto&... x) { return (obj.*method)(x...); };
        Msg r{"ok"};
        if constexpr (std::is_void_v<R>)
            std::apply(call, args);
        else
            Put(r, std::apply(call, args));
        return r;
    };
}
template <class C, class R, class... A> Handler Serve(R (C::*method)(A...)) {
    return Adapt<C, R, A...>(method);
}
template <class C, class R, class... A> Handler Serve(R (C::*method)(A...) const) {
    return Adapt<C, R, A...>(method);
}

std::string WinePrefix() {
    if (const char* p = std::getenv("WINEPREFIX"); p != nullptr && p[0] != '\0') return p;
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.wine";
}

class Server {
  public:
    ~Server() {
        for (auto& link : links_)
            ::unlink(link.c_str());
    }

    Msg Handle(const Msg& a) {
        try {
            auto it = handlers_.find(a.empty() ? "" : a[0]);
            if (it == handlers_.end()) throw std::invalid_argument("unknown operation");
            return it->second(objects_, a);
        } catch (const std::out_of_range& e) {
            return {"err:out_of_range", e.what()};
        } catch (const std::invalid_argument& e) {
            return {"err:invalid_argument", e.what()};
        } catch (const std::exception& e) {
            return {"err:runtime", e.what()};
        }
    }

  private:
    // ---- made by hand: constructors, the text configuration, COM port names
    static Msg NewConverter(Objects& o, const Msg& a) {
        size_t i = 1;
        const std::string ip = Get<std::string>(a, i);
        const bool io = Get<bool>(a, i);
        auto conv = std::make_unique<Converter>(ip, io, Get<int>(a, i));
        Converter& c = *conv;
        const int id = o.Own(std::move(conv));
        Msg r{"ok"};
        Put(r, id);
        for (int ch = 1; ch <= 4; ++ch)
            Put(r, o.Add(&c.Channel(ch), id));
        Put(r, o.Add(&c.Io(), id));
        return r;
    }
    static Msg NewPty(Objects& o, const Msg&) {
        auto pty = std::make_unique<PtyIndicator>();
        PtyIndicator& p = *pty;
        const int id = o.Own(std::move(pty));
        Msg r{"ok"};
        Put(r, id), Put(r, p.Path()), Put(r, o.Add(&p.Ind(), id));
        return r;
    }
    static Msg NewPeer(Objects& o, const Msg& a) {
        size_t i = 1;
        const std::string ip = Get<std::string>(a, i);
        auto peer = std::make_unique<RawPeer>(ip, Get<int>(a, i));
        const int port = peer->Port();
        Msg r{"ok"};
        Put(r, o.Own(std::move(peer))), Put(r, port);
        return r;
    }
    // COM<n> of the Wine prefix names a device path ("" removes the name).
    Msg ComLink(const Msg& a) {
        size_t i = 1;
        const int n = Get<int>(a, i);
        const std::string target = Get<std::string>(a, i);
        if (n < 1 || n > 256) throw std::invalid_argument("COM number out of range");
        const std::string link = WinePrefix() + "/dosdevices/com" + std::to_string(n);
        ::unlink(link.c_str());
        if (!target.empty() && ::symlink(target.c_str(), link.c_str()) != 0)
            throw std::runtime_error("cannot create " + link);
        links_.push_back(link);
        return {"ok"};
    }

    std::vector<std::string> links_;
    Objects objects_;
    const std::map<std::string, Handler> handlers_{
        {"new.Converter", NewConverter},
        {"new.PtyIndicator", NewPty},
        {"new.RawPeer", NewPeer},
        {"new.Indicator",
         [](Objects& o, const Msg&) {
             Msg r{"ok"};
             Put(r, o.Own(std::make_unique<Indicator>()));
             return r;
         }},
        {"delete",
         [](Objects& o, const Msg& a) {
             size_t i = 1;
             o.Delete(Get<int>(a, i));
             return Msg{"ok"};
         }},
        {"Configure",
         [](Objects& o, const Msg& a) {
             size_t i = 1;
             Indicator& ind = o.Find<Indicator>(Get<int>(a, i));
             Configure(ind, Get<std::string>(a, i));
             return Msg{"ok"};
         }},
        {"com.link", [this](Objects&, const Msg& a) { return ComLink(a); }},
#define SERVE(R, C, M, P, ...) {#C "." #M, Serve(static_cast<R(C::*) P>(&C::M))},
        SIMWIRE_METHODS(SERVE)
#undef SERVE
    };
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tarvel-simd PORT\n");
        return 2;
    }
    const int fd = Connect(argv[1]);
    if (fd < 0) {
        std::fprintf(stderr, "tarvel-simd: cannot connect to 127.0.0.1:%s\n", argv[1]);
        return 1;
    }
    Server server;
    Msg req;
    while (simwire::Read([fd](char* p, size_t n) { return ::recv(fd, p, n, 0); }, req) &&
           simwire::Write([fd](char* p, size_t n) { return ::send(fd, p, n, MSG_NOSIGNAL); },
                          server.Handle(req))) {
    }
    ::close(fd); // the test program is gone: everything it made goes with the server
    return 0;
}
