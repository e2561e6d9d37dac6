// TKRTBal: the KRT indicator family. Its frames carry the 5817 status characters and
// weight fields (STX, status A, B, C, six-digit weight, six-digit tare, CR) but end at CR
// without a check character, so a frame is taken by its length alone.
#pragma once

#include "TBal.h"

class TKRTBal : public TBal {
  public:
    TKRTBal(const Family& family, TClDunor* channel, int32_t channelIndex);

    void Arm() override;

    // Receive states.
    void CollectFrame(uint8_t b);
};
