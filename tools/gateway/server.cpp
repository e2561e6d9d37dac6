#include "server.h"

#include "log.h"

// Before Asio: Boost 1.74's asio/awaitable.hpp uses std::exchange without including <utility>,
// which GCC 12's headers no longer bring in by the way.
#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
// GCC 12 with the sanitizers sees boost::optional's storage in Beast's parser as maybe used
// uninitialised once inlined here; it is not (boost::none carries no value to read).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <boost/beast/http/basic_parser.hpp>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/status.hpp>

#include <algorithm>
#include <array>
#include <cstdio>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace gateway::web {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;

namespace {

// How often deadlines are looked at: every limit in time holds to within this.
constexpr auto kSweep = std::chrono::milliseconds(250);
// After the last answer of a connection, what the client still sends is read and dropped for
// at most this long (and this much), so that closing with unread bytes does not reset the
// connection before the client has read the answer.
constexpr auto kLinger = std::chrono::seconds(2);
constexpr size_t kLingerBytes = 64 * 1024;
// An event-stream client sends nothing after its request; this much is tolerated.
constexpr size_t kStreamInputLimit = 4096;
// A stream's write buffer of more than this is let go after its write.
constexpr size_t kWireKept = 16 * 1024;
// Accepting again after the process ran out of file descriptors.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

bool IsControl(unsigned char c) {
    return (c < 0x20 && c != '\t') || c == 0x7f;
}

bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string ErrorJson(const std::string& text) {
    return "{\"error\":\"" + text + "\"}"; // texts of this file only: nothing to escape
}

// Beast's parser with the limits checked in its callbacks, as each part is parsed, filling a
// Request. The whole head is held at most `Limits::head` bytes (Beast's header limit).
class RequestParser final : public bhttp::basic_parser<true> {
  public:
    RequestParser(const Limits& l, Request& r) : limits_(l), req_(r) {
        header_limit(static_cast<std::uint32_t>(l.head));
        body_limit(l.body);
        eager(true);
    }

    int status = 0; // the answer to a request refused here, with its text
    std::string text;
    bool sawRequestLine = false;
    bool expectContinue = false;

  private:
    void Fail(int st, std::string t, error_code& ec) {
        status = st;
        text = std::move(t);
        ec = bhttp::error::bad_value;
    }

    void on_request_impl(bhttp::verb, beast::string_view method, beast::string_view target,
                         int version, error_code& ec) override {
        sawRequestLine = true;
        // "METHOD SP target SP HTTP/1.1 CRLF"
        if (method.size() + target.size() + 12 > limits_.requestLine)
            return Fail(414,
                        "the request line is longer than " + std::to_string(limits_.requestLine) +
                            " bytes",
                        ec);
        for (char c : target)
            if (IsControl(static_cast<unsigned char>(c)))
                return Fail(400, "the request line holds a control character", ec);
        req_.method.assign(method.data(), method.size());
        req_.target.assign(target.data(), target.size());
        req_.version = version;
    }

    void on_response_impl(int, beast::string_view, int, error_code&) override {}

    void on_field_impl(bhttp::field, beast::string_view name, beast::string_view value,
                       error_code& ec) override {
        if (req_.fields.size() >= limits_.headerCount)
            return Fail(431,
                        "the request has more than " + std::to_string(limits_.headerCount) +
                            " header lines",
                        ec);
        if (name.size() + value.size() + 4 > limits_.headerLine)
            return Fail(431,
                        "a header line is longer than " + std::to_string(limits_.headerLine) +
                            " bytes",
                        ec);
        for (char c : value)
            if (IsControl(static_cast<unsigned char>(c)))
                return Fail(400, "a header holds a control character", ec);
        req_.fields.emplace_back(std::string(name.data(), name.size()),
                                 std::string(value.data(), value.size()));
        if (SameText({name.data(), name.size()}, "Expect") &&
            SameText({value.data(), value.size()}, "100-continue"))
            expectContinue = true;
    }

    void on_header_impl(error_code&) override {}

    void on_body_init_impl(const boost::optional<std::uint64_t>& length, error_code& ec) override {
        if (length && *length > limits_.body) return TooLarge(ec);
        if (length) req_.body.reserve(static_cast<size_t>(*length));
    }

