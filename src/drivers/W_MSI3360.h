// TMSI3360Bal: the MSI 3360 indicator, which sends STX, 26 characters, ETX: gross, net and
// tare weights of 8 characters each (eight hyphens for no value) and a two-character unit.
// It reports no status flags: they read "E", only the unit comes from the frame.
#pragma once

#include "TBal.h"

#include <string>

class TMSI3360Bal : public TBal {
  public:
    TMSI3360Bal(const Family& family, TClDunor* channel, int32_t channelIndex);

    void Arm() override;

    // Receive states.
    void CollectFrame(uint8_t b);

    // Decodes the 26 characters between STX and ETX.
    static TReading ParseFrame(const std::string& frame);
    // Seven blanks and a zero for a field of eight hyphens, else the field unchanged.
    static std::string BlankWeight(const std::string& field);
};

// `text` with every decimal point and comma replaced by the system decimal separator (the
// MSI indicators' fields are kept as printed otherwise).
std::string WithLocaleSeparator(std::string text);
