// TMSI3360Bal: the MSI 3360 (STX, 26 characters, ETX).
#pragma once

#include "TBal.h"

class TMSI3360Bal : public TBal {
  public:
    using TBal::TBal;

    int Poll(int32_t channelIndex, uint32_t timeOut);
};
