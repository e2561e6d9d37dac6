#include "W_KRT.h"

#include "W_5817.h"

namespace {

constexpr size_t kFrameLength = 16; // status A through CR

} // namespace

TKRTBal::TKRTBal(TClDunor* channel, int32_t channelIndex) : TBal(channel, channelIndex) {
    FrameCollector = [this](uint8_t b) { CollectFrame(b); };
}

int TKRTBal::Poll(int32_t channelIndex, uint32_t timeOut) {
    StartPoll(channelIndex);
    return PollStatusWeight(*this, timeOut);
}

void TKRTBal::StartPoll(int32_t) {
    StartPollWith("0", "0", [this](uint8_t b) { WaitStx(b); });
}

void TKRTBal::CollectFrame(uint8_t b) {
    if (!AppendBounded(b)) return; // no CR in sight: noise, not a frame
    if (b != static_cast<uint8_t>(Definir::CR)) return;
    // The length is the only check this frame allows: anything else is dropped and the
    // next STX starts over (its text stays in RxBuffer until then).
    if (RxBuffer.size() != kFrameLength) {
        ArmWaitStx();
        return;
    }
    TakeStatusWeightFrame();
}
