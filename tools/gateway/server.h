// The gateway's HTTP/1.1 server: one event loop (Boost.Asio) serves every connection, and
// Boost.Beast's parser reads the requests. It knows nothing of scales or converters: it reads
// a request within its limits, hands it to one handler, and writes what the handler answers,
// now or later, or streams what a stream source gives it.
//
// What it enforces, whatever a client sends (Limits, below):
// - the request line, each header line, the number of header lines and the whole head are
//   bounded while they are read; so is the body, chunked or not;
// - a request must arrive whole (head and body) within its time from its first byte, and a
//   connection may stay idle before a request only for its idle time;
// - a response (or a stream's write) that the client takes nothing of for the write time ends
//   its connection;
// - connections per client address and in all are bounded: a connection beyond a bound takes
//   the place of the one of that address (or of anyone) that has waited longest for a request,
//   or, when none waits, is answered 503 and closed at once;
// - requests that come one after the other on a connection (pipelined) are answered in order.
// An idle connection costs a registration with the system's readiness wait and no buffer.
// Everything runs on the thread that runs the io_context; Reply may be used from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace boost::asio {
class io_context;
}

namespace gateway::web {

struct Limits {
    size_t requestLine = 8192;                   // method, target and version
    size_t headerLine = 8192;                    // one "Name: value" line
    size_t headerCount = 100;                    // header lines of one request
    size_t head = 16384;                         // the request line and every header line together
    size_t body = 4096;                          // the body once decoded (chunked or not)
    std::chrono::milliseconds requestTime{5000}; // from a request's first byte to its last
    std::chrono::milliseconds idleTime{5000};    // before a request, on a connection idle
    std::chrono::milliseconds writeTime{5000};   // a write that the client takes nothing of
    size_t requestsPerConnection = 100;
    size_t perAddress = 1064; // connections of one client address at once
    size_t total = 5096;      // connections at once
};

struct Request {
    std::string method; // as sent: "GET", "PUT", ...
    std::string target; // as sent, not decoded
    int version = 11;   // 10 or 11
    std::vector<std::pair<std::string, std::string>> fields;
    std::string body;
    std::string remote; // the client's address ("127.0.0.1", "::1")

    // The value of the first field of that name (any case), or null.
    const std::string* Header(std::string_view name) const;
    // The target's path (before any '?') and its query (after it), not decoded.
    std::string_view Path() const;
    std::string_view Query() const;
};

struct Response {
    int status = 200;
    std::string contentType; // none when empty
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // When set, sent instead of `body`: memory that outlives the server (the page).
    std::string_view staticBody;
    bool close = false; // close the connection after this answer
};

// What a stream sends at one time: pieces of text held alive by `hold` until written.
struct StreamOut {
    struct Piece {
        std::shared_ptr<const void> hold;
        std::string_view text;
    };
    std::vector<Piece> pieces;
    bool end = false; // the stream ends after these pieces
    size_t Size() const;
    void Add(std::shared_ptr<const void> hold, std::string_view text);
    void Add(std::string text); // a text of its own
    void Clear();
};

// The source of an event stream, asked on the server's thread for what to send next: when
// the stream starts, after Server::Kick(), after its previous write ended, and with
// `quiet` true when it has sent nothing for the stream's keep-alive time. It is destroyed,
// on the server's thread, when the stream ends.
class StreamSource {
  public:
    virtual ~StreamSource() = default;
    virtual void Next(StreamOut& out, bool quiet) = 0;
};

class Connection;

// The answer to one request: used once (Send or Stream), from any thread. One that is
// dropped unused answers 500, so that no connection waits for an answer that never comes.
class Reply {
  public:
    Reply() = default;
    Reply(Reply&&) noexcept = default;
    Reply& operator=(Reply&&) noexcept;
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
    ~Reply();

    void Send(Response r);
    // Answers `head` (status 200, chunked) and then streams what `source` gives.
    void Stream(Response head, std::unique_ptr<StreamSource> source);
    bool Used() const { return !conn_; }

  private:
    friend class Connection;
    explicit Reply(std::shared_ptr<Connection> c) : conn_(std::move(c)) {}
    std::shared_ptr<Connection> conn_;
};

// Counters for /metrics.
struct ServerStats {
    size_t connections = 0; // open now
    size_t streams = 0;     // of them, event streams
    uint64_t refused = 0;   // turned away at a limit (503 and closed)
    uint64_t dropped = 0;   // closed to make room for a newer connection
};

class Server {
  public:
    using Handler = std::function<void(Request&&, Reply)>;

    // The handler runs on the loop's thread for every whole request; it must not block.
    Server(boost::asio::io_context& loop, Limits limits, Handler handler);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Listens on host:port with the system's largest backlog; false with the reason in
    // `error`. Any thread, before the loop runs or on it.
    bool Listen(const std::string& host, int port, std::string& error);
    // Runs on the loop's thread before the streams are asked for what is new, as soon as the
    // loop can after a Kick().
    void SetKickHook(std::function<void()> hook);
    // Something waits on every Kick() (the hook's owner says so on the loop's thread): Kicks
    // run the hook even while no stream is open.
    void SetEager(bool eager);
    // Event streams have something new: each is asked for it as soon as the loop can, and
    // what was published before the Kick goes out in one write per stream (the gateway kicks
    // once per pass of the live core, which takes the frames of many scales). Any thread;
    // cheap when called often: a Kick while one is pending, or while no stream is open and
    // nothing is eager, costs one atomic operation and wakes nobody.
    void Kick();
    // Ends the server within `grace`: no new connections; connections waiting for a request
    // close at once; streams end; answers under way may still be written until `grace`; then
    // every connection closes. Returns once all is closed (or the loop is not
    // running). Not on the loop's thread.
    void Stop(std::chrono::milliseconds grace);

    ServerStats Stats() const; // any thread

    static constexpr std::chrono::seconds kStreamKeepAlive{15};

  private:
    friend class Connection;
    friend class Reply;
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

} // namespace gateway::web
