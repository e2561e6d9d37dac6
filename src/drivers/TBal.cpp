#include "TBal.h"

#include "platform.h"

#include <algorithm>

TBal::TBal(TClDunor* channel, int32_t channelIndex)
    : ChannelIndex(channelIndex), channel_(channel) {}

TBal::~TBal() = default;

// ---- receive path ---------------------------------------------------------------------

void TBal::SocketRead() {
    ChannelUse use(channel_); // a close from inside the handler waits until it returns
    if (!Ch().TcpModule) return;
    uint8_t b = 0;
    if (Ch().TcpModule->SocLeitura->Receive(&b, 1) != 1) return;
    if (ByteHandler) {
        auto handler = ByteHandler; // the state may replace itself
        handler(b);
    }
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
            auto sink = SerialSink ? SerialSink : ByteHandler;
            if (sink) sink(static_cast<uint8_t>(c));
        } catch (...) {
        }
    }
}

bool TBal::OpenPort(int32_t) {
    if (!Ch().SerialModule) return true;
    auto& com = Ch().SerialModule->SerCom;
    com.OnTriggerAvail() = [this](uint16_t n) { SerialTrigger(n); };
    try {
        return com.SetOpen(true);
    } catch (...) {
        return false;
    }
}

void TBal::ClosePort() {
    if (!Ch().SerialModule) return;
    auto& com = Ch().SerialModule->SerCom;
    com.OnTriggerAvail() = nullptr;
    com.SetOpen(false);
    if (Ch().ChannelState != kStateClosed) Ch().ChannelState = kStateIdle;
}

// ---- poll ---------------------------------------------------------------------------------

void TBal::StartPollWith(const char* grossTare, const char* net,
                         std::function<void(uint8_t)> handler) {
    Ch().GrossText = grossTare;
    Ch().NetText = net;
    Ch().TareText = grossTare;
    FrameDone = false;
    NowTick = plat::TickCount();
    StartTick = NowTick;
    ByteHandler = std::move(handler);
}

bool TBal::PortPhase(uint32_t limit) {
    for (;;) {
        if (OpenPort(ChannelIndex)) break;
        if (Ch().ChannelState != kStatePolling) break;
        const uint32_t elapsed = NowTick - StartTick;
        if (elapsed > limit) break;
        plat::ProcessMessages();
        // Retry the open every few milliseconds; wake early for notifications.
        plat::WaitMessages(std::min<uint32_t>(10, limit + 1 - elapsed));
        NowTick = plat::TickCount();
    }
    return static_cast<uint32_t>(NowTick - StartTick) <= limit;
}

void TBal::WaitPhase(uint32_t wait, const std::function<void()>& perPass) {
    auto waiting = [&] {
        return !FrameDone && Ch().ChannelState == kStatePolling &&
               static_cast<uint32_t>(NowTick - StartTick) < wait;
    };
    while (waiting()) {
        plat::ProcessMessages();
        if (perPass && !FrameDone && Ch().ChannelState == kStatePolling) perPass();
        NowTick = plat::TickCount();
        if (waiting()) {
            // Block until the next notification or the end of the wait.
            const uint32_t left = wait - static_cast<uint32_t>(NowTick - StartTick);
            plat::WaitMessages(std::min<uint32_t>(left, 1000));
        }
    }
}

int TBal::PollCycle(uint32_t timeOut, const Timing& t, const std::function<void()>& onStart,
                    const std::function<void()>& perPass) {
    int result = 0;
    Ch().ChannelState = kStatePolling;
    uint32_t wait;
    if (timeOut == 0xFFFFFFFFu) {
        wait = t.defaultWait;
        WaitStable = false;
    } else {
        wait = timeOut;
        WaitStable = t.timeoutIsStable;
    }
    if (!PortPhase(t.portLimit)) {
        ByteHandler = nullptr;
        if (Ch().ChannelState != kStateClosed) Ch().ChannelState = kStateIdle;
        return 4;
    }
    if (onStart) onStart();
    WaitPhase(wait, perPass);
    if (!FrameDone) {
        ByteHandler = nullptr;
        result = WaitStable ? 2 : 1;
    }
    if (Ch().ChannelState != kStateClosed) Ch().ChannelState = kStateIdle;
    return result;
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

void TBal::FrameTaken() {
    ClosePort();
    ByteHandler = nullptr;
    FrameDone = true;
}

bool TBal::AppendBounded(uint8_t b) {
    RxBuffer.push_back(static_cast<char>(b));
    if (RxBuffer.size() <= kMaxRxBuffer) return true;
    RxBuffer.clear();
    ArmWaitStx();
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