    size_t on_body_impl(beast::string_view body, error_code& ec) override {
        if (req_.body.size() + body.size() > limits_.body) {
            TooLarge(ec);
            return 0;
        }
        req_.body.append(body.data(), body.size());
        return body.size();
    }

    void on_chunk_header_impl(std::uint64_t size, beast::string_view, error_code& ec) override {
        if (size > limits_.body - req_.body.size()) TooLarge(ec);
    }

    size_t on_chunk_body_impl(std::uint64_t, beast::string_view body, error_code& ec) override {
        return on_body_impl(body, ec);
    }

    void on_finish_impl(error_code&) override {}

    void TooLarge(error_code& ec) {
        Fail(413, "the request body is larger than " + std::to_string(limits_.body) + " bytes", ec);
    }

    const Limits& limits_;
    Request& req_;
};

} // namespace

// ---- requests and stream output ------------------------------------------------------------

const std::string* Request::Header(std::string_view name) const {
    for (const auto& [n, v] : fields)
        if (SameText(n, name)) return &v;
    return nullptr;
}

std::string_view Request::Path() const {
    const std::string_view t(target);
    return t.substr(0, t.find('?'));
}

std::string_view Request::Query() const {
    const size_t q = target.find('?');
    return q == std::string::npos ? std::string_view() : std::string_view(target).substr(q + 1);
}

size_t StreamOut::Size() const {
    size_t n = 0;
    for (const Piece& p : pieces)
        n += p.text.size();
    return n;
}

void StreamOut::Add(std::shared_ptr<const void> hold, std::string_view text) {
    if (!text.empty()) pieces.push_back({std::move(hold), text});
}

void StreamOut::Add(std::string text) {
    auto s = std::make_shared<const std::string>(std::move(text));
    const std::string_view v(*s);
    Add(std::move(s), v);
}

void StreamOut::Clear() {
    pieces.clear();
    end = false;
}

// ---- the server's state ----------------------------------------------------------------------

struct Server::Impl : std::enable_shared_from_this<Server::Impl> {
    asio::io_context& loop;
    const Limits limits;
    const Handler handler;
    std::function<void()> kickHook;
    tcp::acceptor acceptor;
    asio::steady_timer sweep, pause, stopTimer;

    std::list<std::shared_ptr<Connection>> conns;
    std::list<std::shared_ptr<Connection>> streams;
    std::unordered_map<std::string, size_t> perAddress;
    bool sweeping = false, stopping = false, acceptLogged = false;
    std::vector<std::shared_ptr<Connection>> flushList;

    // Kick() and the flushes. Bits of `kick`: kLook, a flush is posted to the loop (by what
    // set the bit), so a Kick posts nothing more; kAsleep, at the last flush no stream was
    // open and nothing was eager, so a Kick posts nothing (a stream that starts takes what is
    // there itself, and wakes the kicks). Kick() and the flush, before it asks the streams,
    // each make a read-modify-write of `kick`, so that what was published before a Kick is
    // seen by the flush that follows it.
    static constexpr uint32_t kLook = 1, kAsleep = 2;
    std::atomic<uint32_t> kick{0};
    std::atomic<bool> eager{false};   // SetEager
    std::atomic<bool> stopped{false}; // the server is gone or stopped: Reply posts nothing more
    std::atomic<size_t> statConns{0}, statStreams{0};
    std::atomic<uint64_t> refused{0}, dropped{0};

    std::mutex doneMu;
    std::condition_variable doneCv;
    bool done = false;
    std::thread::id loopThread{};

    Impl(asio::io_context& l, Limits lim, Handler h)
        : loop(l), limits(lim), handler(std::move(h)), acceptor(l), sweep(l), pause(l),
          stopTimer(l) {}

    void Accept();
    void OnAccept(const error_code& ec, tcp::socket s);
    void Refuse(tcp::socket& s);
    bool MakeRoom(const std::string* address);
    void Remove(Connection& c);
    void EnsureSweep();
    void Sweep();
    void PostKick();
    void Flush();
    void WakeKicks();
    void StartStop(std::chrono::milliseconds grace);
    void FinishStop();
};

