// TOhausBal: Ohaus indicators, asked for each reading with a print request ("P", CR, LF)
// and answering with one line: the weight, the unit, "?" while the scale moves.
#pragma once

#include "TBal.h"

class TOhausBal : public TBal {
  public:
    TOhausBal(TClDunor* channel, int32_t channelIndex);

    int Poll(int32_t channelIndex, uint32_t timeOut);
    void StartPoll(int32_t channelIndex);

    // Receive states. SendPrintCommand ignores its byte: it sends the request and arms
    // CollectLine.
    void SendPrintCommand(uint8_t b);
    void CollectLine(uint8_t b);
    // Decodes a reply line into the channel's net weight, motion and status texts.
    void ParseLine(const std::string& line);

    // The running poll's wait in milliseconds, measured from StartTick.
    uint32_t Wait = 0;
    // Print requests sent so far.
    uint32_t RequestsSent = 0;

  private:
    // True when a poll of this channel is waiting for its reply.
    bool Polling() const;
};
