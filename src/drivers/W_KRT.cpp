#include "W_KRT.h"

#include "Family.h"
#include "W_5817.h"

bool TKRTDecoder::Take(std::string& frame, TReading& reading, TDecodeFailure& failure) {
    // The length is the only check this frame allows: anything else is dropped and the next
    // STX starts over.
    const size_t length = frame.size() - 1; // status A through CR
    if (length != kStatusWeightLength) {
        failure = {TDecodeFailure::Kind::Length, static_cast<uint32_t>(length),
                   static_cast<uint32_t>(kStatusWeightLength)};
        return false;
    }
    DecodeStatusWeight(std::string_view(frame).substr(1), reading);
    reading.bytes.swap(frame);
    return true;
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
                               .suppliesWeights = true,
                               .request = {},
                               .tcpReadsDuringPollOnly = false,
                               .decoder = &MakeDecoder<TKRTDecoder>};
