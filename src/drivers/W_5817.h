// T5817Bal: the 5817 indicator family, which sends status-and-weight frames continuously:
// STX, status A, B, C, six-digit weight, six-digit tare, CR, check character. The raw
// variant (model 5817c, device type 4) keeps the frame's characters undecoded in the
// counter text.
#pragma once

#include "TBal.h"

class T5817Bal : public TBal {
  public:
    T5817Bal(const Family& family, TClDunor* channel, int32_t channelIndex);

    void Arm() override;

    // Receive states.
    void CollectFrame(uint8_t b);
    void CheckFrame(uint8_t b);

    // 7-bit two's complement of the sum of STX and every character of RxBuffer.
    uint8_t FrameCheckSum() const;
};

// Characters of a status-and-weight frame from status A through CR.
constexpr size_t kStatusWeightLength = 16;

// Decodes a status-and-weight frame (status A at position 0, CR at 15) of the 5817 and KRT
// families into `out` and `decimals`: the status flags, the net, tare and gross weight texts.
// False (nothing written) for a frame too short to hold both weights.
bool DecodeStatusWeight(const std::string& frame, TReading& out, int32_t& decimals);
