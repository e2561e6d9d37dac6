// The KRT indicator family. Its frames carry the 5817 status characters and weight fields
// (STX, status A, B, C, six-digit weight, six-digit tare, CR) but end at CR without a check
// character, so a frame is taken by its length alone.
#pragma once

#include "Decoder.h"

#include <string>

class TKRTDecoder : public TStxFrameDecoder {
  public:
    TKRTDecoder() : TStxFrameDecoder({.end = 0x0D, .endCounts = true, .trailer = false}) {}

  private:
    bool Take(std::string& frame, TReading& reading, TDecodeFailure& failure) override;
};
