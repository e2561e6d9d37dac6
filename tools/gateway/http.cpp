#include "http.h"

#include "log.h"
#include "page.h"
#include "pool.h"
#include "text.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifndef TARVEL_VERSION
#define TARVEL_VERSION "unknown"
#endif

namespace gateway {

using httplib::DataSink;
using httplib::Request;
using httplib::Response;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::ordered_json;

// The server, with access to its listening socket (to widen the listen backlog).
class Listener : public httplib::Server {
  public:
    socket_t Socket() const { return svr_sock_; }
};

namespace {

const char* const kJsonType = "application/json";
// An event-stream client hears from the gateway at least this often ...
constexpr auto kKeepAlive = std::chrono::seconds(15);
// ... and is checked this often for having gone away.
constexpr auto kAliveCheck = std::chrono::seconds(2);

// Readings that come closer together than this after a write go out together in the next
// one: a stream of hundreds of scales costs a write per batch instead of one per reading, and
// a reading waits at most this long for its batch.
constexpr auto kBatch = std::chrono::milliseconds(2);

// A stream's deadlines fall on whole seconds of the clock, so that all the idle streams of a
// ring wake together, once, instead of one after the other.
Clock::time_point OnTheSecond(Clock::time_point t) {
    return std::chrono::ceil<std::chrono::seconds>(t);
}

void SendJson(Response& res, int status, const std::string& body) {
    res.status = status;
    res.set_content(body, kJsonType);
}

void SendError(Response& res, int status, const std::string& text, Json extra = Json::object()) {
    extra["error"] = text;
    SendJson(res, status, extra.dump(-1, ' ', false, Json::error_handler_t::replace));
}

// A whole decimal number of at most 9 digits.
std::optional<long> Digits(const std::string& text) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

std::string Trim(const std::string& s) {
    const char* blanks = " \t\r\n";
    const size_t a = s.find_first_not_of(blanks);
    if (a == std::string::npos) return {};
    return s.substr(a, s.find_last_not_of(blanks) - a + 1);
}

using tarvel::text::Lower;

// Compares without an early exit, so the time taken tells nothing about the token.
bool SameSecret(const std::string& a, const std::string& b) {
    if (b.empty()) return false;
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i % b.size()]);
    return diff == 0;
}

// The methods a known resource answers to, for 405 (empty: no such resource). NAME and BIT
// stand for any one path segment.
std::string AllowedMethods(const std::string& path) {
    std::vector<std::string> seg;
    for (size_t i = 1; i <= path.size();) {
        const size_t j = std::min(path.find('/', i), path.size());
        seg.push_back(path.substr(i, j - i));
        i = j + 1;
    }
    if (path.empty() || path[0] != '/' ||
        std::any_of(seg.begin(), seg.end(), [](const std::string& s) { return s.empty(); }))
        return path == "/" ? "GET, HEAD" : "";
    auto is = [&](std::initializer_list<const char*> shape) {
        if (shape.size() != seg.size()) return false;
        size_t i = 0;
        for (const char* s : shape) {
            if (std::string(s) != "*" && seg[i] != s) return false;
            ++i;
        }
        return true;
    };
    if (is({"api", "scales"}) || is({"api", "events"}) || is({"api", "converters"}) ||
        is({"metrics"}) || is({"healthz"}) || is({"api", "scales", "*"}) ||
        is({"api", "scales", "*", "events"}) || is({"api", "converters", "*", "inputs"}))
        return "GET, HEAD";
    if (is({"api", "converters", "*", "outputs"}) || is({"api", "converters", "*", "outputs", "*"}))
        return "PUT";
    return {};
}

} // namespace

struct HttpServer::Impl {
    const Config& cfg;
    Store& store;
    DioWorkers& dio;
    CountersOf counters;
    Listener svr;
    std::atomic<size_t> sseClients{0};
    std::atomic<int> stableWaits{0};
    std::atomic<bool> stopping{false};
    std::atomic<bool> serving{false};
    std::mutex poolMu;
    WorkerPool* pool = nullptr; // owned by the server while it listens

