// TMSI6260Bal: the MSI 6260 (labelled print lines).
#pragma once

#include "TBal.h"

class TMSI6260Bal : public TBal {
  public:
    using TBal::TBal;

    int Poll(int32_t channelIndex, uint32_t timeOut);
};
