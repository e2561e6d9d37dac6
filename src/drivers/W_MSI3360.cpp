#include "W_MSI3360.h"

#include "platform.h"

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

TMSI3360Bal::TMSI3360Bal(const Family& family, TClDunor* channel, int32_t channelIndex)
    : TBal(family, channel, channelIndex) {
    FrameCollector = [this](uint8_t b) { CollectFrame(b); };
}

void TMSI3360Bal::Arm() {
    ArmWaitStx();
}

void TMSI3360Bal::CollectFrame(uint8_t b) {
    if (b != static_cast<uint8_t>(Definir::ETX)) {
        AppendBounded(b); // no ETX in sight: noise, not a frame
        return;
    }
    if (RxBuffer.size() != kFrameLength) {
        // Wrong length: dropped whole; the next STX empties the buffer.
        ArmWaitStx();
        Dropped("frame of " + std::to_string(RxBuffer.size()) + " characters, not " +
                std::to_string(kFrameLength));
        return;
    }
    Decoded(ParseFrame(RxBuffer));
}

TReading TMSI3360Bal::ParseFrame(const std::string& frame) {
    const std::string f = WithLocaleSeparator(frame);
    TReading r;
    r.Status = TStatusFlags::UnitOnly(f.substr(24, 2));
    r.Gross = BlankWeight(f.substr(0, 8));
    r.Net = BlankWeight(f.substr(8, 8));
    r.Tare = BlankWeight(f.substr(16, 8));
    // A zero or dashed net reads as the gross.
    if (*r.Net == kZeroWeight) r.Net = r.Gross;
    return r;
}

std::string TMSI3360Bal::BlankWeight(const std::string& field) {
    return field == "--------" ? kZeroWeight : field;
}

// 5000 ms plain wait, 600 ms to open the serial port; the indicator reports no motion, so a
// host time-out only sets the wait.
extern const Family kFamilyMSI3360{.model = "msi3360",
                                   .modelText = "MSI3360",
                                   .deviceType = 3,
                                   .baud = 9600,
                                   .dataBits = 8,
                                   .parity = plat::ParityNone,
                                   .stopBits = 1,
                                   .modemLines = false,
                                   .defaultWaitMs = 5000,
                                   .portLimitMs = 600,
                                   .reportsMotion = false,
                                   .pollStartGrossTare = "0",
                                   .keepsPortOpen = false,
                                   .request = {},
                                   .tcpReadsDuringPollOnly = false,
                                   .make = &MakeDriver<TMSI3360Bal>};
