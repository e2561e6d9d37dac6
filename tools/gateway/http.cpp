#include "http.h"

#include "log.h"
#include "page.h"
#include "text.h"

#include <nlohmann/json.hpp>

// Before Asio: Boost 1.74's asio/awaitable.hpp uses std::exchange without including <utility>.
#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <atomic>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#ifndef TARVEL_VERSION
#define TARVEL_VERSION "unknown"
#endif

namespace gateway {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::ordered_json;
using tarvel::text::Lower;

namespace {

const char* const kJsonType = "application/json";

// A whole decimal number of at most 9 digits.
std::optional<long> Digits(std::string_view text) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

std::string Trim(std::string_view s) {
    const char* blanks = " \t\r\n";
    const size_t a = s.find_first_not_of(blanks);
    if (a == std::string::npos) return {};
    return std::string(s.substr(a, s.find_last_not_of(blanks) - a + 1));
}

// Compares the whole of both, without an early exit: the time taken tells nothing about the
// token, and a token with anything after it is another token.
bool SameSecret(std::string_view a, std::string_view b) {
    if (b.empty()) return false;
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    const size_t n = std::max(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const auto x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0u;
        const auto y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0u;
        diff |= x ^ y;
    }
    return diff == 0;
}

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// %XX decoded (and '+' as a blank in a query); nothing when an escape is broken or gives a
// control byte.
std::optional<std::string> Decode(std::string_view s, bool query) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '%') {
            if (i + 2 >= s.size()) return std::nullopt;
            const int hi = Hex(s[i + 1]), lo = Hex(s[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            c = static_cast<char>(hi * 16 + lo);
            i += 2;
        } else if (query && c == '+') {
            c = ' ';
        }
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) return std::nullopt;
        out += c;
    }
    return out;
}

// The path's segments, each decoded on its own: an encoded '/' (%2F) stays inside its
// segment, and no route has one. Nothing for a path that is not "/..." or does not decode.
std::optional<std::vector<std::string>> Segments(std::string_view path) {
    if (path.empty() || path[0] != '/') return std::nullopt;
    std::vector<std::string> out;
    if (path == "/") return out;
    for (size_t i = 1; i <= path.size();) {
        const size_t j = std::min(path.find('/', i), path.size());
        auto seg = Decode(path.substr(i, j - i), false);
        if (!seg) return std::nullopt;
        out.push_back(std::move(*seg));
        i = j + 1;
    }
    return out;
}

// The decoded query parameters, the first of each name.
std::vector<std::pair<std::string, std::string>> Params(std::string_view query) {
    std::vector<std::pair<std::string, std::string>> out;
    for (size_t i = 0; i < query.size() && out.size() < 32;) {
        const size_t j = std::min(query.find('&', i), query.size());
        const std::string_view kv = query.substr(i, j - i);
        const size_t eq = kv.find('=');
        auto k = Decode(kv.substr(0, eq), true);
        auto v = eq == std::string_view::npos ? std::optional<std::string>("")
                                              : Decode(kv.substr(eq + 1), true);
        if (k && v && !k->empty()) out.emplace_back(std::move(*k), std::move(*v));
        i = j + 1;
    }
    return out;
}

// The host part of a Host header ("name", "name:port", "[v6]:port"), lower case, without a
// final dot.
std::string HostName(std::string_view host) {
    std::string h;
    if (!host.empty() && host[0] == '[') {
        const size_t end = host.find(']');
        h = std::string(host.substr(1, end == std::string_view::npos ? host.npos : end - 1));
    } else {
        const size_t colon = host.find(':');
        h = std::string(host.substr(0, colon == host.rfind(':') ? colon : host.npos));
    }
    if (!h.empty() && h.back() == '.') h.pop_back();
    return Lower(h);
}

} // namespace

// ---- the server's handlers ---------------------------------------------------------------------

