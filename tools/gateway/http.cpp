#include "http.h"

#include "log.h"
#include "page.h"
#include "stable.h"
#include "text.h"
#include "weighing.h"

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
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
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

// A whole decimal number of at most 18 digits.
std::optional<int64_t> Digits18(std::string_view text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

// Work that may block (the register's database) on a thread of its own, so that the loop
// never waits for it: tasks run one after the other; beyond `max` waiting, Post refuses.
class Worker {
  public:
    explicit Worker(size_t max) : max_(max) {}
    ~Worker() { Stop(); }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    bool Post(std::function<void()> task) {
        std::lock_guard lock(mu_);
        if (stop_ || queue_.size() >= max_) return false;
        if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
        queue_.push_back(std::move(task));
        cv_.notify_one();
        return true;
    }
    // Ends the thread after the task under way; the tasks still waiting are dropped (their
    // replies answer 500). Not from the worker's own thread.
    void Stop() {
        std::deque<std::function<void()>> dropped;
        {
            std::lock_guard lock(mu_);
            stop_ = true;
            dropped.swap(queue_);
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

  private:
    void Run() {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock lock(mu_);
                cv_.wait(lock, [&] { return stop_ || !queue_.empty(); });
                if (stop_) return;
                task = std::move(queue_.front());
                queue_.pop_front();
            }
            try {
                task();
            } catch (const std::exception& e) {
                Log(std::string("http: internal error: ") + e.what());
            } catch (...) {
                Log("http: internal error");
            }
        }
    }
    const size_t max_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> queue_;
    bool stop_ = false;
    std::thread thread_;
};

// Characters of a UTF-8 text (one that nlohmann's parser took is valid UTF-8).
size_t Characters(std::string_view s) {
    size_t n = 0;
    for (const char c : s)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
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
        size_t scale = 0;
        uint64_t cursor = 0;
        ReadingPtr last;
        tarvel::stable::Run run{1}; // the one stable rule

        asio::steady_timer timer;
        std::list<std::shared_ptr<StableWait>>::iterator self;
    };

    // A registered weighing as an event of the streams.
    struct WeighingEvent {
        uint64_t seq = 0; // 1, 2, ... in the order they were answered
        size_t scale = 0;
        uint64_t id = 0;
        std::string text; // "event: weighing\ndata: <record>\n\n"
    };
    using WeighingEventPtr = std::shared_ptr<const WeighingEvent>;
    // Weighing events kept for the streams to take: one that falls further behind skips some.
    static constexpr size_t kWeighingEvents = 256;

    // An event stream: the current readings first, then each new one as the store has it.
    struct Feed final : web::StreamSource {
        Feed(std::shared_ptr<Impl> m, size_t f) : m(std::move(m)), feed(f) {}
        ~Feed() override { --m->sseClients; }
        void Next(web::StreamOut& out, bool quiet) override;
        static void AddEvent(web::StreamOut& out, const ReadingPtr& r);
        std::shared_ptr<Impl> m;
        size_t feed;
        uint64_t cursor = 0;
        uint64_t weighingCursor = 0;
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

    // The register of weighings (null: no [register] table), and what may block on it.
    Register* reg = nullptr;
    WeighingHook onWeighing;
    Worker queries{64}; // records, pages, counts for /metrics
    Worker verifier{1}; // one verification at a time
    std::atomic<bool> cancelVerify{false};
    std::mutex verifyMu;
    bool verifying = false;
    std::vector<std::shared_ptr<Call>> verifyWaiters; // answered with the running verification
    static constexpr size_t kMaxVerifyWaiters = 64;
    // The loop's thread only: each scale's last weighing, and the recent ones in order.
    std::vector<WeighingEventPtr> lastWeighing;
    std::deque<WeighingEventPtr> weighingEvents;
    uint64_t weighingSeq = 0;
    std::unique_ptr<std::atomic<uint64_t>[]> registered; // 201s per scale

    Impl(asio::io_context& l, const Config& c, Store& s, DioWorkers& d, CountersOf n, Register* r,
         WeighingHook hook)
        : loop(l), cfg(c), store(s), dio(d), counters(std::move(n)),
          hosts(c.gateway.hosts
                    ? *c.gateway.hosts
                    : std::vector<std::string>{"localhost", Lower(asio::ip::host_name())}),
          reg(r), onWeighing(std::move(hook)), lastWeighing(s.Size()),
          registered(new std::atomic<uint64_t>[s.Size()]) {
        for (size_t i = 0; i < s.Size(); ++i)
            registered[i] = 0;
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
            h.emplace_back("Access-Control-Allow-Methods", "GET, HEAD, PUT, POST, OPTIONS");
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
            return Send(c, 200, store.Latest(*i)->Line());
        if (*stable != "true") return SendError(c, 400, "stable must be true or false");
        if (waits.size() >= static_cast<size_t>(kMaxStableWaits))
            return SendError(c, 503, "too many requests are waiting for a settled weight",
                             Json::object(), {{"Retry-After", "1"}});
        auto call = std::make_shared<Call>(std::move(c));
        WaitStable(*i, static_cast<size_t>(n), std::chrono::milliseconds(timeoutMs),
                   [self = shared_from_this(), call](int status, const ReadingPtr& r) {
                       if (status == 503)
                           return self->SendError(*call, 503, "the gateway is stopping");
                       self->Send(*call, status, r->Line());
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
        w->run = tarvel::stable::Run(count);
        w->last = store.Snapshot(scale, w->cursor).front();
        Settle(*w, w->last);
        if (w->run.Done()) return Finish(*w, 200);
        if (timeout.count() == 0) return Finish(*w, 504);
        if (stopping) return Finish(*w, 503);
        waits.push_back(w);
        w->self = std::prev(waits.end());
        w->waiting = true;
        server->SetEager(true); // each reading is looked at as soon as it is there
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
            if (waits.empty()) server->SetEager(false);
        }
        StableDone done = std::move(w.done);
        w.done = nullptr;
        if (done) done(status, w.last);
    }

    static void Settle(StableWait& w, const ReadingPtr& r) {
        w.last = r;
        tarvel::stable::Facts f; // `settles` holds the rule's other facts (Store, FromRecord)
        f.reading = r->settles;
        f.net = r->net;
        w.run.Take(f);
    }

    // New readings: each waiting stable read takes its scale's.
    void OnReadings() {
        Store::Taken t;
        for (auto it = waits.begin(); it != waits.end();) {
            const std::shared_ptr<StableWait> w = *it++; // Finish removes it, and only it
            t.Clear();
            store.Take(w->scale, w->cursor, t);
            if (t.lost > 0) w->run.Break(); // readings were missed: the run is not known unbroken
            for (const ReadingPtr& r : t.readings) {
                Settle(*w, r);
                if (w->run.Done()) break;
            }
            if (w->run.Done())
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

    // ---- the register of weighings --------------------------------------------------------

    static Json ReadingJson(const ReadingPtr& r) { return Json::parse(r->Line(), nullptr, false); }

    bool RegisterOn(Call& c) {
        if (reg != nullptr) return true;
        SendError(c, 503,
                  "this gateway keeps no register of weighings: its configuration file has no "
                  "[register] table");
        return false;
    }

    // POST /api/scales/NAME/weighings: the scale's next settled weight, stored.
    void RegisterWeighing(Call& c) {
        const std::string name = c.params[0];
        auto i = ScaleOf(c, name);
        if (!i || !RegisterOn(c)) return;
        std::string reference;
        long count = 3, timeoutMs = 10000;
        const char* shape = "the body must be empty or a JSON object with any of \"reference\" (a "
                            "text of at most 256 characters, no control characters), \"count\" "
                            "(1 to 100) and \"timeout_ms\" (0 to 60000)";
        if (!Trim(c.req.body).empty()) {
            const Json body = Json::parse(c.req.body, nullptr, false);
            if (!body.is_object()) return SendError(c, 400, shape);
            for (const auto& [k, v] : body.items()) {
                if (k == "reference" && v.is_string()) {
                    reference = v.get<std::string>();
                    if (Characters(reference) > 256)
                        return SendError(c, 400, "the reference is longer than 256 characters");
                    for (const char ch : reference)
                        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f)
                            return SendError(c, 400, "the reference holds a control character");
                } else if (k == "count" && v.is_number_integer() && v.get<int64_t>() >= 1 &&
                           v.get<int64_t>() <= 100) {
                    count = static_cast<long>(v.get<int64_t>());
                } else if (k == "timeout_ms" && v.is_number_integer() && v.get<int64_t>() >= 0 &&
                           v.get<int64_t>() <= 60000) {
                    timeoutMs = static_cast<long>(v.get<int64_t>());
                } else {
                    return SendError(c, 400, shape, {{"key", k}});
                }
            }
        }
        // What rules a registration out before any wait: the scale is not ok, out of range,
        // or its model gives no net weight.
        const ReadingPtr now = store.Latest(*i);
        const Json reading = ReadingJson(now);
        const tarvel::stable::Facts facts = tarvel::stable::FromRecord(reading);
        std::string why;
        if (now->status != live::Status::Ok)
            why = std::string("the scale is ") + live::StatusName(now->status) +
                  (reading.contains("reason") && reading["reason"].is_string() &&
                           !reading["reason"].get<std::string>().empty()
                       ? " (" + reading["reason"].get<std::string>() + ")"
                       : "");
        else if (facts.overload == true)
            why = "the indicator reports out of range";
        else if (!facts.net)
            why = "the scale's model (" + store.Identity(*i).model + ") gives no net weight";
        if (!why.empty())
            return SendError(c, 409, why + ": nothing is registered",
                             {{"scale", name}, {"reading", reading}});
        if (waits.size() >= static_cast<size_t>(kMaxStableWaits))
            return SendError(c, 503, "too many requests are waiting for a settled weight",
                             {{"scale", name}}, {{"Retry-After", "1"}});
        auto call = std::make_shared<Call>(std::move(c));
        WaitStable(*i, static_cast<size_t>(count), std::chrono::milliseconds(timeoutMs),
                   [self = shared_from_this(), call, name, timeoutMs,
                    reference = std::move(reference)](int status, const ReadingPtr& r) mutable {
                       self->Settled(call, name, timeoutMs, std::move(reference), status, r);
                   });
    }

    void Settled(const std::shared_ptr<Call>& call, const std::string& name, long timeoutMs,
                 std::string reference, int status, const ReadingPtr& r) {
        if (status == 503)
            return SendError(*call, 503, "the gateway is stopping: nothing is registered");
        if (status != 200)
            return SendError(
                *call, 504, "the weight did not settle within " + std::to_string(timeoutMs) + " ms",
                {{"reading", ReadingJson(r)}});
        std::string why;
        auto w = WeighingOf(*r, std::move(reference), why);
        if (!w)
            return SendError(*call, 409, why + ": nothing is registered",
                             {{"scale", name}, {"reading", ReadingJson(r)}});
        const size_t scale = r->scale;
        reg->Add(std::move(*w), [self = shared_from_this(), call, scale](Register::Result res) {
            // On the register's writer thread: the answer goes out from the loop.
            asio::post(self->loop, [self, call, scale, res = std::move(res)]() mutable {
                self->Registered(*call, scale, res);
            });
        });
    }

    void Registered(Call& c, size_t scale, const Register::Result& res) {
        const std::string& name = store.Identity(scale).name;
        switch (res.outcome) {
        case Register::Outcome::Stored:
            break;
        case Register::Outcome::Refused:
            return SendError(c, 409, res.error + ": nothing is registered", {{"scale", name}});
        case Register::Outcome::Full:
            return SendError(c, 507, res.error, {{"scale", name}});
        case Register::Outcome::Busy:
            return SendError(c, 503, res.error + ": nothing is registered", {{"scale", name}},
                             {{"Retry-After", "1"}});
        case Register::Outcome::Failed:
            Log("register: " + name + ": " + res.error);
            return SendError(c, 500, res.error, {{"scale", name}});
        }
        const uint64_t id = res.record.value("id", uint64_t{0});
        std::string body = res.record.dump(-1, ' ', false, Json::error_handler_t::replace);
        Send(c, 201, body, kJsonType, {{"Location", "/api/weighings/" + std::to_string(id)}});
        ++registered[scale];
        Weighed(scale, id, body);
        if (onWeighing) onWeighing(name, body);
    }

    // A weighing for the event streams (the loop's thread).
    void Weighed(size_t scale, uint64_t id, const std::string& record) {
        if (scale >= lastWeighing.size()) return;
        if (lastWeighing[scale] && lastWeighing[scale]->id > id) return; // an older one
        auto e = std::make_shared<WeighingEvent>();
        e->seq = ++weighingSeq;
        e->scale = scale;
        e->id = id;
        e->text = "event: weighing\ndata: " + record + "\n\n";
        lastWeighing[scale] = e;
        weighingEvents.push_back(e);
        while (weighingEvents.size() > kWeighingEvents)
            weighingEvents.pop_front();
        server->Kick();
    }

    // At start: each scale's last weighing, for the streams' first events.
    void LoadLastWeighings() {
        if (reg == nullptr) return;
        queries.Post([self = shared_from_this()] {
            for (size_t i = 0; i < self->store.Size(); ++i) {
                std::string error;
                auto j = self->reg->Last(self->store.Identity(i).name, error);
                if (!j) {
                    if (!error.empty()) Log("register: " + error);
                    continue;
                }
                const uint64_t id = j->value("id", uint64_t{0});
                std::string text = j->dump(-1, ' ', false, Json::error_handler_t::replace);
                asio::post(self->loop, [self, i, id, text = std::move(text)] {
                    if (!self->lastWeighing[i]) self->Weighed(i, id, text);
                });
            }
        });
    }

    // Runs `task` on the queries' thread; 503 when too many wait.
    void RunQuery(Call& c, std::function<void(Call&)> task) {
        auto call = std::make_shared<Call>(std::move(c));
        if (!queries.Post([call, task = std::move(task)] { task(*call); }))
            SendError(*call, 503, "too many requests are waiting for the register", Json::object(),
                      {{"Retry-After", "1"}});
    }

    // GET /api/weighings?scale=&from=&to=&after_id=&limit=
    void Weighings(Call& c) {
        if (!RegisterOn(c)) return;
        Register::Query q;
        std::vector<std::string> seen;
        for (auto& [k, v] : Params(c.req.Query())) {
            if (std::find(seen.begin(), seen.end(), k) != seen.end())
                return SendError(c, 400, "the parameter " + ClientText(k, 40) + " is given twice");
            seen.push_back(k);
            if (k == "scale") {
                if (v.empty()) return SendError(c, 400, "scale must name a scale");
                q.scale = v;
                continue;
            }
            const auto n = Digits18(v);
            if (k == "from" || k == "to") {
                if (!n)
                    return SendError(c, 400,
                                     k + " must be a time in Unix milliseconds (a whole "
                                         "number of at most 18 digits)");
                (k == "from" ? q.fromMs : q.toMs) = *n;
            } else if (k == "after_id") {
                if (!n)
                    return SendError(c, 400,
                                     "after_id must be a whole number of at most 18 digits");
                q.afterId = static_cast<uint64_t>(*n);
            } else if (k == "limit") {
                if (!n || *n < 1 || *n > static_cast<int64_t>(Register::kMaxLimit))
                    return SendError(c, 400, "limit must be a whole number from 1 to 1000");
                q.limit = static_cast<size_t>(*n);
            } else {
                return SendError(c, 400,
                                 "unknown parameter " + ClientText(k, 40) +
                                     " (scale, from, to, after_id and limit are known)");
            }
        }
        RunQuery(c, [self = shared_from_this(), q](Call& call) {
            std::string error;
            auto page = self->reg->Find(q, error);
            if (!page) return self->SendError(call, 500, error);
            self->Send(call, 200, page->dump(-1, ' ', false, Json::error_handler_t::replace));
        });
    }

    // GET /api/weighings/ID
    void WeighingById(Call& c) {
        if (!RegisterOn(c)) return;
        const auto id = Digits18(c.params[0]);
        if (!id || *id == 0)
            return SendError(c, 404,
                             "no weighing with the id \"" + ClientText(c.params[0], 40) +
                                 "\" (ids are whole numbers from 1)");
        RunQuery(c, [self = shared_from_this(), id = static_cast<uint64_t>(*id)](Call& call) {
            std::string error;
            auto record = self->reg->Get(id, error);
            if (!record && !error.empty()) return self->SendError(call, 500, error);
            if (!record)
                return self->SendError(call, 404,
                                       "no weighing with id " + std::to_string(id) +
                                           " (never stored, or pruned)",
                                       {{"id", id}});
            self->Send(call, 200, record->dump(-1, ' ', false, Json::error_handler_t::replace));
        });
    }

    // GET /api/weighings/verify: one verification at a time; who asks meanwhile gets its
    // result.
    void VerifyWeighings(Call& c) {
        if (!RegisterOn(c)) return;
        auto call = std::make_shared<Call>(std::move(c));
        std::unique_lock lock(verifyMu);
        if (verifyWaiters.size() >= kMaxVerifyWaiters) {
            lock.unlock();
            return SendError(*call, 503, "too many requests are waiting for the verification",
                             Json::object(), {{"Retry-After", "5"}});
        }
        verifyWaiters.push_back(call);
        if (verifying) return;
        verifying = true;
        lock.unlock();
        if (!verifier.Post([self = shared_from_this()] { self->RunVerification(); })) {
            lock.lock();
            auto waiting = std::move(verifyWaiters);
            verifyWaiters.clear();
            verifying = false;
            lock.unlock();
            for (auto& w : waiting)
                SendError(*w, 503, "the gateway is stopping");
        }
    }

    void RunVerification() {
        const Verification v = reg->Verify(&cancelVerify);
        std::vector<std::shared_ptr<Call>> waiting;
        {
            std::lock_guard lock(verifyMu);
            waiting.swap(verifyWaiters);
            verifying = false;
        }
        const std::string body =
            v.done ? v.ToJson().dump(-1, ' ', false, Json::error_handler_t::replace) : "";
        for (auto& w : waiting) {
            if (v.done)
                Send(*w, 200, body);
            else
                SendError(*w, cancelVerify ? 503 : 500,
                          cancelVerify ? "the gateway is stopping" : v.error);
        }
    }

    void StopRegister() {
        cancelVerify = true;
        verifier.Stop();
        queries.Stop();
        std::vector<std::shared_ptr<Call>> waiting;
        {
            std::lock_guard lock(verifyMu);
            waiting.swap(verifyWaiters);
        }
        for (auto& w : waiting)
            SendError(*w, 503, "the gateway is stopping");
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
        const char* type = "text/plain; version=0.0.4; charset=utf-8";
        if (reg == nullptr) return Send(c, 200, MetricsText(std::nullopt), type);
        // The register's counts may wait for its database: not on the loop.
        RunQuery(c, [self = shared_from_this(), type](Call& call) {
            std::string error;
            const auto counts = self->reg->Counts(error);
            if (!counts) Log("register: " + error);
            self->Send(call, 200, self->MetricsText(counts), type);
        });
    }

    // Any thread: everything it reads is atomic or fixed.
    std::string MetricsText(const std::optional<Register::Stats>& counts) {
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
            {"tarvel_scale_discarded_bytes_total",
             "Bytes received while the input was noise, thrown away undecoded.",
             &live::ScaleCounters::discarded},
            {"tarvel_scale_noise_frames_total",
             "Frames that decoded while the input was noise, never published.",
             &live::ScaleCounters::noiseFrames},
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
        if (reg != nullptr) {
            if (counts) {
                gauge("tarvel_weighings_stored", "gauge",
                      "Records held by the register of weighings.", counts->records);
                gauge("tarvel_weighings_capacity_left", "gauge",
                      "Records that still fit in the register before it is full.",
                      counts->capacityLeft);
            }
            head("tarvel_weighings_registered_total", "counter",
                 "Registrations answered 201 since the start.");
            for (size_t i = 0; i < store.Size(); ++i)
                m += "tarvel_weighings_registered_total{scale=\"" + store.Identity(i).name +
                     "\"} " + std::to_string(registered[i].load()) + "\n";
            gauge("tarvel_weighings_verification_failures", "gauge",
                  "Records and events that failed the latest verification, and records read "
                  "back wrong after their commit.",
                  reg->VerificationFailures());
        }
        return m;
    }
};

// Every resource. A new one is a row here and a handler above; a write row is refused before
// its handler unless Host, Origin and token allow it.
const HttpServer::Impl::Route HttpServer::Impl::kRoutes[] = {
    {"GET", "/", false, &Impl::Page},
    {"GET", "/api/scales", false, &Impl::Scales},
    {"GET", "/api/scales/{}", false, &Impl::Scale},
    {"GET", "/api/scales/{}/events", false, &Impl::ScaleEvents},
    {"POST", "/api/scales/{}/weighings", true, &Impl::RegisterWeighing},
    {"GET", "/api/weighings", false, &Impl::Weighings},
    {"GET", "/api/weighings/verify", false, &Impl::VerifyWeighings},
    {"GET", "/api/weighings/{}", false, &Impl::WeighingById},
    {"GET", "/api/events", false, &Impl::AllEvents},
    {"GET", "/api/converters", false, &Impl::Converters},
    {"GET", "/api/converters/{}/inputs", false, &Impl::Inputs},
    {"PUT", "/api/converters/{}/outputs/{}", true, &Impl::OutputBit},
    {"PUT", "/api/converters/{}/outputs", true, &Impl::OutputPort},
    {"GET", "/metrics", false, &Impl::Metrics},
    {"GET", "/healthz", false, &Impl::Health},
    {nullptr, nullptr, false, nullptr},
};

// A reading's event, its pieces as the store keeps them: the first holds the reading, and so
// the rest, until the write is done.
void HttpServer::Impl::Feed::AddEvent(web::StreamOut& out, const ReadingPtr& r) {
    std::shared_ptr<const void> hold = r;
    for (const std::string_view piece : r->EventPieces()) {
        if (piece.empty()) continue;
        out.Add(std::move(hold), piece); // null after the first
        hold = nullptr;
    }
}

void HttpServer::Impl::Feed::Next(web::StreamOut& out, bool quiet) {
    if (!started) {
        started = true;
        out.Add("retry: 3000\n\n");
        for (const ReadingPtr& r : m->store.Snapshot(feed, cursor))
            AddEvent(out, r);
        // Then each scale's last registered weighing.
        for (size_t i = 0; i < m->lastWeighing.size(); ++i)
            if (m->lastWeighing[i] && (feed == Store::kAll || feed == i))
                out.Add(m->lastWeighing[i], m->lastWeighing[i]->text);
        weighingCursor = m->weighingSeq;
        return;
    }
    // Most looks find nothing for this stream (the batch was for other scales): two loads.
    if (!quiet && m->store.Published(feed) == cursor && weighingCursor == m->weighingSeq) return;
    taken.Clear();
    m->store.Take(feed, cursor, taken);
    if (taken.lost > 0)
        out.Add(": " + std::to_string(taken.lost) +
                " readings skipped: the client reads too slowly\n\n");
    for (const ReadingPtr& r : taken.readings)
        AddEvent(out, r);
    if (weighingCursor < m->weighingSeq) {
        for (const WeighingEventPtr& e : m->weighingEvents)
            if (e->seq > weighingCursor && (feed == Store::kAll || feed == e->scale))
                out.Add(e, e->text);
        weighingCursor = m->weighingSeq;
    }
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
                       CountersOf counters, Register* weighings, WeighingHook onWeighing)
    : impl_(std::make_shared<Impl>(loop, cfg, store, dio, std::move(counters), weighings,
                                   std::move(onWeighing))) {
    server_ = std::make_unique<web::Server>(loop, LimitsFor(cfg.gateway),
                                            [m = impl_](web::Request&& req, web::Reply reply) {
                                                m->Dispatch(std::move(req), std::move(reply));
                                            });
    impl_->server = server_.get();
    server_->SetKickHook([m = impl_] { m->OnReadings(); });
}

HttpServer::~HttpServer() {
    impl_->StopRegister();
}

bool HttpServer::Bind(std::string& error) {
    const ListenAddress& a = impl_->cfg.gateway.http;
    if (!server_->Listen(a.host, a.port, error)) return false;
    impl_->LoadLastWeighings();
    return true;
}

void HttpServer::Published() {
    server_->Kick();
}

void HttpServer::Stop(std::chrono::milliseconds grace) {
    asio::post(impl_->loop, [m = impl_] { m->StopWaits(); });
    // The registrations queued are answered (from the loop, within the grace), later ones 503.
    if (impl_->reg != nullptr) impl_->reg->Finish();
    impl_->StopRegister();
    server_->Stop(grace);
}

} // namespace gateway
