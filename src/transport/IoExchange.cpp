// The converter's IO command exchange: one blocking TCP connection to port 8880 per
// command, the command and CR written at once, the reply read until " OK\n\r" or until the
// time-out. No messages are processed meanwhile.
#include "IoExchange.h"

#include "../api/Trace.h"
#include "platform.h"

#include <algorithm>
#include <cstdlib>

namespace {

enum class ReadEnd { Marker, TimeOut, PeerClosed, Failed };

// Appends one read to the reply, up to (not including) its first zero byte.
void AppendRead(std::string& reply, const char* buf, int n) {
    const char* end = std::find(buf, buf + n, '\0');
    reply.append(buf, end);
}

// Reads until the end marker, the time-out since `start`, the peer's close or a failure.
ReadEnd ReadReply(plat::BlockingTcp& sock, uint32_t start, std::string& reply) {
    const std::string marker = kIoEndMarker;
    char buf[1024];
    bool timedOut = false;
    for (;;) {
        if (reply.find(marker) != std::string::npos) return ReadEnd::Marker;
        if (timedOut) return ReadEnd::TimeOut;
        if (reply.size() >= kIoReplyLimit) return ReadEnd::Failed; // flooded
        // Each read waits at most for what is left of the exchange's time.
        const uint32_t elapsed = plat::TickCount() - start;
        const uint32_t left = elapsed < kIoTimeoutMs ? kIoTimeoutMs - elapsed : 0;
        const int n = sock.Receive(buf, static_cast<int>(sizeof buf), left);
        if (n == -1) return ReadEnd::Failed;
        if (n == -2) return ReadEnd::PeerClosed; // nothing more can come
        if (n > 0) AppendRead(reply, buf, n);
        if (static_cast<uint32_t>(plat::TickCount() - start) >= kIoTimeoutMs) timedOut = true;
    }
}

} // namespace

std::optional<int> ConverterPort(char letter) {
    if (letter >= 'a' && letter <= 'd') letter = static_cast<char>(letter - 'a' + 'A');
    if (letter < 'A' || letter > 'D') return std::nullopt;
    return kIoPort + (letter - 'A' + 1);
}

IoReply IoExchangeWith(const std::string& address, const std::string& command) {
    IoReply r;
    try {
        auto sock = plat::NewBlockingTcp(); // the IO connection exists for this exchange only
        r.connected = sock->Connect(address, kIoPort, kIoTimeoutMs);
        if (!r.connected) {
            if (trace::On())
                trace::Line("IO connection to " + address + ":" + std::to_string(kIoPort) +
                            " not made within " + std::to_string(kIoTimeoutMs) + " ms");
        } else {
            const uint32_t start = plat::TickCount();
            if (!sock->Send(command + kIoCommandEnd, kIoTimeoutMs)) {
                r.ok = false;
            } else {
                // A converter that answers and then closes ends the reply early; what came
                // before the close is kept.
                const ReadEnd end = ReadReply(*sock, start, r.text);
                r.ok = end != ReadEnd::Failed;
                r.complete = end == ReadEnd::Marker;
            }
        }
        sock->Close();
    } catch (...) {
        r.ok = false;
    }
    return r;
}

int32_t InPortOfReply(const std::string& reply) {
    const size_t p = reply.find("IN");
    if (p == std::string::npos) return -1;
    // Leading blanks and one sign, then only digits to the end of the three characters.
    const std::string text = reply.substr(p + 2, 3);
    const size_t begin = text.find_first_not_of(' ');
    if (begin == std::string::npos) return -1;
    const size_t digits = begin + ((text[begin] == '+' || text[begin] == '-') ? 1 : 0);
    if (digits == text.size()) return -1;
    for (size_t k = digits; k < text.size(); ++k)
        if (text[k] < '0' || text[k] > '9') return -1;
    return static_cast<int32_t>(std::strtol(text.c_str() + begin, nullptr, 10));
}

std::string PortBits(int32_t value) {
    std::string bits(8, 'N');
    for (int k = 0; k < 8; ++k)
        if ((static_cast<uint32_t>(value) >> k) & 1u) bits[static_cast<size_t>(k)] = 'S';
    return bits;
}

void TickWait(uint32_t ms) {
    const uint32_t start = plat::TickCount();
    while (static_cast<uint32_t>(plat::TickCount() - start) < ms) {
        // No messages are processed; the processor is yielded between readings.
        plat::SleepMs(1);
    }
}
