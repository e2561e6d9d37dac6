#include "TBal.h"

#include "IoExchange.h"
#include "Trace.h"
#include "platform.h"
#include "tarvel6.h"

#include <algorithm>

namespace {
// Bytes taken from the reading connection per read: everything a converter channel can
// have waiting.
constexpr size_t kReadChunk = 4096;
} // namespace

TBal::TBal(const Family& family, TClDunor& channel, int32_t channelIndex)
    : ChannelIndex(channelIndex), family_(family), channel_(channel), decoder_(family.decoder()) {}

TBal::~TBal() = default;

std::unique_ptr<TBal> MakeDriver(const Family& family, TClDunor& channel, int32_t index) {
    return std::make_unique<TBal>(family, channel, index);
}

std::string TBal::Label() const {
    return "channel " + std::to_string(ChannelIndex);
}

bool TBal::Polling() const {
    return channel_.ChannelState == kStatePolling;
}

void TBal::Arm() {
    decoder_->Reset();
    armed_ = true;
}

// ---- bytes in, readings out -------------------------------------------------------------

void TBal::Take(std::span<const uint8_t> bytes, bool tcp) {
    while (!bytes.empty() && Receiving()) {
        const TDecoder::Step s = decoder_->Feed(bytes);
        bytes = bytes.subspan(s.used);
        if (s.failure != nullptr) Dropped(*s.failure);
        if (s.reading != nullptr && Decoded(*s.reading)) {
            if (tcp && family_.tcpReadsDuringPollOnly) held_.append(bytes.begin(), bytes.end());
            return;
        }
    }
}

bool TBal::Decoded(const TReading& r) {
    if (r.hasStatus) outOfRange_ = r.outOfRange == TFlag::Yes;
    channel_.Take(r);
    if (trace::On()) {
        const bool net = r.net.form != TWeightField::Form::None;
        const bool gross = r.gross.form != TWeightField::Form::None;
        trace::Line(Label() + ": frame taken: " +
                    (r.hasStatus ? "status " + channel_.StatusText : std::string("raw")) +
                    (net ? ", net \"" + channel_.NetText + "\"" : "") +
                    (gross ? ", gross \"" + channel_.GrossText + "\"" : ""));
    }
    if (WaitStable && r.hasStatus && r.motion != TFlag::No && Polling()) {
        // A moving frame during a wait for a still one: on to the next frame (an asking
        // indicator is asked again by the wait, while it lasts).
        requestDue_ = family_.Asks();
        return false;
    }
    FrameTaken();
    return true;
}

void TBal::Dropped(const TDecodeFailure& f) {
    if (trace::On()) trace::Line(Label() + ": frame dropped: " + f.Text());
}

void TBal::FrameTaken() {
    if (!family_.keepsPortOpen) ClosePort();
    armed_ = false;
    FrameDone = true;
    // An asking indicator's connection is read for the one line the poll waits for: what
    // follows it (the reply to a later request, when replies come late) stays in the
    // connection, or in held_ when it came in the same read, for the next poll instead of
    // being read and dropped.
    if (family_.tcpReadsDuringPollOnly && channel_.TcpModule)
        channel_.TcpModule->SocLeitura->OnRead = nullptr;
}

// ---- receive path ---------------------------------------------------------------------

void TBal::SocketRead() {
    ChannelUse use(&channel_); // a close from inside the handler waits until it returns
    if (!channel_.TcpModule) return;
    uint8_t buf[kReadChunk];
    const int n = channel_.TcpModule->SocLeitura->Receive(buf, static_cast<int>(sizeof buf));
    if (n <= 0) return;
    Take(std::span<const uint8_t>(buf, static_cast<size_t>(n)), true);
}

void TBal::SerialTrigger(uint16_t count) {
    ChannelUse use(&channel_);
    try {
        if (!channel_.SerialModule) return;
        uint8_t buf[kReadChunk];
        const size_t n = channel_.SerialModule->SerCom.Read(
            buf, std::min<size_t>(count, sizeof buf)); // nothing from a closed port
        Take(std::span<const uint8_t>(buf, n), false);
    } catch (...) {
        // Nothing escapes from the notification.
    }
}

bool TBal::OpenPort() {
    if (!channel_.SerialModule) return true;
    auto& com = channel_.SerialModule->SerCom;
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
    if (!channel_.SerialModule) return;
    auto& com = channel_.SerialModule->SerCom;
    com.OnTriggerAvail() = nullptr;
    com.SetOpen(false);
    if (channel_.ChannelState != kStateClosed) channel_.ChannelState = kStateIdle;
}

void TBal::SendToIndicator(const std::string& bytes) {
    if (channel_.SerialModule)
        channel_.SerialModule->SerCom.WriteStr(bytes);
    else if (channel_.TcpModule)
        channel_.TcpModule->SocLeitura->Send(bytes); // not connected: silently not sent
}

// ---- the channel's poll -----------------------------------------------------------------

void TBal::StartPoll() {
    channel_.StartPoll(family_.pollStartGrossTare);
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
    if (result != TARVEL_POLL_NO_PORT && outOfRange_) result = TARVEL_POLL_OUT_OF_RANGE;
    return result;
}

int TBal::PollCycle(uint32_t timeOut) {
    channel_.ChannelState = kStatePolling;
    if (timeOut == 0xFFFFFFFFu) {
        Wait = family_.defaultWaitMs;
        WaitStable = false;
    } else {
        Wait = timeOut;
        WaitStable = family_.reportsMotion;
    }
    if (!PortPhase()) {
        armed_ = false;
        const std::string device = plat::SerialDevicePath(channel_.SerialModule->SerCom.Settings);
        channel_.PendingErrorText = "A porta serial " + device + " n\xE3o abriu: " + portFailure_;
        if (trace::On()) trace::Line(Label() + ": serial port did not open: " + portFailure_);
        EndPoll();
        return TARVEL_POLL_NO_PORT;
    }
    // An asking indicator's bytes are read from its connection only while it waits for them.
    plat::TcpClient* readDuringPoll = family_.tcpReadsDuringPollOnly && channel_.TcpModule
                                          ? channel_.TcpModule->SocLeitura.get()
                                          : nullptr;
    struct Unbind {
        plat::TcpClient* sock;
        ~Unbind() {
            if (sock != nullptr) sock->OnRead = nullptr;
        }
    } unbind{readDuringPoll};
    if (family_.Asks()) SendRequest();
    WaitPhase();
    int result = TARVEL_POLL_OK;
    if (!FrameDone) {
        armed_ = false;
        result = WaitStable ? TARVEL_POLL_MOTION : TARVEL_POLL_NO_FRAME;
    }
    EndPoll();
    return result;
}

void TBal::EndPoll() {
    if (channel_.ChannelState != kStateClosed) channel_.ChannelState = kStateIdle;
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
        if (!held_.empty()) {
            // What the previous poll left of the connection's bytes comes first.
            std::string held;
            held.swap(held_);
            Take(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(held.data()),
                                          held.size()),
                 true);
            if (!waiting()) break;
        }
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
    if (channel_.SerialModule && !channel_.SerialModule->SerCom.Open()) return;
    Arm();
    if (family_.tcpReadsDuringPollOnly && channel_.TcpModule)
        channel_.TcpModule->SocLeitura->OnRead = [this] { SocketRead(); };
    // The pauses are busy waits: no notification is handled while the request goes out.
    TRequestRun run(family_.request);
    while (run.Running()) {
        const uint32_t pause = run.SendNext([this](const std::string& b) { SendToIndicator(b); });
        if (pause > 0) TickWait(pause);
    }
}
