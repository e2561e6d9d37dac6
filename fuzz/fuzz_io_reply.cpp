// The converter's IO command exchange and the parsing of its replies, through the exported
// digital I/O and buffer functions. A real peer in this process listens on the IO port of a
// loopback address of its own: it reads the command up to its CR, answers with the fuzz-made
// reply (in two writes), closes its sending side and waits for the library to close.
//
// Input: byte 0 picks the function, byte 1 is its bit, value or channel argument, byte 2 is
// where the reply is cut in two writes (0: one write), the rest is the reply.
#include "Channels.h"
#include "IoExchange.h"
#include "Messages.h"
#include "fuzz_check.h"
#include "tarvel6.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

class ReplyPeer {
  public:
    ReplyPeer() {
        // 127.0.0.x belongs to the test suites; a fuzz run (or each job of a parallel one)
        // takes an address from its process id, moving on while one is taken.
        const unsigned pid = static_cast<unsigned>(::getpid());
        for (unsigned attempt = 0; attempt < 50 && listener_ < 0; ++attempt) {
            address_ = "127." + std::to_string(200 + attempt) + "." +
                       std::to_string((pid >> 8) & 0xFF) + "." + std::to_string(1 + pid % 254);
            Listen();
        }
        FUZZ_CHECK(listener_ >= 0);
        std::thread([this] { Serve(); }).detach();
    }

    const std::string& Address() const { return address_; }

    void SetReply(std::string reply, size_t cut) {
        std::lock_guard lock(mu_);
        reply_ = std::move(reply);
        cut_ = cut;
        command_.clear();
        commands_ = 0;
    }
    // The command of the last exchange (CR left out) and the number of exchanges.
    std::string Command(int& count) const {
        std::lock_guard lock(mu_);
        count = commands_;
        return command_;
    }

  private:
    void Listen() {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(kIoPort);
        if (::inet_pton(AF_INET, address_.c_str(), &sa.sin_addr) != 1) return;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return;
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 4) != 0) {
            ::close(fd);
            return;
        }
        listener_ = fd;
    }

    // Waits at most 2 s for `fd` to become readable.
    static bool Readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 2000) == 1;
    }

    void Serve() {
        for (;;) {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            Answer(fd);
            ::close(fd);
        }
    }

    void Answer(int fd) {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::string got;
        char buf[256];
        while (got.find('\r') == std::string::npos && Readable(fd)) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return;
            got.append(buf, static_cast<size_t>(n));
        }
        std::string reply;
        size_t cut = 0;
        {
            std::lock_guard lock(mu_);
            command_ = got.substr(0, got.find('\r'));
            ++commands_;
            reply = reply_;
            cut = cut_ < reply.size() ? cut_ : 0;
        }
        Send(fd, reply.substr(0, cut));
        Send(fd, reply.substr(cut));
        ::shutdown(fd, SHUT_WR);
        // The library closes once it has its reply (or has had enough of it).
        while (Readable(fd) && ::recv(fd, buf, sizeof buf, 0) > 0) {
        }
    }

    static void Send(int fd, const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return; // the library gave up on a flood
            sent += static_cast<size_t>(n);
        }
    }

    std::string address_;
    int listener_ = -1;
    mutable std::mutex mu_;
    std::string reply_;
    size_t cut_ = 0;
    std::string command_;
    int commands_ = 0;
};

// The input port value the reply gives: the three characters after its first "IN", read as
// a whole decimal integer (leading blanks and one sign allowed), else -1.
int32_t ExpectedInPort(const std::string& reply) {
    const size_t p = reply.find("IN");
    if (p == std::string::npos) return -1;
    const std::string s = reply.substr(p + 2, 3);
    size_t i = 0;
    while (i < s.size() && s[i] == ' ')
        ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (i == s.size()) return -1;
    for (size_t k = i; k < s.size(); ++k)
        if (s[k] < '0' || s[k] > '9') return -1;
    return static_cast<int32_t>(std::stol(s));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ReplyPeer& peer = *new ReplyPeer; // lives as long as the process
    if (size < 3) return 0;
    const int32_t ip = Seta_Ip(peer.Address().c_str());
    FUZZ_CHECK(ip == 0);

    const int op = data[0] % 8;
    const int32_t arg = static_cast<int8_t>(data[1]);
    const std::string reply(reinterpret_cast<const char*>(data) + 3, size - 3);
    peer.SetReply(reply, data[2]);

    // Whatever the read boundaries, the library's reply text is the bytes sent when they hold
    // no NUL, stay under the reply limit and hold the end marker, if at all, only at their end.
    const size_t marker = reply.find(kIoEndMarker);
    const bool known = reply.find('\0') == std::string::npos && reply.size() < kIoReplyLimit &&
                       (marker == std::string::npos || marker + 5 == reply.size());
    const int32_t in = ExpectedInPort(reply);

    std::string command;
    int32_t result = 0;
    switch (op) {
    case 0:
        command = "IN";
        result = DIO_InPort(ip);
        FUZZ_CHECK(result >= -99 && result <= 999);
        if (known) FUZZ_CHECK(result == in);
        break;
    case 1: {
        command = "IN";
        const char* text = DIO_InPortStr(ip);
        FUZZ_CHECK(text != nullptr && std::strlen(text) == 8);
        if (std::strcmp(text, "EEEEEEEE") != 0)
            for (int k = 0; k < 8; ++k)
                FUZZ_CHECK(text[k] == 'S' || text[k] == 'N');
        if (known) {
            std::string bits = "EEEEEEEE";
            if (in != -1)
                for (int k = 0; k < 8; ++k)
                    bits[static_cast<size_t>(k)] =
                        (static_cast<uint32_t>(in) >> k) & 1u ? 'S' : 'N';
            FUZZ_CHECK(text == bits);
        }
        break;
    }
    case 2:
        command = "IN";
        result = DIO_InBit(ip, arg);
        FUZZ_CHECK(result >= -1 && result <= 1);
        if (known)
            FUZZ_CHECK(result == (in == -1 ? -1
                                           : static_cast<int32_t>(
                                                 (static_cast<uint32_t>(in) >> (arg & 31)) & 1u)));
        break;
    case 3:
        command = "IN";
        result = DIO_InBitStr(ip, arg);
        FUZZ_CHECK(result == 'S' || result == 'N' || result == 'E');
        if (known) {
            const bool on = (static_cast<uint32_t>(in) >> (arg & 31)) & 1u;
            FUZZ_CHECK(result == (in == -1 ? 'E' : on ? 'S' : 'N'));
        }
        break;
    case 4:
        command = "OP" + std::to_string(arg);
        result = DIO_OutPort(ip, arg);
        break;
    case 5:
        command = "OB1" + std::to_string(arg);
        result = DIO_OutBitStr(ip, arg, "S");
        break;
    case 6:
    case 7: {
        const char letter[2] = {static_cast<char>('a' + (data[1] & 3)), '\0'};
        command = std::string(op == 6 ? "R" : "W") + static_cast<char>('A' + (data[1] & 3));
        result = op == 6 ? ClrBufRx(ip, letter) : ClrBufTx(ip, letter);
        break;
    }
    }
    if (op >= 4) {
        // The reply of an output or buffer command is not looked at: only a flood fails it.
        FUZZ_CHECK(result == 0 || result == -1);
        if (known) FUZZ_CHECK(result == 0);
    }

    int exchanges = 0;
    FUZZ_CHECK(peer.Command(exchanges) == command);
    FUZZ_CHECK(exchanges == 1);
    return 0;
}
