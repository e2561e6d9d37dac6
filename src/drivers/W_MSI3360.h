// TMSI3360Bal: the MSI 3360 indicator, which sends STX, 26 characters, ETX: gross, net and
// tare weights of 8 characters each (eight hyphens for no value) and a two-character unit.
// It reports no status flags: they read "E", only the unit comes from the frame.
#pragma once

#include "TBal.h"

#include <string>

class TMSI3360Bal : public TBal {
  public:
    TMSI3360Bal(TClDunor* channel, int32_t channelIndex);

    // 0 a frame was decoded, 1 none within the wait (5000 ms, or the host's time-out: this
    // indicator reports no motion, so a time-out only sets the wait), 4 serial port not
    // open within 600 ms.
    int Poll(int32_t channelIndex, uint32_t timeOut);
    void StartPoll(int32_t channelIndex);

    // Receive states.
    void CollectFrame(uint8_t b);

    // Writes the channel's texts from the 26 characters between STX and ETX.
    void ParseFrame(const std::string& frame);
    // Seven blanks and a zero for a field of eight hyphens, else the field unchanged.
    static std::string BlankWeight(const std::string& field);
};

// Shared with the MSI 6260 driver, which polls and reports status the same way.

// `text` with every decimal point and comma replaced by the system decimal separator.
std::string WithLocaleSeparator(std::string text);
// Status of an indicator that reports only its unit: every flag "E", the unit as given;
// writes the driver's flags and the channel's MotionText and StatusText.
void SetUnitOnlyStatus(TBal& drv, TClDunor& ch, const std::string& unit);
// Poll timing of the MSI indicators: 5000 ms plain wait, 600 ms to open the serial port.
int PollUnitOnly(TBal& drv, uint32_t timeOut);
