// The bytes of an event stream through a real socket: the response head, then one chunk per
// write holding every piece the source gave, whatever their number, then the last chunk.
#include "server.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace gateway::web {
namespace {

using namespace std::chrono_literals;

constexpr const char* kHost = "127.0.3.41";
constexpr int kPort = 18941;

// What the source gives, one batch per look: the test adds batches and kicks the server.
struct Script {
    std::mutex mu;
    std::deque<std::vector<std::string>> batches;
    bool endAfter = false; // the stream ends with the last batch
};

class ScriptSource final : public StreamSource {
  public:
    explicit ScriptSource(std::shared_ptr<Script> s) : s_(std::move(s)) {}
    void Next(StreamOut& out, bool) override {
        std::lock_guard lock(s_->mu);
        if (s_->batches.empty()) return;
        // Pieces held by a shared buffer, as the readings are.
        auto held = std::make_shared<std::vector<std::string>>(std::move(s_->batches.front()));
        s_->batches.pop_front();
        for (const std::string& p : *held)
            out.Add(held, p);
        out.end = s_->endAfter && s_->batches.empty();
    }

  private:
    std::shared_ptr<Script> s_;
};

std::string Chunk(const std::vector<std::string>& pieces) {
    std::string body;
    for (const std::string& p : pieces)
        body += p;
    char hex[24];
    std::snprintf(hex, sizeof hex, "%zx\r\n", body.size());
    return hex + body + "\r\n";
}

// Reads until `want` bytes came (or the peer closed, or 5 s passed).
std::string ReadBytes(int fd, size_t want) {
    std::string got;
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (got.size() < want && std::chrono::steady_clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buf[65536];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

bool PeerClosed(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) return false;
    char c;
    return ::recv(fd, &c, 1, 0) == 0;
}

TEST(gateway_server, StreamWritesAreChunksOfAllTheirPieces) {
    // Readings are several pieces each (an event is five): batches of one, of many (more
    // pieces than a gather's 16 buffers) and of large pieces (more than the socket takes at
    // once, so that the write goes on asynchronously).
    auto reading = [](int seq) {
        const std::string s = std::to_string(seq);
        return std::vector<std::string>{"event: reading\nid: a:", s, "\ndata: {\"seq\":", s,
                                        "}\n\n"};
    };
    std::vector<std::string> one = reading(1), many, large;
    for (int i = 2; i < 42; ++i)
        for (std::string& p : reading(i))
            many.push_back(std::move(p));
    for (int i = 0; i < 64; ++i)
        large.push_back(": " + std::string(16 * 1024, static_cast<char>('a' + i % 26)) + "\n\n");
    struct Case {
        const char* name;
        const char* version;
        std::vector<std::vector<std::string>> batches; // the first comes with the head
        bool end;
    };
    const std::vector<Case> cases = {
        {"one batch then more", "HTTP/1.1", {one, many, one, large, many}, false},
        {"a stream that ends", "HTTP/1.1", {many, one}, true},
        {"HTTP/1.0: no chunks, ends with the connection", "HTTP/1.0", {one, many, large}, true},
    };

    boost::asio::io_context loop;
    auto work = std::make_shared<Script>();
    std::shared_ptr<Script> current;
    std::mutex currentMu;
    Server server(loop, Limits{}, [&](Request&&, Reply reply) {
        Response head;
        head.contentType = "text/event-stream";
        head.headers.emplace_back("Cache-Control", "no-cache");
        std::lock_guard lock(currentMu);
        reply.Stream(std::move(head), std::make_unique<ScriptSource>(current));
    });
    std::string error;
    ASSERT_TRUE(server.Listen(kHost, kPort, error)) << error;
    std::thread runner([&] { loop.run(); });

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool chunked = std::string(c.version) == "HTTP/1.1";
        auto script = std::make_shared<Script>();
        script->batches.push_back(c.batches[0]);
        script->endAfter = c.end && c.batches.size() == 1;
        {
            std::lock_guard lock(currentMu);
            current = script;
        }
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(kPort);
        ::inet_pton(AF_INET, kHost, &sa.sin_addr);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        const std::string request =
            std::string("GET /s ") + c.version + "\r\nHost: " + kHost + "\r\n\r\n";
        ASSERT_EQ(::send(fd, request.data(), request.size(), 0),
                  static_cast<ssize_t>(request.size()));

        std::string want = "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: "
                           "text/event-stream\r\n";
        want += chunked ? "Transfer-Encoding: chunked\r\n\r\n" : "Connection: close\r\n\r\n";
        for (size_t b = 0; b < c.batches.size(); ++b) {
            if (b > 0) {
                std::lock_guard lock(script->mu);
                script->batches.push_back(c.batches[b]);
                script->endAfter = c.end && b + 1 == c.batches.size();
            }
            server.Kick();
            std::string expect;
            if (b == 0) expect = want;
            if (chunked) {
                expect += Chunk(c.batches[b]);
            } else {
                for (const std::string& p : c.batches[b])
                    expect += p;
            }
            if (chunked && c.end && b + 1 == c.batches.size()) expect += "0\r\n\r\n";
            const std::string got = ReadBytes(fd, expect.size());
            ASSERT_EQ(got.size(), expect.size()) << "batch " << b;
            EXPECT_TRUE(got == expect) << "batch " << b << " differs";
        }
        if (c.end) {
            EXPECT_TRUE(PeerClosed(fd)) << "the connection was not closed at the end";
        }
        ::close(fd);
    }
    server.Stop(2s);
    loop.stop();
    runner.join();
}

} // namespace
} // namespace gateway::web