// ---- one connection --------------------------------------------------------------------------

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    enum class State { Reading, Handling, Writing, Streaming, Lingering, Closed };

    Connection(std::shared_ptr<Server::Impl> srv, tcp::socket s, std::string address)
        : srv_(std::move(srv)), sock_(std::move(s)), address_(std::move(address)),
          buf_(srv_->limits.head + 8192) {}

    State state() const { return state_; }
    const std::string& address() const { return address_; }
    Clock::time_point phaseStart() const { return phaseStart_; }
    std::list<std::shared_ptr<Connection>>::iterator self, streamSelf;
    bool inStreams = false;

    void Start() {
        NewRequest(Clock::now());
        WaitRead();
    }

    // Ends the connection at once.
    void Close() {
        if (state_ == State::Closed) return;
        auto keep = shared_from_this();
        state_ = State::Closed;
        error_code ec;
        sock_.shutdown(tcp::socket::shutdown_both, ec);
        sock_.close(ec);
        source_.reset();
        srv_->Remove(*this);
    }

    void Answer(Response r) {
        if (state_ != State::Handling) return;
        WriteResponse(std::move(r));
    }

    Server::Impl& Owner() const { return *srv_; }

    void StartStream(Response head, std::shared_ptr<StreamSource> source) {
        if (state_ != State::Handling) return;
        if (headOnly_) {
            head.close = true;
            return WriteResponse(std::move(head));
        }
        state_ = State::Streaming;
        source_ = std::move(source);
        chunked_ = version_ >= 11;
        std::string& h = streamHead_;
        h = "HTTP/1.1 " + std::to_string(head.status) + " " + Reason(head.status) + "\r\n";
        for (const auto& [n, v] : head.headers)
            h += n + ": " + v + "\r\n";
        if (!head.contentType.empty()) h += "Content-Type: " + head.contentType + "\r\n";
        h += chunked_ ? "Transfer-Encoding: chunked\r\n\r\n" : "Connection: close\r\n\r\n";
        headPending_ = true;
        srv_->WakeKicks(); // before the stream's first look at what there is
        srv_->streams.push_back(shared_from_this());
        streamSelf = std::prev(srv_->streams.end());
        inStreams = true;
        ++srv_->statStreams;
        lastWrite_ = Clock::now();
        Pump(false);
        if (state_ == State::Streaming) WaitRead(); // to notice the client's close at once
    }

    // New readings may be there.
    void Kicked() {
        if (state_ != State::Streaming) return;
        if (writing_)
            kicked_ = true;
        else
            Pump(false);
    }

    // The server stops: a stream ends with its last chunk, a connection waiting for a request
    // closes now.
    void Stopping() {
        if (state_ == State::Reading || state_ == State::Lingering) return Close();
        if (state_ == State::Streaming && source_) {
            source_.reset();
            if (!writing_) {
                out_.Clear();
                out_.end = true;
                WriteStream();
            } else {
                endAfterWrite_ = true;
            }
        }
    }

    // Deadlines, looked at every kSweep.
    void Check(Clock::time_point now) {
        const Limits& l = srv_->limits;
        switch (state_) {
        case State::Reading:
            if (!gotFirst_ && now - phaseStart_ >= l.idleTime) return Close();
            if (gotFirst_ && now - firstByte_ >= l.requestTime)
                return Refuse(408, "the request did not arrive whole within " +
                                       std::to_string(l.requestTime.count() / 1000) + " s");
            return;
        case State::Writing:
            if (now - writeStart_ >= l.writeTime) Close();
            return;
        case State::Streaming:
            if (writing_ && now - writeStart_ >= l.writeTime) return Close();
            if (!writing_ && now - lastWrite_ >= Server::kStreamKeepAlive) Pump(true);
            return;
        case State::Lingering:
            if (now >= lingerEnd_) Close();
            return;
        case State::Handling:
        case State::Closed:
            return;
        }
    }

  private:
    static std::string Reason(int status) {
        const auto r = bhttp::obsolete_reason(bhttp::int_to_status(static_cast<unsigned>(status)));
        return r.empty() ? "Unknown" : std::string(r.data(), r.size());
    }

    void NewRequest(Clock::time_point now) {
        state_ = State::Reading;
        req_ = Request{};
        parser_ = std::make_unique<RequestParser>(srv_->limits, req_);
        phaseStart_ = now;
        gotFirst_ = buf_.size() > 0;
        firstByte_ = now;
        sent100_ = false;
    }

    void WaitRead() {
        sock_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](const error_code& ec) {
            self->OnReadable(ec);
        });
    }

    void OnReadable(const error_code& ec) {
        if (state_ == State::Closed) return;
        if (ec) return Close();
        switch (state_) {
        case State::Reading:
            return ReadRequest();
        case State::Streaming:
        case State::Lingering:
            return Drain();
        default:
            return; // not reading now: what comes waits for its turn
        }
    }

    void ReadRequest() {
        const size_t room = buf_.max_size() - buf_.size();
        if (room == 0) return Refuse(431, "the request head is too large");
        error_code ec;
        const size_t n = sock_.read_some(buf_.prepare(std::min<size_t>(room, 8192)), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) return WaitRead();
        if (ec || n == 0) return Close(); // closed by the client, or failed
        buf_.commit(n);
        if (!gotFirst_) {
            gotFirst_ = true;
            firstByte_ = Clock::now();
        }
        Parse();
    }

    // Reads and drops what a stream's client or a closing connection sends.
    void Drain() {
        char scrap[4096];
        error_code ec;
        const size_t n = sock_.read_some(asio::buffer(scrap), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) return WaitRead();
        if (ec || n == 0) return Close();
        drained_ += n;
        const size_t limit = state_ == State::Streaming ? kStreamInputLimit : kLingerBytes;
        if (drained_ > limit) return Close();
        WaitRead();
    }

    void Parse() {
        error_code ec;
        while (buf_.size() > 0 && !parser_->is_done()) {
            const size_t used = parser_->put(buf_.data(), ec);
            buf_.consume(used);
            if (ec == bhttp::error::need_more) {
                ec = {};
                break;
            }
            if (ec) return ParseFailed(ec);
            if (used == 0) break;
        }
        if (parser_->is_done()) return Dispatch();
        if (parser_->expectContinue && parser_->is_header_done() && !sent100_) {
            sent100_ = true; // a client that waits for it before sending the body
            static const char k100[] = "HTTP/1.1 100 Continue\r\n\r\n";
            error_code wec;
            sock_.write_some(asio::buffer(k100, sizeof k100 - 1), wec);
        }
        if (buf_.size() >= buf_.max_size()) return Refuse(431, "the request head is too large");
        WaitRead();
    }

    void ParseFailed(const error_code& ec) {
        if (parser_->status != 0) return Refuse(parser_->status, parser_->text);
        if (ec == bhttp::error::header_limit) {
            if (!parser_->sawRequestLine)
                return Refuse(414, "the request line is longer than " +
                                       std::to_string(srv_->limits.requestLine) + " bytes");
            return Refuse(431, "the request head is larger than " +
                                   std::to_string(srv_->limits.head) + " bytes");
        }
        if (ec == bhttp::error::body_limit)
            return Refuse(413, "the request body is larger than " +
                                   std::to_string(srv_->limits.body) + " bytes");
        Refuse(400, "malformed request");
    }

    // Answers a request that was not read whole with an error, then closes.
    void Refuse(int status, const std::string& text) {
        incomplete_ = true;
        state_ = State::Handling;
        Response r;
        r.status = status;
        r.contentType = "application/json";
        r.body = ErrorJson(text);
        r.close = true;
        WriteResponse(std::move(r));
    }

    void Dispatch() {
        state_ = State::Handling;
        ++served_;
        keepAlive_ = parser_->keep_alive();
        version_ = req_.version;
        headOnly_ = req_.method == "HEAD";
        Request req = std::move(req_);
        req.remote = address_;
        parser_.reset();
        if (buf_.size() == 0) buf_.shrink_to_fit(); // an idle connection holds no buffer
        try {
            srv_->handler(std::move(req), Reply(shared_from_this()));
        } catch (...) {
            // The Reply answered 500 when it was dropped.
        }
    }

    void WriteResponse(Response r) {
        const Limits& l = srv_->limits;
        close_ = r.close || incomplete_ || !keepAlive_ || srv_->stopping ||
                 served_ >= l.requestsPerConnection;
        std::string& h = outHead_;
        h = "HTTP/1.1 " + std::to_string(r.status) + " " + Reason(r.status) + "\r\n";
        for (const auto& [n, v] : r.headers)
            h += n + ": " + v + "\r\n";
        if (!r.contentType.empty()) h += "Content-Type: " + r.contentType + "\r\n";
        const std::string_view body =
            r.staticBody.empty() ? std::string_view(r.body) : r.staticBody;
        h += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        if (close_)
            h += "Connection: close\r\n";
        else
            h += (version_ < 11 ? "Connection: keep-alive\r\nKeep-Alive: timeout="
                                : "Keep-Alive: timeout=") +
                 std::to_string(l.idleTime.count() / 1000) +
                 ", max=" + std::to_string(l.requestsPerConnection - served_) + "\r\n";
        h += "\r\n";
        outBody_ = std::move(r.body);
        const std::string_view sent =
            r.staticBody.empty() ? std::string_view(outBody_) : r.staticBody;
        state_ = State::Writing;
        writeStart_ = Clock::now();
        std::array<asio::const_buffer, 2> bufs{asio::buffer(outHead_),
                                               headOnly_ ? asio::const_buffer()
                                                         : asio::buffer(sent.data(), sent.size())};
        asio::async_write(sock_, bufs, [self = shared_from_this()](const error_code& ec, size_t) {
            self->OnWritten(ec);
        });
    }

    void OnWritten(const error_code& ec) {
        if (state_ == State::Closed) return;
        if (ec) return Close();
        outHead_.clear();
        outBody_.clear();
        outBody_.shrink_to_fit();
        if (close_) {
            // What the client still sends (the rest of a refused request, requests after a
            // "Connection: close") is read and dropped a while: closing with unread bytes would
            // reset the connection, and the client might lose the answer.
            state_ = State::Lingering;
            lingerEnd_ = Clock::now() + kLinger;
            error_code e;
            sock_.shutdown(tcp::socket::shutdown_send, e);
            drained_ = 0;
            return WaitRead();
        }
        NewRequest(Clock::now());
        if (buf_.size() > 0)
            Parse(); // the next request came with this one (pipelined)
        else
            WaitRead();
    }

    void Pump(bool quiet) {
        if (state_ != State::Streaming || writing_ || !source_) return;
        out_.Clear();
        try {
            source_->Next(out_, quiet);
        } catch (...) {
            out_.Clear();
            out_.end = true;
        }
        if (out_.pieces.empty() && !out_.end && !headPending_) return;
        WriteStream();
    }

    // Writes what the stream has to send (its head, one chunk of every piece, the last
    // chunk) as one contiguous buffer, copied from the pieces, which are let go at once: one
    // send for the whole write, however many pieces (a gather of more than 16 buffers would
    // be cut into several). The send is tried at once; only what the socket does not take is
    // left to an asynchronous write, which the write time limits.
    void WriteStream() {
        std::string& w = wire_;
        w.clear();
        const size_t size = out_.Size();
        w.reserve((headPending_ ? streamHead_.size() : 0) + size + 32);
        if (headPending_) {
            w += streamHead_;
            headPending_ = false;
        }
        if (size > 0) {
            if (chunked_) {
                char hex[24];
                const int n = std::snprintf(hex, sizeof hex, "%zx\r\n", size);
                w.append(hex, static_cast<size_t>(n));
            }
            for (const StreamOut::Piece& p : out_.pieces)
                w += p.text;
            if (chunked_) w += "\r\n";
        }
        if (out_.end && chunked_) w += "0\r\n\r\n";
        out_.pieces.clear(); // copied: the readings are not held by this write
        if (w.empty()) {
            if (out_.end) Close(); // a stream without chunks ends with its connection
            return;
        }
        writeStart_ = Clock::now();
        error_code ec = asio::error::would_block;
        size_t sent = 0;
        // Only on a socket that cannot block the loop (set so when it was accepted).
        if (sock_.non_blocking()) sent = sock_.write_some(asio::buffer(w), ec);
        if (ec != asio::error::would_block && ec != asio::error::try_again &&
            (ec || sent == w.size()))
            return OnStreamWritten(ec);
        writing_ = true;
        asio::async_write(
            sock_, asio::buffer(w.data() + sent, w.size() - sent),
            [self = shared_from_this()](const error_code& e, size_t) { self->OnStreamWritten(e); });
    }

    void OnStreamWritten(const error_code& ec) {
        writing_ = false;
        if (state_ != State::Streaming) return;
        if (ec || out_.end) return Close();
        lastWrite_ = Clock::now();
        out_.Clear();
        // A large write (a stream's first, with every scale's reading) leaves no large buffer
        // behind on a connection that then writes one reading at a time.
        if (wire_.capacity() > kWireKept) {
            wire_.clear();
            wire_.shrink_to_fit();
        }
        if (endAfterWrite_) {
            out_.end = true;
            return WriteStream();
        }
        if (kicked_) {
            kicked_ = false;
            Pump(false);
        }
    }

    std::shared_ptr<Server::Impl> srv_;
    tcp::socket sock_;
    const std::string address_;
    State state_ = State::Reading;
    beast::flat_buffer buf_;
    Request req_;
    std::unique_ptr<RequestParser> parser_;
    Clock::time_point phaseStart_{}, firstByte_{}, writeStart_{}, lastWrite_{}, lingerEnd_{};
    bool gotFirst_ = false, sent100_ = false, incomplete_ = false, keepAlive_ = true;
    bool close_ = false, headOnly_ = false;
    int version_ = 11;
    size_t served_ = 0, drained_ = 0;
    std::string outHead_, outBody_;
    // An event stream.
    std::shared_ptr<StreamSource> source_;
    std::string streamHead_;
    StreamOut out_;
    std::string wire_; // the bytes of the write under way
    bool chunked_ = true, headPending_ = false, writing_ = false, kicked_ = false;
    bool endAfterWrite_ = false;
};