struct HttpServer::Impl : std::enable_shared_from_this<HttpServer::Impl> {
    // One request on its way to its answer.
    struct Call {
        web::Request req;
        std::vector<std::string> params; // the segments a route's "{}" matched, decoded
        web::Reply reply;
        std::string origin; // the Access-Control-Allow-Origin of the answer, or empty
    };
    using Handle = void (Impl::*)(Call&);
    struct Route {
        const char* method; // GET also answers HEAD
        const char* path;   // "{}" is one segment
        bool write;         // drives the yard: Host, Origin and token are checked first
        Handle handle;
    };
    static const Route kRoutes[];

    // How a wait for a settled weight ended: 200 settled (with the last of the readings that
    // did), 504 not in time (with the latest), 503 the gateway stops (with the latest).
    using StableDone = std::function<void(int status, const ReadingPtr& reading)>;
    // A wait for a scale to settle.
    struct StableWait {
        explicit StableWait(asio::io_context& loop) : timer(loop) {}
        StableDone done;
        bool waiting = false; // in `waits`
        size_t scale = 0, count = 0;
        uint64_t cursor = 0;
        ReadingPtr last;
        size_t run = 0;
        std::optional<double> net;
        asio::steady_timer timer;
        std::list<std::shared_ptr<StableWait>>::iterator self;
    };

    // An event stream: the current readings first, then each new one as the store has it.
    struct Feed final : web::StreamSource {
        Feed(std::shared_ptr<Impl> m, size_t f) : m(std::move(m)), feed(f) {}
        ~Feed() override { --m->sseClients; }
        void Next(web::StreamOut& out, bool quiet) override;
        std::shared_ptr<Impl> m;
        size_t feed;
        uint64_t cursor = 0;
        bool started = false;
        Store::Taken taken;
    };

    asio::io_context& loop;
    const Config& cfg;
    Store& store;
    DioWorkers& dio;
    CountersOf counters;
    const std::vector<std::string> hosts;           // lower case
    std::optional<asio::ip::address> listenAddress; // null: any address (0.0.0.0, [::])
    web::Server* server = nullptr;

    std::atomic<size_t> sseClients{0};
    std::list<std::shared_ptr<StableWait>> waits; // the loop's thread only
    bool stopping = false;

    Impl(asio::io_context& l, const Config& c, Store& s, DioWorkers& d, CountersOf n)
        : loop(l), cfg(c), store(s), dio(d), counters(std::move(n)),
          hosts(c.gateway.hosts
                    ? *c.gateway.hosts
                    : std::vector<std::string>{"localhost", Lower(asio::ip::host_name())}) {
        boost::system::error_code ec;
        const auto a = asio::ip::make_address(c.gateway.http.host, ec);
        if (!ec && !a.is_unspecified()) listenAddress = a;
    }

    // ---- answers ---------------------------------------------------------------------------

    void Send(Call& c, int status, std::string body, const char* type = kJsonType,
              std::vector<std::pair<std::string, std::string>> headers = {}) {
        web::Response r;
        r.status = status;
        r.contentType = type;
        r.body = std::move(body);
        r.headers = std::move(headers);
        Cors(c, r);
        c.reply.Send(std::move(r));
    }

    void SendError(Call& c, int status, const std::string& text, Json extra = Json::object(),
                   std::vector<std::pair<std::string, std::string>> headers = {}) {
        extra["error"] = text;
        Send(c, status, extra.dump(-1, ' ', false, Json::error_handler_t::replace), kJsonType,
             std::move(headers));
    }

    static void Cors(const Call& c, web::Response& r) {
        if (c.origin.empty()) return;
        r.headers.emplace_back("Access-Control-Allow-Origin", c.origin);
        r.headers.emplace_back("Vary", "Origin");
    }

    // The origin to allow for this request, or empty.
    std::string AllowedOrigin(const web::Request& req) const {
        const std::string* origin = req.Header("Origin");
        if (cfg.gateway.corsOrigins.empty() || origin == nullptr) return {};
        for (const std::string& o : cfg.gateway.corsOrigins)
            if (o == "*" || o == *origin) return *origin;
        return {};
    }