    Impl(const Config& c, Store& s, DioWorkers& d, CountersOf n)
        : cfg(c), store(s), dio(d), counters(std::move(n)) {}

    // ---- scales ----------------------------------------------------------------------

    void Scales(const Request&, Response& res) {
        uint64_t cursor = 0;
        const auto all = store.Snapshot(Store::kAll, cursor);
        std::string body = "{\"gateway\":" + Json(cfg.gateway.name).dump() + ",\"scales\":[";
        for (size_t i = 0; i < all.size(); ++i) {
            if (i > 0) body += ',';
            body += all[i]->Line();
        }
        body += "]}";
        SendJson(res, 200, body);
    }

    std::optional<size_t> ScaleOf(const std::string& name, Response& res) {
        auto i = store.Find(name);
        if (!i) SendError(res, 404, "no scale named \"" + name + "\"", {{"scale", name}});
        return i;
    }

    void Scale(const Request& req, Response& res) {
        const std::string name = req.matches[1];
        auto i = ScaleOf(name, res);
        if (!i) return;
        const std::string stable = req.has_param("stable") ? req.get_param_value("stable") : "";
        long count = 3, timeoutMs = 10000;
        if (req.has_param("count")) {
            auto n = Digits(req.get_param_value("count"));
            if (!n || *n < 1 || *n > 100)
                return SendError(res, 400, "count must be a whole number from 1 to 100");
            count = *n;
        }
        if (req.has_param("timeout_ms")) {
            auto n = Digits(req.get_param_value("timeout_ms"));
            if (!n || *n > 60000)
                return SendError(res, 400, "timeout_ms must be a whole number from 0 to 60000");
            timeoutMs = *n;
        }
        if (stable.empty() || stable == "false") {
            SendJson(res, 200, std::string(store.Latest(*i)->Line()));
            return;
        }
        if (stable != "true") return SendError(res, 400, "stable must be true or false");
        struct Waiting { // counts this request among the waiting ones while it waits
            std::atomic<int>& n;
            ~Waiting() { --n; }
        } waiting{stableWaits};
        if (++stableWaits > kMaxStableWaits) {
            res.set_header("Retry-After", "1");
            return SendError(res, 503, "too many requests are waiting for a settled weight");
        }
        StableRead(*i, static_cast<size_t>(count), std::chrono::milliseconds(timeoutMs), res);
    }

    // Waits until `count` consecutive readings (the current one first) settle on one net.
    void StableRead(size_t scale, size_t count, std::chrono::milliseconds timeout, Response& res) {
        const auto deadline = Clock::now() + timeout;
        uint64_t cursor = 0;
        ReadingPtr last = store.Snapshot(scale, cursor).front();
        size_t run = 0;
        std::optional<double> net;
        auto take = [&](const ReadingPtr& r) {
            last = r;
            if (!r->settles) {
                run = 0;
            } else if (run > 0 && r->net == net) {
                ++run;
            } else {
                run = 1;
                net = r->net;
            }
        };
        take(last);
        Store::Taken t;
        while (run < count) {
            if (Clock::now() >= deadline) {
                SendJson(res, 504, std::string(last->Line()));
                return;
            }
            t.Clear();
            store.Take(scale, cursor, deadline, t);
            if (t.closed) return SendError(res, 503, "the gateway is stopping");
            if (t.lost > 0) run = 0; // readings were missed: the run is not known to be unbroken
            for (const ReadingPtr& r : t.readings) {
                take(r);
                if (run >= count) break;
            }
        }
        SendJson(res, 200, std::string(last->Line()));
    }

    // ---- event streams ---------------------------------------------------------------

    void Events(const Request&, Response& res, size_t feed) {
        if (++sseClients > cfg.gateway.sseMaxClients) {
            --sseClients;
            res.set_header("Retry-After", "5");
            return SendError(res, 503,
                             "too many event-stream clients (at most " +
                                 std::to_string(cfg.gateway.sseMaxClients) + ")");
        }
        res.set_header("Cache-Control", "no-cache");
        res.set_header("X-Accel-Buffering", "no");
        res.set_chunked_content_provider(
            "text/event-stream", [this, feed](size_t, DataSink& sink) { return Pump(feed, sink); },
            [this](bool) { --sseClients; });
    }

