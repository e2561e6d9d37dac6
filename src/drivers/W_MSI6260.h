// The MSI 6260 indicator, which prints tickets: lines ending in LF, of which those holding a
// label ("TOTAL ", "GROSS ", "  NET ", " TARE ") are readings. It reports no status flags,
// only the unit.
#pragma once

#include "Decoder.h"

#include <string>

class TMSI6260Decoder : public TDecoder {
  public:
    Step Feed(std::span<const uint8_t> bytes) override;
    void Reset() override;
    size_t Pending() const override;

  private:
    bool skipping_ = false; // the rest of an overlong line, up to its LF
    std::string line_;      // the line so far
    TReading reading_;
    TDecodeFailure failure_;
};
