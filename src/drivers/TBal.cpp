#include "TBal.h"

#include "Trace.h"
#include "platform.h"
#include "tarvel6.h"

#include <algorithm>

TBal::TBal(const Family& family, TClDunor* channel, int32_t channelIndex)
    : ChannelIndex(channelIndex), family_(family), channel_(channel) {}

TBal::~TBal() = default;

std::string TBal::Label() const {
    return Name.empty() ? "channel " + std::to_string(ChannelIndex) : Name;
}

bool TBal::Polling() const {
    return Ch().ChannelState == kStatePolling;
}

// ---- bytes in, readings out -------------------------------------------------------------

void TBal::Take(uint8_t b) {
    if (!ByteHandler) return;
    auto handler = ByteHandler; // the state may replace itself
    handler(b);
}

void TBal::Decoded(const TReading& r) {
    if (r.Status) Flags = *r.Status;
    if (trace::On())
        trace::Line(Label() + ": frame taken: " +
                    (r.Status ? "status " + r.Status->Text() : std::string("raw")) +
                    (r.Net ? ", net \"" + *r.Net + "\"" : "") +
                    (r.Gross ? ", gross \"" + *r.Gross + "\"" : ""));
    if (Listener != nullptr) {
        Arm(); // the live core keeps every frame coming
        Listener->OnReading(*this, r);
        return;
    }
    Ch().Take(r);
    if (WaitStable && r.Status && Flags.Motion != 'N' && Polling()) {
        // A moving frame during a wait for a still one: on to the next frame (an asking
        // indicator is asked again by the wait, while it lasts).
        Arm();
        requestDue_ = !family_.request.empty();
        return;
    }
    FrameTaken();
}

void TBal::Dropped(const std::string& why) {
    if (trace::On()) trace::Line(Label() + ": frame dropped: " + why);
    if (Listener != nullptr) Listener->OnDropped(*this, why);
}

void TBal::FrameTaken() {
    if (family_.keepsPortOpen) {
        RxBuffer.clear();
    } else {
        ClosePort();
    }
    ByteHandler = nullptr;
    FrameDone = true;
    // An asking indicator's connection is read for the one line the poll waits for: what
    // follows it (the reply to a later request, when replies come late) stays in the
    // connection for the next poll instead of being read and dropped.
    if (family_.tcpReadsDuringPollOnly && Ch().TcpModule)
        Ch().TcpModule->SocLeitura->OnRead = nullptr;
}

// ---- receive path ---------------------------------------------------------------------

void TBal::SocketRead() {
    ChannelUse use(channel_); // a close from inside the handler waits until it returns
    if (!Ch().TcpModule) return;
    uint8_t b = 0;
    if (Ch().TcpModule->SocLeitura->Receive(&b, 1) != 1) return;
    Take(b);
}

void TBal::SerialTrigger(uint16_t count) {
    ChannelUse use(channel_);
    for (uint16_t i = 0; i < count; ++i) {
        try {
            if (!Ch().SerialModule) break;
            char c = 0;
            // After ClosePort within this same notification the port is closed and the
            // remaining fetches find nothing.
            if (!Ch().SerialModule->SerCom.GetChar(c)) continue;
            Take(static_cast<uint8_t>(c));
        } catch (...) {
        }
    }
}

bool TBal::OpenPort() {
    if (!Ch().SerialModule) return true;
    auto& com = Ch().SerialModule->SerCom;
    com.OnTriggerAvail() = [this](uint16_t n) { SerialTrigger(n); };
    try {
        if (com.SetOpen(true)) return true;
        portFailure_ = com.FailureText();
    } catch (...) {
        portFailure_ = "the port could not be opened";
    }
    return false;
}

void TBal::ClosePort() {
    if (!Ch().SerialModule) return;
    auto& com = Ch().SerialModule->SerCom;
    com.OnTriggerAvail() = nullptr;
    com.SetOpen(false);
    if (Ch().ChannelState != kStateClosed) Ch().ChannelState = kStateIdle;
}

void TBal::SendToIndicator(const std::string& bytes) {
    if (Ch().SerialModule)
        Ch().SerialModule->SerCom.WriteStr(bytes);
    else if (Ch().TcpModule)
        Ch().TcpModule->SocLeitura->Send(bytes); // not connected: silently not sent
}

// ---- the channel's poll -----------------------------------------------------------------

void TBal::StartPoll() {
    Ch().StartPoll(family_.pollStartGrossTare);
    FrameDone = false;
    requestDue_ = false;
    NowTick = plat::TickCount();
    StartTick = NowTick;
    Arm();
}

int TBal::Poll(uint32_t timeOut) {
    StartPoll();
    int result = PollCycle(timeOut);
    // An indicator out of range overrides every frame result.
    if (result != TARVEL_POLL_NO_PORT && Flags.OutOfRange == 'S') result = TARVEL_POLL_OUT_OF_RANGE;
    return result;
}

