// Ohaus indicators, asked for each reading with a print request ("P", CR, LF, with 150 ms
// between the characters) and answering with one line: the weight, the unit, "?" while the
// scale moves.
#pragma once

#include "Decoder.h"

#include <string>

class TOhausDecoder : public TDecoder {
  public:
    Step Feed(std::span<const uint8_t> bytes) override;
    void Reset() override;
    size_t Pending() const override;

  private:
    // Decodes the line collected: the weight run at its start, "-" anywhere for negative,
    // "?" anywhere for motion, the word after the run for the unit.
    void Decode();

    bool skipping_ = false; // the rest of an overlong line, up to its LF
    std::string text_;      // the line's characters, CR left out
    std::string raw_;       // the line's bytes as they came
    TReading reading_;
    TDecodeFailure failure_;
};
