// The MSI 3360 indicator, which sends STX, 26 characters, ETX: gross, net and tare weights of
// 8 characters each (eight hyphens for no value) and a two-character unit. It reports no
// status flags, only the unit.
#pragma once

#include "Decoder.h"

#include <string>

class TMSI3360Decoder : public TStxFrameDecoder {
  public:
    // Characters between STX and ETX.
    static constexpr size_t kFrameLength = 26;

    // Every byte up to ETX is the frame's, a further STX included.
    TMSI3360Decoder() : TStxFrameDecoder({.end = 0x03, .endCounts = false, .trailer = false}) {}

  private:
    bool Take(std::string& frame, TReading& reading, TDecodeFailure& failure) override;
};