    // ---- routing ---------------------------------------------------------------------------

    static bool Matches(const Route& r, const std::vector<std::string>& seg,
                        std::vector<std::string>* params) {
        const std::string_view path = r.path;
        size_t i = 1, k = 0;
        if (path == "/") return seg.empty();
        for (; i <= path.size(); ++k) {
            const size_t j = std::min(path.find('/', i), path.size());
            const std::string_view want = path.substr(i, j - i);
            if (k >= seg.size() || seg[k].empty()) return false;
            if (want == "{}") {
                if (params != nullptr) params->push_back(seg[k]);
            } else if (seg[k] != want) {
                return false;
            }
            i = j + 1;
        }
        return k == seg.size();
    }

    // The methods a resource answers to ("GET, HEAD", "PUT"), empty for none.
    static std::string Allowed(const std::vector<std::string>& seg) {
        std::string allow;
        for (const Route* r = kRoutes; r->method != nullptr; ++r) {
            if (!Matches(*r, seg, nullptr)) continue;
            const std::string m = std::string(r->method) == "GET" ? "GET, HEAD" : r->method;
            if (allow.find(m) == std::string::npos) allow += (allow.empty() ? "" : ", ") + m;
        }
        return allow;
    }

    void Dispatch(web::Request&& request, web::Reply reply) {
        Call c{std::move(request), {}, std::move(reply), {}};
        c.origin = AllowedOrigin(c.req);
        const auto seg = Segments(c.req.Path());
        if (!seg) return SendError(c, 400, "malformed path");
        if (c.req.method == "OPTIONS") return Options(c, *seg);
        const std::string method = c.req.method == "HEAD" ? "GET" : c.req.method;
        for (const Route* r = kRoutes; r->method != nullptr; ++r) {
            if (method != r->method || !Matches(*r, *seg, &c.params)) {
                c.params.clear();
                continue;
            }
            if (r->write && !MayWrite(c)) return;
            return (this->*r->handle)(c);
        }
        const std::string allow = Allowed(*seg);
        if (!allow.empty())
            return SendError(c, 405, c.req.method + " is not allowed here (use " + allow + ")",
                             Json::object(), {{"Allow", allow}});
        SendError(c, 404, "no such resource: " + std::string(c.req.Path()));
    }

    void Options(Call& c, const std::vector<std::string>& seg) {
        std::vector<std::pair<std::string, std::string>> h;
        const std::string allow = Allowed(seg);
        if (!allow.empty()) h.emplace_back("Allow", allow + ", OPTIONS");
        if (!c.origin.empty()) {
            h.emplace_back("Access-Control-Allow-Methods", "GET, HEAD, PUT, OPTIONS");
            h.emplace_back("Access-Control-Allow-Headers", "Authorization, Content-Type");
            h.emplace_back("Access-Control-Max-Age", "600");
        }
        Send(c, 204, {}, "", std::move(h));
    }

    // ---- writes ----------------------------------------------------------------------------

    // Whether the Host header names this gateway: the listen address (any address for a
    // listener on every address) or one of `hosts`. A page that a browser loaded from another
    // name (DNS rebinding) names that one.
    bool HostAllowed(const std::string& header) const {
        const std::string name = HostName(header);
        if (name.empty()) return false;
        boost::system::error_code ec;
        const auto a = asio::ip::make_address(name, ec);
        if (!ec)
            return !listenAddress || a == *listenAddress ||
                   std::find(hosts.begin(), hosts.end(), name) != hosts.end();
        return std::find(hosts.begin(), hosts.end(), name) != hosts.end();
    }