    bool Write(DataSink& sink, const std::string& text) {
        return !text.empty() && sink.write(text.data(), text.size());
    }

    // An event stream: the current readings first, then each new one as it comes; a comment
    // when nothing was sent for kKeepAlive. Returns (false) only when the client has gone or
    // the store closes: returning to the server's loop after each reading would cost every
    // client a few more system calls per reading.
    bool Pump(size_t feed, DataSink& sink) {
        uint64_t cursor = 0;
        std::string out = "retry: 3000\n\n";
        for (const ReadingPtr& r : store.Snapshot(feed, cursor))
            out += r->event;
        if (!Write(sink, out)) return false;
        auto lastWrite = Clock::now();
        auto nextCheck = OnTheSecond(lastWrite + kAliveCheck);
        Store::Taken t;
        for (;;) {
            t.Clear();
            store.Take(feed, cursor, std::min(nextCheck, OnTheSecond(lastWrite + kKeepAlive)), t);
            if (t.closed) {
                sink.done();
                return true;
            }
            if (!t.readings.empty() && Clock::now() < lastWrite + kBatch) {
                std::this_thread::sleep_until(lastWrite + kBatch);
                store.Take(feed, cursor, Clock::now(), t);
            }
            out.clear();
            if (t.lost > 0)
                out += ": " + std::to_string(t.lost) +
                       " readings skipped: the client reads too slowly\n\n";
            for (const ReadingPtr& r : t.readings)
                out += r->event;
            const auto now = Clock::now();
            if (out.empty() && now >= OnTheSecond(lastWrite + kKeepAlive)) out = ": keep-alive\n\n";
            if (!out.empty()) {
                // A write tells whether the client is still there: the next check is due only
                // after a while without writes.
                if (!Write(sink, out)) return false;
                lastWrite = now;
                nextCheck = OnTheSecond(now + kAliveCheck);
            } else if (now >= nextCheck) {
                if (!sink.is_writable()) return false; // the client has gone away
                nextCheck = OnTheSecond(now + kAliveCheck);
            }
        }
    }

    // ---- converters --------------------------------------------------------------------

    std::optional<size_t> ConverterOf(const std::string& name, Response& res) {
        for (size_t i = 0; i < cfg.converters.size(); ++i)
            if (cfg.converters[i].name == name) return i;
        SendError(res, 404, "no converter named \"" + name + "\"", {{"converter", name}});
        return std::nullopt;
    }

    // Whether a write may go on; when not, the answer is set and the refusal logged.
    bool MayWrite(const Request& req, Response& res) {
        const std::string who = req.method + " " + req.path + " from " + req.remote_addr;
        if (cfg.gateway.token) {
            const std::string h = req.get_header_value("Authorization");
            const size_t blank = h.find(' ');
            const bool bearer = blank != std::string::npos && Lower(h.substr(0, blank)) == "bearer";
            if (!bearer) {
                res.set_header("WWW-Authenticate", "Bearer realm=\"tarvel-gateway\"");
                Log("refused " + who + ": no bearer token");
                SendError(res, 401, "this request needs \"Authorization: Bearer <token>\"");
                return false;
            }
            if (!SameSecret(Trim(h.substr(blank + 1)), *cfg.gateway.token)) {
                Log("refused " + who + ": wrong token");
                SendError(res, 403, "wrong token");
                return false;
            }
            return true;
        }
        if (!cfg.gateway.http.loopback) {
            Log("refused " + who + ": no token is configured and the gateway listens on " +
                cfg.gateway.http.Text() + ", which is not a loopback address");
            SendError(res, 403,
                      "writes are refused: no token is configured and the gateway does not "
                      "listen on a loopback address");
            return false;
        }
        return true;
    }