int TBal::PollCycle(uint32_t timeOut) {
    Ch().ChannelState = kStatePolling;
    if (timeOut == 0xFFFFFFFFu) {
        Wait = family_.defaultWaitMs;
        WaitStable = false;
    } else {
        Wait = timeOut;
        WaitStable = family_.reportsMotion;
    }
    if (!PortPhase()) {
        ByteHandler = nullptr;
        const std::string device = plat::SerialDevicePath(Ch().SerialModule->SerCom.Settings);
        Ch().PendingErrorText = "A porta serial " + device + " n\xE3o abriu: " + portFailure_;
        if (trace::On()) trace::Line(Label() + ": serial port did not open: " + portFailure_);
        EndPoll();
        return TARVEL_POLL_NO_PORT;
    }
    // An asking indicator's bytes are read from its connection only while it waits for them.
    plat::TcpClient* readDuringPoll = family_.tcpReadsDuringPollOnly && Ch().TcpModule
                                          ? Ch().TcpModule->SocLeitura.get()
                                          : nullptr;
    struct Unbind {
        plat::TcpClient* sock;
        ~Unbind() {
            if (sock != nullptr) sock->OnRead = nullptr;
        }
    } unbind{readDuringPoll};
    if (!family_.request.empty()) SendRequest();
    WaitPhase();
    int result = TARVEL_POLL_OK;
    if (!FrameDone) {
        ByteHandler = nullptr;
        result = WaitStable ? TARVEL_POLL_MOTION : TARVEL_POLL_NO_FRAME;
    }
    EndPoll();
    return result;
}

void TBal::EndPoll() {
    if (Ch().ChannelState != kStateClosed) Ch().ChannelState = kStateIdle;
}

bool TBal::PortPhase() {
    const uint32_t limit = family_.portLimitMs;
    for (;;) {
        if (OpenPort()) break;
        if (!Polling()) break;
        const uint32_t elapsed = NowTick - StartTick;
        if (elapsed > limit) break;
        plat::ProcessMessages();
        // Retry the open every few milliseconds; wake early for notifications.
        plat::WaitMessages(std::min<uint32_t>(10, limit + 1 - elapsed));
        NowTick = plat::TickCount();
    }
    return static_cast<uint32_t>(NowTick - StartTick) <= limit;
}

void TBal::WaitPhase() {
    auto waiting = [&] {
        return !FrameDone && Polling() && static_cast<uint32_t>(NowTick - StartTick) < Wait;
    };
    while (waiting()) {
        plat::ProcessMessages();
        NowTick = plat::TickCount();
        if (requestDue_ && waiting()) {
            requestDue_ = false;
            SendRequest();
            NowTick = plat::TickCount();
        }
        if (waiting()) {
            // Block until the next notification or the end of the wait.
            const uint32_t left = Wait - static_cast<uint32_t>(NowTick - StartTick);
            plat::WaitMessages(std::min<uint32_t>(left, 1000));
            NowTick = plat::TickCount();
        }
    }
    requestDue_ = false;
}

void TBal::SendRequest() {
    plat::ProcessMessages();
    plat::SleepMs(1);
    // A reply accepted while messages were processed has ended the poll (and closed the
    // serial port): nothing more is asked for.
    if (FrameDone || !Polling()) return;
    if (Ch().SerialModule && !Ch().SerialModule->SerCom.Open()) return;
    Arm();
    if (family_.tcpReadsDuringPollOnly && Ch().TcpModule)
        Ch().TcpModule->SocLeitura->OnRead = [this] { SocketRead(); };
    // The pauses are busy waits: no notification is handled while the request goes out.
    for (const RequestStep& step : family_.request) {
        SendToIndicator(step.bytes);
        if (step.pauseAfterMs > 0) TickWait(step.pauseAfterMs);
    }
}

// ---- framing ------------------------------------------------------------------------------

void TBal::WaitStx(uint8_t b) {
    if (b != static_cast<uint8_t>(Definir::STX)) return;
    RxBuffer.clear();
    ByteHandler = FrameCollector;
}

void TBal::ArmWaitStx() {
    ByteHandler = [this](uint8_t b) { WaitStx(b); };
}

bool TBal::AppendBounded(uint8_t b) {
    RxBuffer.push_back(static_cast<char>(b));
    if (RxBuffer.size() <= kMaxRxBuffer) return true;
    RxBuffer.clear();
    ArmWaitStx();
    Dropped("no end of frame within " + std::to_string(kMaxRxBuffer) + " bytes");
    return false;
}

bool TBal::KeepLineByte(uint8_t b) {
    const bool lf = b == static_cast<uint8_t>(Definir::LF);
    if (SkipLine) {
        if (lf) SkipLine = false;
        return false;
    }
    if (!lf && RxBuffer.size() >= kMaxRxBuffer) {
        RxBuffer.clear();
        SkipLine = true;
        Dropped("no end of line within " + std::to_string(kMaxRxBuffer) + " bytes");
        return false;
    }
    return true;
}

// ---- weights ------------------------------------------------------------------------------

char TBal::Sep() {
    const std::string s = LocaleDecimalSeparator();
    return s.empty() ? '.' : s[0];
}

std::string TBal::FormatWeight(std::string digits, int decimals, bool sign) {
    if (decimals < 0) decimals = 0;
    while (static_cast<int>(digits.size()) <= decimals)
        digits.insert(digits.begin(), '0');
    std::string dest(10, ' ');
    const char sep = Sep();
    int k = 0;
    for (int pos = 9; pos >= 0; --pos, ++k) {
        if (k == decimals && decimals > 0) {
            dest[static_cast<size_t>(pos)] = sep;
        } else if (!digits.empty()) {
            dest[static_cast<size_t>(pos)] = digits.back();
            digits.pop_back();
        } else if (sign) {
            dest[static_cast<size_t>(pos)] = '-';
            sign = false;
        }
    }
    return dest;
}