    // Whether a write may go on; when not, the answer is sent and the refusal logged.
    bool MayWrite(Call& c) {
        const web::Request& req = c.req;
        const std::string who =
            req.method + " " + ClientText(req.Path()) + " from " + ClientText(req.remote);
        const std::string* host = req.Header("Host");
        if (host == nullptr || !HostAllowed(*host)) {
            Log("refused " + who + ": the Host header " +
                (host ? "\"" + ClientText(*host, 100) + "\"" : "is missing and") +
                " does not name this gateway");
            SendError(c, 403,
                      "writes are refused: the Host header does not name this gateway (see "
                      "[gateway] hosts)");
            return false;
        }
        const std::string* origin = req.Header("Origin");
        if (origin != nullptr && c.origin.empty() && !SameOrigin(*origin, *host)) {
            Log("refused " + who + ": the origin \"" + ClientText(*origin, 100) +
                "\" is not allowed");
            SendError(c, 403, "writes are refused from this origin (see [gateway] cors_origins)");
            return false;
        }
        if (cfg.gateway.token) {
            const std::string* h = req.Header("Authorization");
            const std::string value = h != nullptr ? *h : "";
            const size_t blank = value.find(' ');
            const bool bearer =
                blank != std::string::npos && Lower(value.substr(0, blank)) == "bearer";
            if (!bearer) {
                Log("refused " + who + ": no bearer token");
                SendError(c, 401, "this request needs \"Authorization: Bearer <token>\"",
                          Json::object(),
                          {{"WWW-Authenticate", "Bearer realm=\"tarvel-gateway\""}});
                return false;
            }
            if (!SameSecret(Trim(std::string_view(value).substr(blank + 1)), *cfg.gateway.token)) {
                Log("refused " + who + ": wrong token");
                SendError(c, 403, "wrong token");
                return false;
            }
            return true;
        }
        if (!cfg.gateway.http.loopback) {
            Log("refused " + who + ": no token is configured and the gateway listens on " +
                cfg.gateway.http.Text() + ", which is not a loopback address");
            SendError(c, 403,
                      "writes are refused: no token is configured and the gateway does not "
                      "listen on a loopback address");
            return false;
        }
        return true;
    }

    // The gateway's own page (or a client of the same origin): "http://" + the Host.
    static bool SameOrigin(const std::string& origin, const std::string& host) {
        return Lower(origin) == "http://" + Lower(host);
    }

    // ---- scales ----------------------------------------------------------------------------

    void Page(Call& c) {
        web::Response r;
        r.contentType = "text/html; charset=utf-8";
        r.headers.emplace_back("Cache-Control", "no-cache");
        r.staticBody = std::string_view(reinterpret_cast<const char*>(kPageHtml), kPageHtmlSize);
        Cors(c, r);
        c.reply.Send(std::move(r));
    }

    void Scales(Call& c) {
        uint64_t cursor = 0;
        const auto all = store.Snapshot(Store::kAll, cursor);
        std::string body = "{\"gateway\":" + Json(cfg.gateway.name).dump() + ",\"scales\":[";
        for (size_t i = 0; i < all.size(); ++i) {
            if (i > 0) body += ',';
            body += all[i]->Line();
        }
        body += "]}";
        Send(c, 200, std::move(body));
    }

    std::optional<size_t> ScaleOf(Call& c, const std::string& name) {
        auto i = store.Find(name);
        if (!i) SendError(c, 404, "no scale named \"" + name + "\"", {{"scale", name}});
        return i;
    }

