// TMSI6260Bal: the MSI 6260 indicator, read through its print output: lines ending in LF,
// of which only those holding one of the labels "TOTAL ", "GROSS ", "  NET " or " TARE "
// are taken. Each poll decodes the first labelled line that arrives after it started.
#pragma once

#include "TBal.h"

#include <string>

class TMSI6260Bal : public TBal {
  public:
    using TBal::TBal;

    void Arm() override;

    // The only receive state: collects a line and takes it at LF when it is labelled.
    void CollectLine(uint8_t b);

    // Decodes total, gross, net and tare texts and the unit from one line.
    static TReading ParseFrame(const std::string& text);
    // The value after `label`: from the eighth character counted from the label's first to
    // two characters before the first occurrence of `unit` ("EEEEEEE" when either is
    // missing, empty when the label stands after the unit).
    static std::string ExtractValue(const std::string& text, const std::string& label,
                                    const std::string& unit);
};
