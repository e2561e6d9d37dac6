#include "W_KRT.h"

#include "W_5817.h"
#include "platform.h"

TKRTBal::TKRTBal(const Family& family, TClDunor* channel, int32_t channelIndex)
    : TBal(family, channel, channelIndex) {
    FrameCollector = [this](uint8_t b) { CollectFrame(b); };
}

void TKRTBal::Arm() {
    ArmWaitStx();
}

void TKRTBal::CollectFrame(uint8_t b) {
    if (!AppendBounded(b)) return; // no CR in sight: noise, not a frame
    if (b != static_cast<uint8_t>(Definir::CR)) return;
    // The length is the only check this frame allows: anything else is dropped and the
    // next STX starts over (its text stays in RxBuffer until then).
    TReading r;
    if (RxBuffer.size() != kStatusWeightLength || !DecodeStatusWeight(RxBuffer, r, Decimals)) {
        ArmWaitStx();
        Dropped("frame of " + std::to_string(RxBuffer.size()) + " characters, not " +
                std::to_string(kStatusWeightLength));
        return;
    }
    Decoded(r);
}

// Codes 0-4 as for the 5817 family: 10000 ms plain wait, 1000 ms to open the serial port, a
// host time-out waits for a frame without motion.
extern const Family kFamilyKRT{.model = "krt",
                               .modelText = "KRT",
                               .deviceType = 6,
                               .baud = 4800,
                               .dataBits = 7,
                               .parity = plat::ParityEven,
                               .stopBits = 1,
                               .modemLines = false,
                               .defaultWaitMs = 10000,
                               .portLimitMs = 1000,
                               .reportsMotion = true,
                               .pollStartGrossTare = "0",
                               .keepsPortOpen = false,
                               .request = {},
                               .tcpReadsDuringPollOnly = false,
                               .make = &MakeDriver<TKRTBal>};