    void Scale(Call& c) {
        auto i = ScaleOf(c, c.params[0]);
        if (!i) return;
        std::optional<std::string> stable, count, timeout;
        for (auto& [k, v] : Params(c.req.Query())) {
            std::optional<std::string>* slot = k == "stable"       ? &stable
                                               : k == "count"      ? &count
                                               : k == "timeout_ms" ? &timeout
                                                                   : nullptr;
            if (slot != nullptr && !*slot) *slot = v; // the first of each; others are ignored
        }
        long n = 3, timeoutMs = 10000;
        if (count) {
            auto d = Digits(*count);
            if (!d || *d < 1 || *d > 100)
                return SendError(c, 400, "count must be a whole number from 1 to 100");
            n = *d;
        }
        if (timeout) {
            auto d = Digits(*timeout);
            if (!d || *d > 60000)
                return SendError(c, 400, "timeout_ms must be a whole number from 0 to 60000");
            timeoutMs = *d;
        }
        if (!stable || stable->empty() || *stable == "false")
            return Send(c, 200, std::string(store.Latest(*i)->Line()));
        if (*stable != "true") return SendError(c, 400, "stable must be true or false");
        if (waits.size() >= static_cast<size_t>(kMaxStableWaits))
            return SendError(c, 503, "too many requests are waiting for a settled weight",
                             Json::object(), {{"Retry-After", "1"}});
        auto call = std::make_shared<Call>(std::move(c));
        WaitStable(*i, static_cast<size_t>(n), std::chrono::milliseconds(timeoutMs),
                   [self = shared_from_this(), call](int status, const ReadingPtr& r) {
                       if (status == 503)
                           return self->SendError(*call, 503, "the gateway is stopping");
                       self->Send(*call, status, std::string(r->Line()));
                   });
    }

    // Waits, without holding up the loop, until `count` consecutive readings of the scale
    // (the current one first) settle on one net; `done` is called once, on the loop's thread.
    // At most kMaxStableWaits wait at once: the caller refuses beyond.
    void WaitStable(size_t scale, size_t count, std::chrono::milliseconds timeout,
                    StableDone done) {
        auto w = std::make_shared<StableWait>(loop);
        w->done = std::move(done);
        w->scale = scale;
        w->count = count;
        w->last = store.Snapshot(scale, w->cursor).front();
        Settle(*w, w->last);
        if (w->run >= count) return Finish(*w, 200);
        if (timeout.count() == 0) return Finish(*w, 504);
        if (stopping) return Finish(*w, 503);
        waits.push_back(w);
        w->self = std::prev(waits.end());
        w->waiting = true;
        w->timer.expires_after(timeout);
        w->timer.async_wait([self = shared_from_this(), w](const boost::system::error_code& ec) {
            if (!ec) self->Finish(*w, 504);
        });
    }

    void Finish(StableWait& w, int status) {
        if (w.waiting) {
            w.waiting = false;
            waits.erase(w.self);
            w.timer.cancel();
        }
        StableDone done = std::move(w.done);
        w.done = nullptr;
        if (done) done(status, w.last);
    }

    static void Settle(StableWait& w, const ReadingPtr& r) {
        w.last = r;
        if (!r->settles) {
            w.run = 0;
        } else if (w.run > 0 && r->net == w.net) {
            ++w.run;
        } else {
            w.run = 1;
            w.net = r->net;
        }
    }

    // New readings: each waiting stable read takes its scale's.
    void OnReadings() {
        Store::Taken t;
        for (auto it = waits.begin(); it != waits.end();) {
            const std::shared_ptr<StableWait> w = *it++; // Finish removes it, and only it
            t.Clear();
            store.Take(w->scale, w->cursor, Clock::time_point::min(), t);
            if (t.lost > 0) w->run = 0; // readings were missed: the run is not known unbroken
            for (const ReadingPtr& r : t.readings) {
                Settle(*w, r);
                if (w->run >= w->count) break;
            }
            if (w->run >= w->count)
                Finish(*w, 200);
            else if (t.closed)
                Finish(*w, 503);
        }
    }

    void StopWaits() {
        stopping = true;
        while (!waits.empty()) {
            const std::shared_ptr<StableWait> w = waits.front();
            Finish(*w, 503);
        }
    }

    // ---- event streams ---------------------------------------------------------------------

    void Events(Call& c, size_t feed) {
        if (++sseClients > cfg.gateway.sseMaxClients) {
            --sseClients;
            return SendError(c, 503,
                             "too many event-stream clients (at most " +
                                 std::to_string(cfg.gateway.sseMaxClients) + ")",
                             Json::object(), {{"Retry-After", "5"}});
        }
        auto feedSource = std::make_unique<Feed>(shared_from_this(), feed);
        web::Response head;
        head.contentType = "text/event-stream";
        head.headers = {{"Cache-Control", "no-cache"}, {"X-Accel-Buffering", "no"}};
        Cors(c, head);
        c.reply.Stream(std::move(head), std::move(feedSource));
    }

