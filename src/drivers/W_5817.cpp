#include "W_5817.h"

namespace {

constexpr size_t kFrameLength = 16; // status A through CR

// A six-character field read as a whole decimal integer; anything else counts as 0.
long FieldValue(const std::string& field) {
    long value = 0;
    return ReadInteger(field, value) ? value : 0;
}

const char* Flag(int byte, int mask) {
    return (byte & mask) ? "S" : "N";
}

} // namespace

bool ParseStatusWeightFrame(TBal& drv, TClDunor& ch, const std::string& frame) {
    // A frame must reach the end of the tare field; a shorter one would leave status or
    // weights undefined, so it is dropped.
    if (frame.size() < kFrameLength - 1) return false;
    const int a = static_cast<unsigned char>(frame[0]);
    const int b = static_cast<unsigned char>(frame[1]);
    const int c = static_cast<unsigned char>(frame[2]);

    // DecodeStatusA
    const int d = a & 0x07;
    drv.Decimals = d >= 3 ? d - 2 : 0;
    if ((a & 0x18) == 0x18)
        drv.Increment = "5";
    else if (a & 0x10)
        drv.Increment = "2";
    else
        drv.Increment = "1";
    // DecodeStatusB
    drv.NetMode = Flag(b, 0x01);
    drv.Negative = Flag(b, 0x02);
    drv.OutOfRange = Flag(b, 0x04);
    drv.Motion = Flag(b, 0x08);
    drv.WeightUnit = (b & 0x10) ? "kg" : "lb";
    drv.PrintRequest = Flag(c, 0x08);

    const long w = FieldValue(frame.substr(3, 6));
    const long t = FieldValue(frame.substr(9, 6));
    const bool negative = drv.Negative == "S";
    ch.NetText = TBal::FormatWeight(std::to_string(w), drv.Decimals, negative);
    ch.TareText = TBal::FormatWeight(std::to_string(t), drv.Decimals, false);
    const long g = (negative ? -w : w) + t;
    ch.GrossText = TBal::FormatWeight(std::to_string(g < 0 ? -g : g), drv.Decimals, g < 0);
    ch.MotionText = drv.Motion;
    ch.StatusText = drv.Increment + drv.NetMode + drv.Negative + drv.OutOfRange + drv.Motion +
                    drv.WeightUnit + drv.PrintRequest;
    return true;
}

void TBal::TakeStatusWeightFrame() {
    if (!ParseStatusWeightFrame(*this, Ch(), RxBuffer) || (WaitStable && Motion != "N")) {
        ArmWaitStx();
        return;
    }
    FrameTaken();
}

T5817Bal::T5817Bal(TClDunor* channel, int32_t channelIndex) : TBal(channel, channelIndex) {
    FrameCollector = [this](uint8_t b) { CollectFrame(b); };
}

int T5817Bal::Poll(int32_t channelIndex, uint32_t timeOut) {
    StartPoll(channelIndex);
    return PollStatusWeight(*this, timeOut);
}

void T5817Bal::StartPoll(int32_t) {
    StartPollWith("0", "0", [this](uint8_t b) { WaitStx(b); });
}

void T5817Bal::CollectFrame(uint8_t b) {
    if (!AppendBounded(b)) return; // no CR in sight: noise, not a frame
    if (b == static_cast<uint8_t>(Definir::CR)) ByteHandler = [this](uint8_t x) { CheckFrame(x); };
}

uint8_t T5817Bal::FrameCheckSum() {
    CheckSum = 2;
    for (char c : RxBuffer)
        CheckSum += static_cast<unsigned char>(c) & 0x7F;
    return static_cast<uint8_t>((((~CheckSum) & 0x7F) + 1) & 0x7F);
}

void T5817Bal::CheckFrame(uint8_t b) {
    if (b != FrameCheckSum()) {
        ArmWaitStx();
        return;
    }
    if (Ch().DeviceType == kDevice5817) {
        TakeStatusWeightFrame();
        return;
    }
    // The raw variant keeps the frame undecoded, and its serial port open.
    Ch().CounterText = RxBuffer;
    RxBuffer.clear();
    ByteHandler = nullptr;
    FrameDone = true;
}

int PollStatusWeight(TBal& drv, uint32_t timeOut) {
    // Plain poll: 10000 ms; the serial port is retried for 1000 ms; a host time-out waits
    // for a frame without motion. An out-of-range indicator overrides every frame result.
    static const TBal::Timing timing{10000, 1000, true};
    int result = drv.PollCycle(timeOut, timing);
    if (result != 4 && drv.OutOfRange == "S") result = 3;
    return result;
}
