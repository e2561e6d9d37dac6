// The converter's IO command exchange: one blocking TCP connection to port 8880 per
// command, the command and CR written at once, the reply read until " OK\n\r" or until the
// time-out. No messages are processed meanwhile.
#include "Definir.h"

#include "Trace.h"
#include "platform.h"

#include <algorithm>

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
            if (!sock->Send(command + Definir::CR, kIoTimeoutMs)) {
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

bool IoExchange(int32_t ipIndex, const std::string& command, std::string& reply) {
    reply.clear();
    if (ipIndex < 0 || static_cast<size_t>(ipIndex) >= IpTable.size()) return true;
    const IoReply r = IoExchangeWith(IpTable[static_cast<size_t>(ipIndex)].Text(), command);
    reply = r.text;
    return r.ok;
}

int32_t IoCommand(int32_t ipIndex, const std::string& command) {
    if (ipIndex < 0 || static_cast<size_t>(ipIndex) >= IpTable.size()) return -1;
    const IoReply r = IoExchangeWith(IpTable[static_cast<size_t>(ipIndex)].Text(), command);
    // Without a connection nothing was sent: that is a failure, as a failed send is. The
    // reply itself is not examined.
    return r.connected && r.ok ? 0 : -1;
}

int32_t InPortOfReply(const std::string& reply) {
    const size_t p = reply.find("IN");
    if (p == std::string::npos) return -1;
    long value = 0;
    if (!ReadInteger(reply.substr(p + 2, 3), value)) return -1;
    return static_cast<int32_t>(value);
}

int32_t InPortValue(int32_t ipIndex) {
    std::string reply;
    if (!IoExchange(ipIndex, "IN", reply)) return -1;
    return InPortOfReply(reply);
}