    void AllEvents(Call& c) { Events(c, Store::kAll); }

    void ScaleEvents(Call& c) {
        if (auto i = ScaleOf(c, c.params[0])) Events(c, *i);
    }

    // ---- converters ------------------------------------------------------------------------

    std::optional<size_t> ConverterOf(Call& c, const std::string& name) {
        for (size_t i = 0; i < cfg.converters.size(); ++i)
            if (cfg.converters[i].name == name) return i;
        SendError(c, 404, "no converter named \"" + name + "\"", {{"converter", name}});
        return std::nullopt;
    }

    // The answer for an exchange that did not end with a reply; false when it did.
    bool Failed(Call& c, const DioOutcome& o, const std::string& name) {
        Json extra = {{"converter", name}};
        switch (o.kind) {
        case DioOutcome::Done:
            return false;
        case DioOutcome::Unreachable:
            SendError(c, 502, "the converter refused the connection or did not accept it in time",
                      extra);
            break;
        case DioOutcome::NoAnswer:
            SendError(c, 502, "the converter did not answer in time", extra);
            break;
        case DioOutcome::Busy:
            SendError(c, 503, "the converter is busy with earlier requests", extra,
                      {{"Retry-After", "5"}});
            break;
        case DioOutcome::Stopping:
            SendError(c, 503, "the gateway is stopping", extra);
            break;
        }
        return true;
    }

    void Inputs(Call& c) {
        const std::string name = c.params[0];
        auto i = ConverterOf(c, name);
        if (!i) return;
        auto call = std::make_shared<Call>(std::move(c));
        dio.Run(*i, "IN", [self = shared_from_this(), call, name](const DioOutcome& o) {
            if (self->Failed(*call, o, name)) return;
            auto value = InputValue(o);
            if (!value)
                return self->SendError(*call, 502, "the converter's reply holds no input value",
                                       {{"converter", name}});
            Json j = {{"converter", name}, {"value", *value}, {"bits", InputBits(*value)}};
            self->Send(*call, 200, j.dump());
        });
    }

    void Outputs(Call& c, const std::string& name, size_t index, const std::string& command,
                 const std::string& what) {
        auto call = std::make_shared<Call>(std::move(c));
        dio.Run(index, command, [self = shared_from_this(), call, name, what](const DioOutcome& o) {
            Log(name + ": " + what + " (" + call->req.remote + "): " + OutcomeText(o.kind));
            if (self->Failed(*call, o, name)) return;
            self->Send(*call, 200, Json({{"converter", name}, {"result", 0}}).dump());
        });
    }

    void OutputBit(Call& c) {
        const std::string name = c.params[0];
        auto i = ConverterOf(c, name);
        if (!i) return;
        auto bit = Digits(c.params[1]);
        if (!bit || *bit > 7) return SendError(c, 400, "the output bit must be 0 to 7");
        const std::string body = Lower(Trim(c.req.body));
        bool on;
        if (body == "on" || body == "1")
            on = true;
        else if (body == "off" || body == "0")
            on = false;
        else
            return SendError(c, 400, "the body must be on or off");
        Outputs(c, name, *i, "OB" + std::string(on ? "1" : "0") + std::to_string(*bit),
                "output " + std::to_string(*bit) + (on ? " on" : " off"));
    }

    void OutputPort(Call& c) {
        const std::string name = c.params[0];
        auto i = ConverterOf(c, name);
        if (!i) return;
        const Json body = Json::parse(c.req.body, nullptr, false);
        const char* shape = "the body must be {\"value\":N} with N a whole number from 0 to 255";
        if (!body.is_object() || body.size() != 1 || !body.contains("value"))
            return SendError(c, 400, shape);
        const Json& v = body["value"];
        if (!v.is_number_integer() || v.get<int64_t>() < 0 || v.get<int64_t>() > 255)
            return SendError(c, 400, shape);
        const int value = static_cast<int>(v.get<int64_t>());
        Outputs(c, name, *i, "OP" + std::to_string(value), "outputs " + std::to_string(value));
    }

