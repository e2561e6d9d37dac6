// Many event-stream clients at once on one thread (epoll), for the gateway's load test:
//   sse_load HOST PORT PATH CLIENTS SECONDS
// Connects every client, reads for SECONDS and prints one line of JSON: the readings each
// client got (fewest, most), the gaps in their seq, and the delay from a reading's time (the
// frame's last byte, whole milliseconds) to its arrival here. Exit 1 when a client could not
// connect or was refused.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

int64_t NowUs() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return int64_t{t.tv_sec} * 1000000 + t.tv_nsec / 1000;
}

// "2026-12-07T01:47:22.869Z" as Unix microseconds.
int64_t RecordTimeUs(const char* p) {
    tm t{};
    t.tm_year = std::atoi(p) - 1900;
    t.tm_mon = std::atoi(p + 5) - 1;
    t.tm_mday = std::atoi(p + 8);
    t.tm_hour = std::atoi(p + 11);
    t.tm_min = std::atoi(p + 14);
    t.tm_sec = std::atoi(p + 17);
    return (int64_t{timegm(&t)} * 1000 + std::atoi(p + 20)) * 1000;
}

struct Client {
    int fd = -1;
    std::string buf;
    bool head = false;
    std::vector<long> seqs;
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: sse_load HOST PORT PATH CLIENTS SECONDS\n");
        return 2;
    }
    const int port = std::atoi(argv[2]);
    const int n = std::atoi(argv[4]);
    std::vector<Client> clients(static_cast<size_t>(n));
    const int ep = epoll_create1(0);
    const std::string request = std::string("GET ") + argv[3] + " HTTP/1.1\r\nHost: " + argv[1] +
                                "\r\nAccept: text/event-stream\r\n\r\n";
    for (int i = 0; i < n; ++i) {
        Client& c = clients[static_cast<size_t>(i)];
        c.fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, argv[1], &a.sin_addr);
        if (connect(c.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            send(c.fd, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) {
            std::perror("sse_load: connect");
            return 1;
        }
        fcntl(c.fd, F_SETFL, O_NONBLOCK);
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &e);
    }
    std::vector<int64_t> delays;
    std::vector<epoll_event> ready(static_cast<size_t>(n));
    std::vector<char> buf(1 << 16);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[5]));
    while (std::chrono::steady_clock::now() < end) {
        const int k = epoll_wait(ep, ready.data(), n, 100);
        for (int j = 0; j < k; ++j) {
            Client& c = clients[ready[static_cast<size_t>(j)].data.u32];
            const ssize_t got = recv(c.fd, buf.data(), buf.size(), 0);
            const int64_t now = NowUs();
            if (got <= 0) continue;
            c.buf.append(buf.data(), static_cast<size_t>(got));
            if (!c.head) {
                if (c.buf.find("\r\n\r\n") == std::string::npos) continue;
                if (c.buf.compare(0, 12, "HTTP/1.1 200") != 0) {
                    std::fprintf(stderr, "sse_load: refused: %.60s\n", c.buf.c_str());
                    return 1;
                }
                c.head = true;
            }
            size_t p;
            while ((p = c.buf.find("\ndata: ")) != std::string::npos) {
                const size_t eol = c.buf.find('\n', p + 7);
                if (eol == std::string::npos) break;
                const std::string data = c.buf.substr(p + 7, eol - p - 7);
                c.buf.erase(0, eol);
                const size_t seq = data.find("\"seq\":");
                const size_t time = data.find("\"time\":\"");
                if (seq == std::string::npos) continue;
                c.seqs.push_back(std::atol(data.c_str() + seq + 6));
                // The first reading is the current one, sent when the client came.
                if (time != std::string::npos && c.seqs.size() > 1)
                    delays.push_back(now - RecordTimeUs(data.c_str() + time + 8));
            }
        }
    }
    size_t fewest = SIZE_MAX, most = 0, gaps = 0;
    for (const Client& c : clients) {
        fewest = std::min(fewest, c.seqs.size());
        most = std::max(most, c.seqs.size());
        for (size_t i = 1; i < c.seqs.size(); ++i)
            if (c.seqs[i] != c.seqs[i - 1] + 1) ++gaps;
        close(c.fd);
    }
    std::sort(delays.begin(), delays.end());
    auto ms = [&](double q) {
        return delays.empty()
                   ? -1.0
                   : static_cast<double>(
                         delays[static_cast<size_t>(q * static_cast<double>(delays.size() - 1))]) /
                         1000.0;
    };
    std::printf("{\"clients\":%d,\"fewest\":%zu,\"most\":%zu,\"gaps\":%zu,\"median_ms\":%.2f,"
                "\"p99_ms\":%.2f,\"max_ms\":%.2f}\n",
                n, fewest, most, gaps, ms(0.5), ms(0.99), ms(1.0));
    return 0;
}
