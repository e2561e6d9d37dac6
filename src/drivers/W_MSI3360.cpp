#include "W_MSI3360.h"

namespace {

constexpr size_t kFrameLength = 26; // between STX and ETX
const char* const kZeroWeight = "       0";

} // namespace

std::string WithLocaleSeparator(std::string text) {
    const char sep = TBal::Sep();
    for (char& c : text)
        if (c == '.' || c == ',') c = sep;
    return text;
}

void SetUnitOnlyStatus(TBal& drv, TClDunor& ch, const std::string& unit) {
    drv.Increment = "E";
    drv.NetMode = "E";
    drv.Negative = "E";
    drv.OutOfRange = "E";
    drv.Motion = "E";
    drv.WeightUnit = unit;
    drv.PrintRequest = "E";
    ch.MotionText = drv.Motion;
    ch.StatusText = drv.Increment + drv.NetMode + drv.Negative + drv.OutOfRange + drv.Motion +
                    drv.WeightUnit + drv.PrintRequest;
}

int PollUnitOnly(TBal& drv, uint32_t timeOut) {
    static const TBal::Timing timing{5000, 600, false};
    return drv.PollCycle(timeOut, timing);
}

TMSI3360Bal::TMSI3360Bal(TClDunor* channel, int32_t channelIndex) : TBal(channel, channelIndex) {
    FrameCollector = [this](uint8_t b) { CollectFrame(b); };
}

int TMSI3360Bal::Poll(int32_t channelIndex, uint32_t timeOut) {
    StartPoll(channelIndex);
    return PollUnitOnly(*this, timeOut);
}

void TMSI3360Bal::StartPoll(int32_t) {
    StartPollWith("0", "0", [this](uint8_t b) { WaitStx(b); });
}

void TMSI3360Bal::CollectFrame(uint8_t b) {
    if (b != static_cast<uint8_t>(Definir::ETX)) {
        AppendBounded(b); // no ETX in sight: noise, not a frame
        return;
    }
    if (RxBuffer.size() != kFrameLength) {
        // Wrong length: dropped whole; the next STX empties the buffer.
        ArmWaitStx();
        return;
    }
    ParseFrame(RxBuffer);
    FrameTaken();
}

void TMSI3360Bal::ParseFrame(const std::string& frame) {
    if (frame.size() != kFrameLength) return;
    const std::string f = WithLocaleSeparator(frame);
    TClDunor& ch = Ch();
    SetUnitOnlyStatus(*this, ch, f.substr(24, 2));
    ch.GrossText = BlankWeight(f.substr(0, 8));
    ch.NetText = BlankWeight(f.substr(8, 8));
    ch.TareText = BlankWeight(f.substr(16, 8));
    // A zero or dashed net reads as the gross.
    if (ch.NetText == kZeroWeight) ch.NetText = ch.GrossText;
}

std::string TMSI3360Bal::BlankWeight(const std::string& field) {
    return field == "--------" ? kZeroWeight : field;
}