    void Converters(Call& c) {
        Json list = Json::array();
        for (const ConverterEntry& e : cfg.converters)
            list.push_back({{"name", e.name}, {"address", e.address}});
        Send(c, 200, Json({{"gateway", cfg.gateway.name}, {"converters", list}}).dump());
    }

    // ---- metrics and health ----------------------------------------------------------------

    void Health(Call& c) {
        Send(c, 200, Json({{"status", "ok"}, {"gateway", cfg.gateway.name}}).dump());
    }

    void Metrics(Call& c) {
        std::string m;
        auto head = [&](const char* name, const char* type, const char* help) {
            m +=
                std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
        };
        auto gauge = [&](const char* name, const char* type, const char* help, uint64_t value) {
            head(name, type, help);
            m += std::string(name) + " " + std::to_string(value) + "\n";
        };
        auto label = [&](size_t i) {
            return "{scale=\"" + store.Identity(i).name + "\",model=\"" + store.Identity(i).model +
                   "\"}";
        };
        head("tarvel_gateway_info", "gauge", "The gateway's name and version.");
        m += "tarvel_gateway_info{gateway=\"" + cfg.gateway.name +
             "\",version=\"" TARVEL_VERSION "\"} 1\n";
        struct Counter {
            const char* name;
            const char* help;
            const std::atomic<uint64_t> live::ScaleCounters::*field;
        };
        const Counter list[] = {
            {"tarvel_scale_frames_total", "Frames decoded.", &live::ScaleCounters::frames},
            {"tarvel_scale_decode_failures_total", "Frames or lines that did not decode.",
             &live::ScaleCounters::dropped},
            {"tarvel_scale_reconnects_total", "Connections or ports opened again.",
             &live::ScaleCounters::reconnects},
            {"tarvel_scale_received_bytes_total", "Bytes received from the indicator.",
             &live::ScaleCounters::bytes},
        };
        for (const Counter& k : list) {
            head(k.name, "counter", k.help);
            for (size_t i = 0; i < store.Size(); ++i) {
                const live::ScaleCounters* sc = counters ? counters(i) : nullptr;
                m +=
                    k.name + label(i) + " " + std::to_string(sc ? (sc->*k.field).load() : 0) + "\n";
            }
        }
        head("tarvel_scale_readings_total", "counter",
             "Readings published (frames and changes of status).");
        for (size_t i = 0; i < store.Size(); ++i)
            m += "tarvel_scale_readings_total" + label(i) + " " +
                 std::to_string(store.Published(i)) + "\n";
        head("tarvel_scale_status", "gauge", "1 for the scale's current status, 0 for the others.");
        for (size_t i = 0; i < store.Size(); ++i) {
            const live::Status now = store.StatusOf(i);
            for (live::Status s : {live::Status::Ok, live::Status::Stale, live::Status::Offline,
                                   live::Status::Error})
                m += "tarvel_scale_status{scale=\"" + store.Identity(i).name + "\",status=\"" +
                     live::StatusName(s) + "\"} " + (s == now ? "1" : "0") + "\n";
        }
        gauge("tarvel_gateway_sse_clients", "gauge", "Event-stream clients connected.",
              sseClients.load());
        gauge("tarvel_gateway_sse_clients_max", "gauge", "Event-stream clients allowed at once.",
              cfg.gateway.sseMaxClients);
        const web::ServerStats st = server->Stats();
        const web::Limits limits = LimitsFor(cfg.gateway);
        gauge("tarvel_gateway_http_workers", "gauge",
              "Threads serving HTTP (one loop serves every connection).", 1);
        gauge("tarvel_gateway_http_waiting_connections", "gauge",
              "Connections waiting for a thread (none: the loop serves them all).", 0);
        gauge("tarvel_gateway_http_connections", "gauge", "HTTP connections open.", st.connections);
        gauge("tarvel_gateway_http_connections_max", "gauge", "HTTP connections allowed at once.",
              limits.total);
        gauge("tarvel_gateway_http_connections_refused_total", "counter",
              "Connections answered 503 at a connection limit.", st.refused);
        gauge("tarvel_gateway_http_connections_dropped_total", "counter",
              "Connections waiting for a request, closed to make room for a new one.", st.dropped);
        gauge("tarvel_gateway_dio_exchanges_total", "counter",
              "Exchanges with the converters' IO ports.", dio.Exchanges());
        Send(c, 200, std::move(m), "text/plain; version=0.0.4; charset=utf-8");
    }
};