    // The answer for an exchange that did not end with a reply.
    bool Failed(const DioOutcome& o, const std::string& name, Response& res) {
        Json extra = {{"converter", name}};
        switch (o.kind) {
        case DioOutcome::Done:
            return false;
        case DioOutcome::Unreachable:
            SendError(res, 502, "the converter refused the connection or did not accept it in time",
                      extra);
            break;
        case DioOutcome::NoAnswer:
            SendError(res, 502, "the converter did not answer in time", extra);
            break;
        case DioOutcome::Busy:
            res.set_header("Retry-After", "5");
            SendError(res, 503, "the converter is busy with earlier requests", extra);
            break;
        case DioOutcome::Stopping:
            SendError(res, 503, "the gateway is stopping", extra);
            break;
        }
        return true;
    }

    void Inputs(const Request& req, Response& res) {
        const std::string name = req.matches[1];
        auto i = ConverterOf(name, res);
        if (!i) return;
        const DioOutcome o = dio.Run(*i, "IN");
        if (Failed(o, name, res)) return;
        auto value = InputValue(o);
        if (!value)
            return SendError(res, 502, "the converter's reply holds no input value",
                             {{"converter", name}});
        Json j = {{"converter", name}, {"value", *value}, {"bits", InputBits(*value)}};
        SendJson(res, 200, j.dump());
    }

    void Outputs(const Request& req, Response& res, const std::string& name,
                 const std::string& command, const std::string& what) {
        auto i = ConverterOf(name, res);
        if (!i) return;
        const DioOutcome o = dio.Run(*i, command);
        Log(name + ": " + what + " (" + req.remote_addr + "): " + OutcomeText(o.kind));
        if (Failed(o, name, res)) return;
        SendJson(res, 200, Json({{"converter", name}, {"result", 0}}).dump());
    }

    void OutputBit(const Request& req, Response& res) {
        if (!MayWrite(req, res)) return;
        const std::string name = req.matches[1];
        if (!ConverterOf(name, res)) return;
        auto bit = Digits(req.matches[2]);
        if (!bit || *bit > 7) return SendError(res, 400, "the output bit must be 0 to 7");
        const std::string body = Lower(Trim(req.body));
        bool on;
        if (body == "on" || body == "1")
            on = true;
        else if (body == "off" || body == "0")
            on = false;
        else
            return SendError(res, 400, "the body must be on or off");
        Outputs(req, res, name, "OB" + std::string(on ? "1" : "0") + std::to_string(*bit),
                "output " + std::to_string(*bit) + (on ? " on" : " off"));
    }

    void OutputPort(const Request& req, Response& res) {
        if (!MayWrite(req, res)) return;
        const std::string name = req.matches[1];
        if (!ConverterOf(name, res)) return;
        const Json body = Json::parse(req.body, nullptr, false);
        const char* shape = "the body must be {\"value\":N} with N a whole number from 0 to 255";
        if (!body.is_object() || body.size() != 1 || !body.contains("value"))
            return SendError(res, 400, shape);
        const Json& v = body["value"];
        if (!v.is_number_integer() || v.get<int64_t>() < 0 || v.get<int64_t>() > 255)
            return SendError(res, 400, shape);
        const int value = static_cast<int>(v.get<int64_t>());
        Outputs(req, res, name, "OP" + std::to_string(value), "outputs " + std::to_string(value));
    }

    void Converters(const Request&, Response& res) {
        Json list = Json::array();
        for (const ConverterEntry& c : cfg.converters)
            list.push_back({{"name", c.name}, {"address", c.address}});
        SendJson(res, 200, Json({{"gateway", cfg.gateway.name}, {"converters", list}}).dump());
    }

    // ---- metrics and health -------------------------------------------------------------

