// TMSI6260Bal: the MSI 6260 indicator, read through its print output: lines ending in LF,
// of which only those holding one of the labels "TOTAL ", "GROSS ", "  NET " or " TARE "
// are taken. Each poll decodes the first labelled line that arrives after it started.
#pragma once

#include "TBal.h"

#include <string>

class TMSI6260Bal : public TBal {
  public:
    using TBal::TBal;

    // 0 a labelled line was decoded, 1 none within the wait (5000 ms, or the host's
    // time-out), 4 serial port not open within 600 ms.
    int Poll(int32_t channelIndex, uint32_t timeOut);
    void StartPoll(int32_t channelIndex);

    // The only receive state: collects a line and takes it at LF when it is labelled.
    void CollectLine(uint8_t b);

    // Writes total, gross, net and tare texts, motion and status from one line.
    void ParseFrame(const std::string& text);
    // The value after `label`: from the eighth character counted from the label's first to
    // two characters before the first occurrence of WeightUnit ("EEEEEEE" when either is
    // missing, empty when the label stands after the unit).
    std::string ExtractValue(const std::string& text, const std::string& label) const;
};