// ---- the server ------------------------------------------------------------------------------

void Server::Impl::Accept() {
    acceptor.async_accept([self = shared_from_this()](const error_code& ec, tcp::socket s) {
        self->OnAccept(ec, std::move(s));
    });
}

void Server::Impl::OnAccept(const error_code& ec, tcp::socket s) {
    if (stopping || !acceptor.is_open()) return;
    if (ec) {
        // A connection that went away before it was taken: the next one.
        if (ec == asio::error::connection_aborted) return Accept();
        // Out of file descriptors (or memory): make room, or wait a moment; never spin.
        const bool exhausted = ec == asio::error::no_descriptors ||
                               ec == asio::error::no_buffer_space || ec == asio::error::no_memory ||
                               ec.value() == ENFILE;
        const bool room = exhausted && MakeRoom(nullptr);
        if (!acceptLogged) {
            acceptLogged = true;
            Log("http: accepting a connection failed: " + ec.message() +
                (room ? "; the connection that waited longest for a request was closed" : ""));
        }
        if (room) return Accept();
        pause.expires_after(kAcceptPause);
        pause.async_wait([self = shared_from_this()](const error_code& e) {
            if (!e) self->Accept();
        });
        return;
    }
    acceptLogged = false;
    error_code e;
    const tcp::endpoint peer = s.remote_endpoint(e);
    if (e) return Accept(); // gone already
    asio::ip::address a = peer.address();
    if (a.is_v6() && a.to_v6().is_v4_mapped())
        a = asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
    std::string address = a.to_string();
    s.set_option(tcp::no_delay(true), e);
    s.non_blocking(true, e);
    bool ok = true;
    if (perAddress[address] >= limits.perAddress && !MakeRoom(&address)) ok = false;
    if (ok && conns.size() >= limits.total && !MakeRoom(nullptr)) ok = false;
    if (!ok) {
        if (perAddress[address] == 0) perAddress.erase(address);
        ++refused;
        Refuse(s);
        return Accept();
    }
    ++perAddress[address];
    auto c = std::make_shared<Connection>(shared_from_this(), std::move(s), std::move(address));
    conns.push_back(c);
    c->self = std::prev(conns.end());
    ++statConns;
    c->Start();
    EnsureSweep();
    Accept();
}

