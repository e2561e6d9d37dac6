// TKRTBal: the KRT family (5817-style frames ended by CR, no check character).
#pragma once

#include "TBal.h"

class TKRTBal : public TBal {
  public:
    using TBal::TBal;

    int Poll(int32_t channelIndex, uint32_t timeOut);
};