    void Metrics(const Request&, Response& res) {
        std::string m;
        auto head = [&](const char* name, const char* type, const char* help) {
            m +=
                std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
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
        const Counter counters[] = {
            {"tarvel_scale_frames_total", "Frames decoded.", &live::ScaleCounters::frames},
            {"tarvel_scale_decode_failures_total", "Frames or lines that did not decode.",
             &live::ScaleCounters::dropped},
            {"tarvel_scale_reconnects_total", "Connections or ports opened again.",
             &live::ScaleCounters::reconnects},
            {"tarvel_scale_received_bytes_total", "Bytes received from the indicator.",
             &live::ScaleCounters::bytes},
        };
        for (const Counter& c : counters) {
            head(c.name, "counter", c.help);
            for (size_t i = 0; i < store.Size(); ++i) {
                const live::ScaleCounters* sc = this->counters ? this->counters(i) : nullptr;
                m +=
                    c.name + label(i) + " " + std::to_string(sc ? (sc->*c.field).load() : 0) + "\n";
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
        head("tarvel_gateway_sse_clients", "gauge", "Event-stream clients connected.");
        m += "tarvel_gateway_sse_clients " + std::to_string(sseClients.load()) + "\n";
        head("tarvel_gateway_sse_clients_max", "gauge", "Event-stream clients allowed at once.");
        m += "tarvel_gateway_sse_clients_max " + std::to_string(cfg.gateway.sseMaxClients) + "\n";
        {
            std::lock_guard lock(poolMu);
            if (pool != nullptr) {
                head("tarvel_gateway_http_workers", "gauge", "HTTP worker threads.");
                m += "tarvel_gateway_http_workers " + std::to_string(pool->Threads()) + "\n";
                head("tarvel_gateway_http_waiting_connections", "gauge",
                     "Connections waiting for a free HTTP worker.");
                m += "tarvel_gateway_http_waiting_connections " + std::to_string(pool->Waiting()) +
                     "\n";
            }
        }
        head("tarvel_gateway_dio_exchanges_total", "counter",
             "Exchanges with the converters' IO ports.");
        m += "tarvel_gateway_dio_exchanges_total " + std::to_string(dio.Exchanges()) + "\n";
        res.set_content(m, "text/plain; version=0.0.4; charset=utf-8");
    }

    // ---- cross-origin requests ------------------------------------------------------------

    // The origin to allow for this request, or empty.
    std::string AllowedOrigin(const Request& req) const {
        if (cfg.gateway.corsOrigins.empty() || !req.has_header("Origin")) return {};
        const std::string origin = req.get_header_value("Origin");
        for (const std::string& o : cfg.gateway.corsOrigins)
            if (o == "*" || o == origin) return origin;
        return {};
    }
};

HttpServer::HttpServer(const Config& cfg, Store& store, DioWorkers& dio, CountersOf counters)
    : impl_(std::make_unique<Impl>(cfg, store, dio, std::move(counters))) {
    Routes();
}

HttpServer::~HttpServer() {
    Stop(std::chrono::seconds(10));
}

void HttpServer::Routes() {
    Impl& m = *impl_;
    Listener& s = m.svr;
    s.Get("/", [](const Request&, Response& res) {
        res.set_header("Cache-Control", "no-cache");
        res.set_content(reinterpret_cast<const char*>(kPageHtml), kPageHtmlSize,
                        "text/html; charset=utf-8");
    });
    s.Get("/api/scales", [&m](const Request& q, Response& r) { m.Scales(q, r); });
    s.Get(R"(/api/scales/([^/]+))", [&m](const Request& q, Response& r) { m.Scale(q, r); });
    s.Get(R"(/api/scales/([^/]+)/events)", [&m](const Request& q, Response& r) {
        const std::string name = q.matches[1];
        if (auto i = m.ScaleOf(name, r)) m.Events(q, r, *i);
    });
    s.Get("/api/events", [&m](const Request& q, Response& r) { m.Events(q, r, Store::kAll); });
    s.Get("/api/converters", [&m](const Request& q, Response& r) { m.Converters(q, r); });
    s.Get(R"(/api/converters/([^/]+)/inputs)",
          [&m](const Request& q, Response& r) { m.Inputs(q, r); });
    s.Put(R"(/api/converters/([^/]+)/outputs/([^/]+))",
          [&m](const Request& q, Response& r) { m.OutputBit(q, r); });
    s.Put(R"(/api/converters/([^/]+)/outputs)",
          [&m](const Request& q, Response& r) { m.OutputPort(q, r); });
    s.Get("/metrics", [&m](const Request& q, Response& r) { m.Metrics(q, r); });
    s.Get("/healthz", [&m](const Request&, Response& r) {
        SendJson(r, 200, Json({{"status", "ok"}, {"gateway", m.cfg.gateway.name}}).dump());
    });
    s.Options(".*", [&m](const Request& q, Response& r) {
        r.status = 204;
        const std::string allow = AllowedMethods(q.path);
        if (!allow.empty()) r.set_header("Allow", allow + ", OPTIONS");
        if (!m.AllowedOrigin(q).empty()) {
            r.set_header("Access-Control-Allow-Methods", "GET, HEAD, PUT, OPTIONS");
            r.set_header("Access-Control-Allow-Headers", "Authorization, Content-Type");
            r.set_header("Access-Control-Max-Age", "600");
        }
    });
    s.set_post_routing_handler([&m](const Request& q, Response& r) {
        const std::string origin = m.AllowedOrigin(q);
        if (!origin.empty()) {
            r.set_header("Access-Control-Allow-Origin", origin);
            r.set_header("Vary", "Origin");
        }
    });
    s.set_error_handler(httplib::Server::HandlerWithResponse([](const Request& q, Response& r) {
        if (!r.body.empty() || r.content_provider_)
            return httplib::Server::HandlerResponse::Unhandled;
        const std::string allow = AllowedMethods(q.path);
        const bool allowed = allow.find(q.method) != std::string::npos;
        if ((r.status == 404 || r.status == 400) && !allow.empty() && !allowed) {
            r.set_header("Allow", allow);
            SendError(r, 405, q.method + " is not allowed here (use " + allow + ")");
        } else if (r.status == 404) {
            SendError(r, 404, "no such resource: " + q.path);
        } else if (r.status == 413) {
            SendError(r, 413, "the request body is larger than 4096 bytes");
        } else if (r.status == 400) {
            SendError(r, 400, "malformed request");
        } else {
            SendError(r, r.status, "request failed");
        }
        return httplib::Server::HandlerResponse::Handled;
    }));
    s.set_exception_handler([](const Request&, Response& r, std::exception_ptr) {
        SendError(r, 500, "internal error");
    });
    s.set_payload_max_length(4096);
    s.set_read_timeout(5);
    s.set_write_timeout(5);
    s.set_keep_alive_timeout(5);
    s.set_keep_alive_max_count(100);
    s.set_tcp_nodelay(true);
    s.set_socket_options([](socket_t sock) {
        // A restarted gateway binds its port again at once; a second gateway on the same
        // port is refused.
        int yes = 1;
#ifdef _WIN32
        setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes),
                   sizeof yes);
#else
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof yes);
#endif
    });
    const size_t workers = m.cfg.gateway.sseMaxClients + kOtherWorkers;
    s.new_task_queue = [&m, workers] {
        auto* p = new WorkerPool(8, workers, std::chrono::seconds(30));
        std::lock_guard lock(m.poolMu);
        m.pool = p;
        return p;
    };
    if (m.cfg.gateway.http.ipv6) s.set_address_family(AF_INET6);
}