// Answers 503 without reading the request, then closes.
void Server::Impl::Refuse(tcp::socket& s) {
    static const std::string k503 = [] {
        const std::string body = ErrorJson("too many connections: try again later");
        return "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
               "Retry-After: 1\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    }();
    error_code ec;
    s.write_some(asio::buffer(k503), ec);
    s.shutdown(tcp::socket::shutdown_send, ec);
    char scrap[4096]; // what came already: closing with it unread would reset the connection
    s.read_some(asio::buffer(scrap), ec);
    s.close(ec);
}

// Closes the connection (of `address`, or of anyone) that has waited longest for a request.
bool Server::Impl::MakeRoom(const std::string* address) {
    Connection* oldest = nullptr;
    for (const auto& c : conns) {
        if (c->state() != Connection::State::Reading && c->state() != Connection::State::Lingering)
            continue;
        if (address != nullptr && c->address() != *address) continue;
        if (oldest == nullptr || c->phaseStart() < oldest->phaseStart()) oldest = c.get();
    }
    if (oldest == nullptr) return false;
    ++dropped;
    oldest->Close();
    return true;
}

void Server::Impl::Remove(Connection& c) {
    auto it = perAddress.find(c.address());
    if (it != perAddress.end() && --it->second == 0) perAddress.erase(it);
    if (c.inStreams) {
        c.inStreams = false;
        --statStreams;
        streams.erase(c.streamSelf);
    }
    --statConns;
    conns.erase(c.self); // may end `c`: its caller holds it
    if (stopping && conns.empty()) FinishStop();
}

void Server::Impl::EnsureSweep() {
    if (sweeping || conns.empty()) return;
    sweeping = true;
    sweep.expires_after(kSweep);
    sweep.async_wait([self = shared_from_this()](const error_code& ec) {
        self->sweeping = false;
        if (ec) return;
        self->Sweep();
        self->EnsureSweep();
    });
}

void Server::Impl::Sweep() {
    const auto now = Clock::now();
    for (auto it = conns.begin(); it != conns.end();) {
        const std::shared_ptr<Connection> c = *it++; // Check may remove it, and only it
        c->Check(now);
    }
}

void Server::Impl::PostKick() {
    asio::post(loop, [self = shared_from_this()] { self->Flush(); });
}

// Asks every stream for what is new. While streams are open (or something is eager), the
// next Kick posts again.
void Server::Impl::Flush() {
    const bool listened = !streams.empty() || eager.load();
    kick.exchange(listened ? 0 : kAsleep);
    if (kickHook) kickHook();
    flushList.assign(streams.begin(), streams.end());
    for (const auto& c : flushList)
        c->Kicked();
    flushList.clear();
}

// A stream starts, or something became eager: Kicks post again, and one is posted now for
// what came while they were asleep.
void Server::Impl::WakeKicks() {
    if ((kick.load() & kAsleep) == 0) return;
    kick.exchange(kLook);
    PostKick();
}

void Server::Impl::StartStop(std::chrono::milliseconds grace) {
    if (stopping) return;
    stopping = true;
    error_code ec;
    acceptor.close(ec);
    pause.cancel();
    for (auto it = conns.begin(); it != conns.end();) {
        const std::shared_ptr<Connection> c = *it++;
        c->Stopping();
    }
    if (conns.empty()) return FinishStop();
    stopTimer.expires_after(grace);
    stopTimer.async_wait([self = shared_from_this()](const error_code& e) {
        if (e) return;
        while (!self->conns.empty()) {
            const std::shared_ptr<Connection> c = self->conns.front();
            c->Close();
        }
        self->FinishStop();
    });
}

void Server::Impl::FinishStop() {
    stopped = true;
    sweep.cancel();
    stopTimer.cancel();
    std::lock_guard lock(doneMu);
    done = true;
    doneCv.notify_all();
}

// ---- the public side -----------------------------------------------------------------------

Reply& Reply::operator=(Reply&& o) noexcept {
    if (this != &o) {
        Reply unused(std::move(*this)); // answers 500 if it was not used
        conn_ = std::move(o.conn_);
    }
    return *this;
}

Reply::~Reply() {
    if (!conn_) return;
    try {
        Response r;
        r.status = 500;
        r.contentType = "application/json";
        r.body = ErrorJson("internal error");
        Send(std::move(r));
    } catch (...) {
    }
}

void Reply::Send(Response r) {
    if (!conn_) return;
    auto c = std::move(conn_);
    Server::Impl& srv = c->Owner();
    if (srv.stopped) return;
    asio::post(srv.loop, [c, r = std::move(r)]() mutable { c->Answer(std::move(r)); });
}

void Reply::Stream(Response head, std::unique_ptr<StreamSource> source) {
    if (!conn_) return;
    auto c = std::move(conn_);
    Server::Impl& srv = c->Owner();
    if (srv.stopped) return;
    // Shared: Asio's handlers must be copyable.
    std::shared_ptr<StreamSource> s(std::move(source));
    asio::post(srv.loop, [c, head = std::move(head), s = std::move(s)]() mutable {
        c->StartStream(std::move(head), std::move(s));
    });
}

Server::Server(asio::io_context& loop, Limits limits, Handler handler)
    : impl_(std::make_shared<Impl>(loop, limits, std::move(handler))) {}

Server::~Server() {
    // The loop has stopped (or never ran): nothing runs on it meanwhile.
    impl_->stopped = true;
    impl_->stopping = true;
    error_code ec;
    impl_->acceptor.close(ec);
    impl_->sweep.cancel();
    impl_->pause.cancel();
    impl_->stopTimer.cancel();
    while (!impl_->conns.empty()) {
        const std::shared_ptr<Connection> c = impl_->conns.front();
        c->Close();
    }
}

bool Server::Listen(const std::string& host, int port, std::string& error) {
    Impl& m = *impl_;
    error_code ec;
    const auto address = asio::ip::make_address(host, ec);
    const std::string where = (host.find(':') != std::string::npos ? "[" + host + "]" : host) +
                              ":" + std::to_string(port);
    auto fail = [&](const error_code& e) {
        error = "cannot listen on " + where + ": " + e.message();
        error_code ignored;
        m.acceptor.close(ignored);
        return false;
    };
    if (ec) return fail(ec);
    const tcp::endpoint ep(address, static_cast<unsigned short>(port));
    m.acceptor.open(ep.protocol(), ec);
    if (ec) return fail(ec);
#ifdef _WIN32
    // A second gateway on the same port is refused (Windows' SO_REUSEADDR would let it in).
    m.acceptor.set_option(
        asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>(true), ec);
#else
    // A restarted gateway binds its port again at once; a second one is still refused.
    m.acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
#endif
    m.acceptor.bind(ep, ec);
    if (ec) return fail(ec);
    // Many clients connecting at once (a browser wall, a benchmark) must not be turned away by
    // a short accept queue: the system's largest.
    m.acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) return fail(ec);
    m.Accept();
    return true;
}

void Server::SetKickHook(std::function<void()> hook) {
    impl_->kickHook = std::move(hook);
}

void Server::SetEager(bool eager) {
    impl_->eager = eager;
    if (eager) impl_->WakeKicks();
}

void Server::Kick() {
    Impl& m = *impl_;
    // While eager, the kicks never sleep: Flush() does not put them to sleep then, and
    // SetEager(true) wakes them.
    if ((m.kick.fetch_or(Impl::kLook) & (Impl::kLook | Impl::kAsleep)) == 0) m.PostKick();
}

void Server::Stop(std::chrono::milliseconds grace) {
    auto self = impl_;
    asio::post(self->loop, [self, grace] { self->StartStop(grace); });
    if (self->loop.stopped()) return;
    std::unique_lock lock(self->doneMu);
    self->doneCv.wait_for(lock, grace + std::chrono::milliseconds(500), [&] { return self->done; });
}

ServerStats Server::Stats() const {
    ServerStats s;
    s.connections = impl_->statConns.load();
    s.streams = impl_->statStreams.load();
    s.refused = impl_->refused.load();
    s.dropped = impl_->dropped.load();
    return s;
}

} // namespace gateway::web
