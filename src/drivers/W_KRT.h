// The KRT indicator family. Its frames carry the 5817 status characters and weight fields
// (STX, status A, B, C, six-digit weight, six-digit tare, CR) but end at CR without a check
// character, so a frame is taken by its length alone.
#pragma once

#include "Decoder.h"

#include <string>

class TKRTDecoder : public TDecoder {
  public:
    Step Feed(std::span<const uint8_t> bytes) override;
    void Reset() override;
    size_t Pending() const override;

  private:
    bool collecting_ = false; // after STX
    std::string frame_;       // from STX on
    TReading reading_;
    TDecodeFailure failure_;
};
