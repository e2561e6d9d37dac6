// TKRTBal: the KRT indicator family. Its frames carry the 5817 status characters and
// weight fields (STX, status A, B, C, six-digit weight, six-digit tare, CR) but end at CR
// without a check character, so a frame is taken by its length alone.
#pragma once

#include "TBal.h"

class TKRTBal : public TBal {
  public:
    TKRTBal(TClDunor* channel, int32_t channelIndex);

    // Codes 0-4 as for the 5817 family: 0 frame, 1 none in 10000 ms, 2 none without motion
    // within the host's time-out, 3 out of range (from the last decoded frame), 4 serial
    // port not open within 1000 ms.
    int Poll(int32_t channelIndex, uint32_t timeOut);
    void StartPoll(int32_t channelIndex);

    // Receive states.
    void CollectFrame(uint8_t b);
};