bool HttpServer::Bind(std::string& error) {
    Impl& m = *impl_;
    const ListenAddress& a = m.cfg.gateway.http;
    if (!m.svr.bind_to_port(a.host, a.port)) {
        const int err = errno;
        error = "cannot listen on " + a.Text() + ": " + std::strerror(err);
        return false;
    }
    // Many clients connecting at once (a browser wall, a benchmark) must not be turned away
    // by a short accept queue.
    ::listen(m.svr.Socket(), 1024);
    return true;
}

void HttpServer::Serve() {
    Impl& m = *impl_;
    m.serving = true;
    for (;;) {
        m.svr.listen_after_bind();
        {
            std::lock_guard lock(m.poolMu);
            m.pool = nullptr;
        }
        if (m.stopping) break;
        Log("the listener on " + m.cfg.gateway.http.Text() + " failed; opening it again");
        std::string error;
        while (!m.stopping && !Bind(error)) {
            Log(error);
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        if (m.stopping) break;
    }
    m.serving = false;
}

bool HttpServer::Stop(std::chrono::milliseconds grace) {
    Impl& m = *impl_;
    m.stopping = true;
    // The server may not have started listening yet: stop it until Serve() has returned.
    const auto until = Clock::now() + grace;
    do {
        m.svr.stop();
        if (!m.serving) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (Clock::now() < until);
    return !m.serving;
}

} // namespace gateway
