// TBal: a channel's driver. It runs the channel's poll with its family's decoder (the serial
// port opened and closed around it, the two waiting phases, the request of an asking
// indicator), takes what the channel's transport has received in chunks, and hands the bytes
// to the decoder; each reading the decoder returns becomes the channel's texts. What is
// particular to a family is in its descriptor (Family.h) and its decoder.
#pragma once

#include "Channels.h"
#include "Decoder.h"
#include "Family.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

class TBal {
  public:
    TBal(const Family& family, TClDunor& channel, int32_t channelIndex);
    ~TBal();
    TBal(const TBal&) = delete;
    TBal& operator=(const TBal&) = delete;

    const Family& Fam() const { return family_; }

    int32_t ChannelIndex = 0;
    uint32_t StartTick = 0;
    uint32_t NowTick = 0;
    bool WaitStable = false;
    // The poll's frame is in.
    bool FrameDone = false;
    // The running poll's wait in milliseconds, measured from StartTick.
    uint32_t Wait = 0;

    // Waits for a frame (time-out -1: the family's plain wait; else a wait for a frame
    // without motion, for families that report motion) and returns a tarvel_poll_result.
    int Poll(uint32_t timeOut);

    // Read notification of the channel's reading connection: takes what is waiting in it.
    void SocketRead();
    // Data-available notification of the channel's serial port: takes `count` characters.
    void SerialTrigger(uint16_t count);
    // Opens the serial port for a poll (true at once on a TCP channel).
    bool OpenPort();
    // Closes the serial port once the poll's frame is in (nothing on a TCP channel).
    void ClosePort();
    // An asking indicator's request, as the poll sends it: the pauses between its steps
    // block the thread and process no messages.
    void SendRequest();
    // The channel's connection was opened anew: nothing of the old one is kept.
    void Reconnected() { held_.clear(); }

    // Received bytes, from the reading connection (`tcp`) or the serial port. They go to the
    // decoder while a poll waits for its frame (and, for an asking indicator, whenever they
    // come: a reply after a poll that gave up is still taken); otherwise they are dropped.
    // Once the poll's frame is in, the rest is dropped too, but for an asking indicator's
    // connection, whose bytes wait for the next poll.
    void Take(std::span<const uint8_t> bytes, bool tcp);
    // Characters the decoder holds of a frame not complete yet.
    size_t Pending() const { return decoder_->Pending(); }

  private:
    bool Polling() const;
    bool Receiving() const { return armed_ || family_.Asks(); }
    // Arms the decoder for a new frame.
    void Arm();
    void StartPoll();
    int PollCycle(uint32_t timeOut);
    bool PortPhase();
    void WaitPhase();
    void EndPoll();
    // A reading: it becomes the channel's texts; true when it ends the poll (a moving frame
    // during a wait for a still one does not).
    bool Decoded(const TReading& r);
    void Dropped(const TDecodeFailure& f);
    // The poll's frame is in: the serial port closes (unless the family keeps it open) and
    // no further byte is awaited.
    void FrameTaken();
    // Sends bytes to the indicator over the channel's transport (nothing when it is closed).
    void SendToIndicator(const std::string& bytes);
    std::string Label() const;

    const Family& family_;
    TClDunor& channel_;
    std::unique_ptr<TDecoder> decoder_;
    // A poll waits for its frame.
    bool armed_ = false;
    // The last decoded status said the indicator is out of range (it stays from poll to poll).
    bool outOfRange_ = false;
    // A moving reply of an asking indicator came in during a wait for a stable one: the
    // wait asks again.
    bool requestDue_ = false;
    // Bytes of an asking indicator's connection that came after the line its poll took:
    // the next poll reads them first, as if they had stayed in the connection.
    std::string held_;
    // Why the serial port did not open at the last try.
    std::string portFailure_;
};

// Makes the driver of a channel of `family`.
std::unique_ptr<TBal> MakeDriver(const Family& family, TClDunor& channel, int32_t index);
