// TOhausBal: Ohaus indicators, asked for each reading with a print request.
#pragma once

#include "TBal.h"

class TOhausBal : public TBal {
  public:
    using TBal::TBal;

    int Poll(int32_t channelIndex, uint32_t timeOut);
};