// Every resource. A new one is a row here and a handler above; a write row is refused before
// its handler unless Host, Origin and token allow it.
const HttpServer::Impl::Route HttpServer::Impl::kRoutes[] = {
    {"GET", "/", false, &Impl::Page},
    {"GET", "/api/scales", false, &Impl::Scales},
    {"GET", "/api/scales/{}", false, &Impl::Scale},
    {"GET", "/api/scales/{}/events", false, &Impl::ScaleEvents},
    {"GET", "/api/events", false, &Impl::AllEvents},
    {"GET", "/api/converters", false, &Impl::Converters},
    {"GET", "/api/converters/{}/inputs", false, &Impl::Inputs},
    {"PUT", "/api/converters/{}/outputs/{}", true, &Impl::OutputBit},
    {"PUT", "/api/converters/{}/outputs", true, &Impl::OutputPort},
    {"GET", "/metrics", false, &Impl::Metrics},
    {"GET", "/healthz", false, &Impl::Health},
    {nullptr, nullptr, false, nullptr},
};

void HttpServer::Impl::Feed::Next(web::StreamOut& out, bool quiet) {
    if (!started) {
        started = true;
        out.Add("retry: 3000\n\n");
        for (const ReadingPtr& r : m->store.Snapshot(feed, cursor))
            out.Add(r, r->event);
        return;
    }
    taken.Clear();
    m->store.Take(feed, cursor, Clock::time_point::min(), taken);
    if (taken.lost > 0)
        out.Add(": " + std::to_string(taken.lost) +
                " readings skipped: the client reads too slowly\n\n");
    for (const ReadingPtr& r : taken.readings)
        out.Add(r, r->event);
    if (out.pieces.empty() && quiet) out.Add(": keep-alive\n\n");
}

// ---- the public side -----------------------------------------------------------------------

web::Limits HttpServer::LimitsFor(const GatewaySettings& g) {
    web::Limits l;
    l.perAddress = g.sseMaxClients + kOtherPerAddress;
    l.total = g.sseMaxClients + kOtherTotal;
    return l;
}

HttpServer::HttpServer(asio::io_context& loop, const Config& cfg, Store& store, DioWorkers& dio,
                       CountersOf counters)
    : impl_(std::make_shared<Impl>(loop, cfg, store, dio, std::move(counters))) {
    server_ = std::make_unique<web::Server>(loop, LimitsFor(cfg.gateway),
                                            [m = impl_](web::Request&& req, web::Reply reply) {
                                                m->Dispatch(std::move(req), std::move(reply));
                                            });
    impl_->server = server_.get();
    server_->SetKickHook([m = impl_] { m->OnReadings(); });
}

HttpServer::~HttpServer() = default;

bool HttpServer::Bind(std::string& error) {
    const ListenAddress& a = impl_->cfg.gateway.http;
    return server_->Listen(a.host, a.port, error);
}

void HttpServer::Published() {
    server_->Kick();
}

void HttpServer::Stop(std::chrono::milliseconds grace) {
    asio::post(impl_->loop, [m = impl_] { m->StopWaits(); });
    server_->Stop(grace);
}

} // namespace gateway
