// TOhausBal: Ohaus indicators, asked for each reading with a print request ("P", CR, LF, with
// 150 ms between the characters) and answering with one line: the weight, the unit, "?"
// while the scale moves.
#pragma once

#include "TBal.h"

class TOhausBal : public TBal {
  public:
    TOhausBal(const Family& family, TClDunor* channel, int32_t channelIndex);

    // Every received character goes to the line collector, whatever the receive state: a
    // reply that comes in after a poll timed out is still decoded (and closes a serial port).
    void Take(uint8_t b) override;
    void Arm() override;

    // The poll's request: the byte is not used.
    void SendPrintCommand(uint8_t) { SendRequest(); }
    // The only receive state: collects a reply line and decodes it at LF.
    void CollectLine(uint8_t b);
    // Decodes a reply line: the weight run at its start as the net text, "-" anywhere for
    // negative, "?" anywhere for motion.
    TReading ParseLine(const std::string& line) const;
};
