#include "W_MSI3360.h"

#include "Family.h"

namespace {

// The 8-character field at `at` of the frame: eight hyphens show 0, anything else is shown
// as sent.
TWeightField Field(const std::string& frame, size_t at) {
    TWeightField f;
    const std::string_view text = std::string_view(frame).substr(at, 8);
    if (text == "--------") {
        f.form = TWeightField::Form::Zero;
        f.value = TWeight{0, 0};
        return f;
    }
    f.form = TWeightField::Form::Printed;
    f.at = static_cast<uint16_t>(at);
    f.size = 8;
    f.value = WeightOfText(text);
    return f;
}

} // namespace

bool TMSI3360Decoder::Take(std::string& frame, TReading& r, TDecodeFailure& failure) {
    const size_t length = frame.size() - 2; // between STX and ETX
    if (length != kFrameLength) {
        // Wrong length: dropped whole.
        failure = {TDecodeFailure::Kind::Length, static_cast<uint32_t>(length),
                   static_cast<uint32_t>(kFrameLength)};
        return false;
    }
    r = TReading{};
    r.unit = frame.substr(25, 2);
    r.gross = Field(frame, 1);
    r.net = Field(frame, 9);
    r.tare = Field(frame, 17);
    // A zero or dashed net reads as the gross.
    const std::string_view net = std::string_view(frame).substr(9, 8);
    if (net == "--------" || net == "       0") r.net = r.gross;
    r.bytes.swap(frame);
    return true;
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
                                   .suppliesWeights = true,
                                   .request = {},
                                   .tcpReadsDuringPollOnly = false,
                                   .decoder = &MakeDecoder<TMSI3360Decoder>};
