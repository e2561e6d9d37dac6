// T5817Bal: the 5817 indicator family, which sends status-and-weight frames continuously:
// STX, status A, B, C, six-digit weight, six-digit tare, CR, check character. The raw
// variant (device type 4) keeps the frame's characters undecoded in CounterText.
#pragma once

#include "TBal.h"

class T5817Bal : public TBal {
  public:
    T5817Bal(TClDunor* channel, int32_t channelIndex);

    int Poll(int32_t channelIndex, uint32_t timeOut);
    void StartPoll(int32_t channelIndex);

    // Receive states.
    void CollectFrame(uint8_t b);
    void CheckFrame(uint8_t b);

    // 7-bit two's complement of the sum of STX and every character of RxBuffer.
    uint8_t FrameCheckSum();

    int32_t CheckSum = 0;
};

// Decoding shared by the families that send the 5817 status-and-weight frame (status A
// at position 1, CR at 16). Writes the driver's flags and the channel's texts; false (and
// nothing written) for a frame too short to hold both weights.
bool ParseStatusWeightFrame(TBal& drv, TClDunor& ch, const std::string& frame);
// Poll timing of the 5817-style families.
int PollStatusWeight(TBal& drv, uint32_t timeOut);
