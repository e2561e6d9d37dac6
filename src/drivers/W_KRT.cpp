#include "W_KRT.h"

#include "W_5817.h"

namespace {

constexpr size_t kFrameLength = 16; // status A through CR

} // namespace

int TKRTBal::Poll(int32_t channelIndex, uint32_t timeOut) {
    StartPoll(channelIndex);
    return PollStatusWeight(*this, timeOut);
}

void TKRTBal::StartPoll(int32_t) {
    StartPollWith("0", "0", [this](uint8_t b) { WaitStx(b); });
}

void TKRTBal::WaitStx(uint8_t b) {
    if (b != static_cast<uint8_t>(Definir::STX)) return;
    RxBuffer.clear();
    ByteHandler = [this](uint8_t x) { CollectFrame(x); };
}

void TKRTBal::CollectFrame(uint8_t b) {
    RxBuffer.push_back(static_cast<char>(b));
    if (b != static_cast<uint8_t>(Definir::CR)) {
        if (RxBuffer.size() > kMaxRxBuffer) {
            // No CR in sight: noise, not a frame.
            RxBuffer.clear();
            ByteHandler = [this](uint8_t x) { WaitStx(x); };
        }
        return;
    }
    // The length is the only check this frame allows: anything else is dropped and the
    // next STX starts over (its text stays in RxBuffer until then).
    if (RxBuffer.size() != kFrameLength || !ParseStatusWeightFrame(*this, Ch(), RxBuffer)) {
        ByteHandler = [this](uint8_t x) { WaitStx(x); };
        return;
    }
    if (WaitStable && Motion != "N") {
        ByteHandler = [this](uint8_t x) { WaitStx(x); };
        return;
    }
    ClosePort();
    ByteHandler = nullptr;
    FrameDone = true;
}
