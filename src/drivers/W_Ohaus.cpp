#include "W_Ohaus.h"

#include "platform.h"

namespace {

const char* const kNoWeight = "EEEEEEEEEE";
constexpr uint32_t kRequestPauseMs = 150;

// Characters of the weight run at the start of a reply line.
bool WeightChar(char c) {
    return c == ' ' || c == ',' || c == '-' || c == '.' || (c >= '0' && c <= '9');
}

} // namespace

TOhausBal::TOhausBal(TClDunor* channel, int32_t channelIndex) : TBal(channel, channelIndex) {
    // Serial characters go straight to the line collector, whatever ByteHandler holds, so a
    // reply that comes in after a timed-out poll is still decoded.
    SerialSink = [this](uint8_t b) { CollectLine(b); };
}

bool TOhausBal::Polling() const {
    return Ch().ChannelState == kStatePolling;
}

void TOhausBal::StartPoll(int32_t) {
    StartPollWith(kNoWeight, "0", [this](uint8_t b) { SendPrintCommand(b); });
}

int TOhausBal::Poll(int32_t channelIndex, uint32_t timeOut) {
    StartPoll(channelIndex);
    // A plain poll waits 5000 ms; the serial port is retried for 600 ms; a host time-out
    // asks for a line without motion.
    static const Timing timing{5000, 600, true};
    Wait = timeOut == 0xFFFFFFFFu ? timing.defaultWait : timeOut;
    plat::TcpClient* sock = Ch().TcpModule ? Ch().TcpModule->SocLeitura.get() : nullptr;
    auto onStart = [this] {
        if (!Polling()) return; // closed while the port was being opened
        auto handler = ByteHandler;
        if (handler) handler(' ');
    };
    std::function<void()> perPass;
    if (sock != nullptr) {
        // Nothing is bound to the connection's read notification: the poll takes the reply
        // itself, one byte per pass, and its wait wakes when bytes are waiting.
        perPass = [this] { SocketRead(); };
        sock->WakeOnData = true;
    }
    int result = 1;
    try {
        result = PollCycle(timeOut, timing, onStart, perPass);
    } catch (...) {
        if (Ch().TcpModule) Ch().TcpModule->SocLeitura->WakeOnData = false;
        throw;
    }
    if (Ch().TcpModule) Ch().TcpModule->SocLeitura->WakeOnData = false;
    return result;
}

void TOhausBal::SendPrintCommand(uint8_t) {
    const uint32_t requestsBefore = RequestsSent;
    plat::ProcessMessages();
    plat::SleepMs(1);
    // A line accepted while messages were processed has ended the poll (and closed the
    // serial port): nothing more is asked for. Nor when a request nested in that processing
    // has already gone out.
    if (FrameDone || !Polling() || RequestsSent != requestsBefore) return;
    if (Ch().SerialModule && !Ch().SerialModule->SerCom.Open()) return;
    ++RequestsSent;
    RxBuffer.clear();
    SkipLine = false;
    ByteHandler = [this](uint8_t b) { CollectLine(b); };
    // The pauses are busy waits: no notification is handled while the request goes out.
    auto send = [this](const std::string& s) {
        if (Ch().SerialModule) {
            Ch().SerialModule->SerCom.WriteStr(s);
        } else if (Ch().TcpModule) {
            Ch().TcpModule->SocLeitura->Send(s); // not connected: silently not sent
        }
    };
    send("P");
    TickWait(kRequestPauseMs);
    send(std::string(1, Definir::CR));
    TickWait(kRequestPauseMs);
    send(std::string(1, Definir::LF));
}

void TOhausBal::CollectLine(uint8_t b) {
    const char c = static_cast<char>(b);
    if (c == Definir::CR) return; // dropped wherever it occurs
    if (!KeepLineByte(b)) return; // an overlong line is not decoded; the wait goes on
    if (c != Definir::LF) {
        RxBuffer.push_back(c);
        return;
    }
    if (RxBuffer.empty()) return; // an empty line does not count
    ParseLine(RxBuffer);
    // Only a poll waiting for a stable weight asks again, and only within its wait: a quick
    // indicator could otherwise keep one round of message processing asking for ever. A
    // moving line at the end of the wait leaves the poll to time out. A reply that comes in
    // after the poll has ended is decoded and closes the port.
    if (WaitStable && Motion != "N" && Polling()) {
        if (static_cast<uint32_t>(plat::TickCount() - StartTick) >= Wait) {
            RxBuffer.clear();
            return;
        }
        ByteHandler = [this](uint8_t x) { SendPrintCommand(x); };
        auto handler = ByteHandler;
        handler(' ');
        return;
    }
    FrameTaken();
}

void TOhausBal::ParseLine(const std::string& line) {
    Negative = line.find('-') != std::string::npos ? "S" : "N";
    Motion = line.find('?') != std::string::npos ? "S" : "N";
    std::string out(10, ' ');
    const char sep = Sep();
    size_t n = 0;
    while (n < line.size() && WeightChar(line[n]))
        ++n;
    // From the run's last character to its first, filling the text from the right. Blanks
    // to the left of the point read as zeros on a negative line.
    enum class Phase { None, Point, Sign } phase = Phase::None;
    int pos = 9;
    for (size_t i = n; i-- > 0 && pos >= 0; --pos) {
        const char c = line[i];
        if (c == '.') {
            phase = Phase::Point;
            out[static_cast<size_t>(pos)] = sep;
            continue;
        }
        if (c == '-') phase = Phase::Sign;
        if (c == ' ' && phase == Phase::Point && Negative == "S")
            out[static_cast<size_t>(pos)] = '0';
        else
            out[static_cast<size_t>(pos)] = c;
    }
    Ch().NetText = out;
    Ch().MotionText = Motion;
    Ch().StatusText = "EE" + Negative + "E" + Motion + "EE" + "E";
}
