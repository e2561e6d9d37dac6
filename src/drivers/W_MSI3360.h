// The MSI 3360 indicator, which sends STX, 26 characters, ETX: gross, net and tare weights of
// 8 characters each (eight hyphens for no value) and a two-character unit. It reports no
// status flags, only the unit.
#pragma once

#include "Decoder.h"

#include <string>

class TMSI3360Decoder : public TDecoder {
  public:
    // Characters between STX and ETX.
    static constexpr size_t kFrameLength = 26;

    Step Feed(std::span<const uint8_t> bytes) override;
    void Reset() override;
    size_t Pending() const override;

  private:
    bool collecting_ = false; // after STX
    std::string frame_;       // from STX on
    TReading reading_;
    TDecodeFailure failure_;
};
