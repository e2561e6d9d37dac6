// TBal: what every indicator driver shares. One way in for received bytes (Take), whatever
// the transport; the framing helpers; the hand-back of a decoded reading; and the channel's
// poll: the serial port's open and close around it, its two waiting phases, the request of an
// asking indicator, and weight formatting with the system's decimal separator. Each driver
// adds its own framing and decoding; its family's descriptor (Family.h) says the rest.
//
// A driver works for one of two owners: a channel of the exported API, whose poll (Poll) it
// runs and whose texts its readings become; or the live core, which feeds it bytes and takes
// each reading through a listener (the driver then has no channel).
#pragma once

#include "Definir.h"
#include "Family.h"
#include "TReading.h"

#include <cstdint>
#include <functional>
#include <string>

class TBal;

// Receives what a driver fed by the live core decodes.
class ReadingListener {
  public:
    virtual ~ReadingListener() = default;
    virtual void OnReading(TBal& driver, const TReading& reading) = 0;
    // A frame or line that was not taken, and why.
    virtual void OnDropped(TBal& driver, const std::string& why) = 0;
};

class TBal {
  public:
    TBal(const Family& family, TClDunor* channel, int32_t channelIndex);
    virtual ~TBal();
    TBal(const TBal&) = delete;
    TBal& operator=(const TBal&) = delete;

    const Family& Fam() const { return family_; }

    // The current receive state; empty means received bytes are dropped.
    std::function<void(uint8_t)> ByteHandler;
    uint32_t StartTick = 0;
    uint32_t NowTick = 0;
    bool WaitStable = false;
    bool FrameDone = false;
    int32_t ChannelIndex = 0;
    std::string RxBuffer;
    // Decimal places of the last decoded status-and-weight frame.
    int32_t Decimals = 0;
    // The status of the last decoded frame; it stays from poll to poll.
    TStatusFlags Flags;
    // The running poll's wait in milliseconds, measured from StartTick.
    uint32_t Wait = 0;

    // Takes one received byte: the one way in for bytes, whatever the transport.
    virtual void Take(uint8_t b);
    // Arms the first receive state of a frame.
    virtual void Arm() = 0;

    // ---- the live core -----------------------------------------------------------------
    // Set by the live core: it then receives every reading and dropped frame, and the
    // driver re-arms itself after each reading.
    ReadingListener* Listener = nullptr;
    // What the trace calls this driver ("channel N" unless set).
    std::string Name;

    // ---- the channel's poll ------------------------------------------------------------
    // Waits for a frame (time-out -1: the family's plain wait; else a wait for a frame
    // without motion, for families that report motion) and returns a tarvel_poll_result.
    virtual int Poll(uint32_t timeOut);
    // Resets the channel's weights and arms the receive state for a new poll.
    void StartPoll();
    // Read notification of the channel's reading connection: takes one byte.
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

    // FormatWeight: digits right-aligned in ten characters, with the system decimal
    // separator before the last `decimals` digits and a minus sign directly left of the
    // first digit when `sign` is wanted.
    static std::string FormatWeight(std::string digits, int decimals, bool sign);
    // First character of the system default locale's decimal separator.
    static char Sep();

    // Longest receive buffer any driver keeps: a frame or line that runs past it without
    // its end character is noise, and the driver goes back to waiting for a start.
    static constexpr size_t kMaxRxBuffer = 512;

    TClDunor& Ch() const { return *channel_; }

  protected:
    // A frame is decoded: its reading goes to the owner. For a channel's poll the reading
    // becomes the channel's texts, and the poll ends unless it waits for a frame without
    // motion and this one moves (then the next frame is awaited, or asked for).
    void Decoded(const TReading& r);
    // A frame or line is not taken.
    void Dropped(const std::string& why);

    // WaitStx, the first receive state of the families whose frames start with STX: an STX
    // empties RxBuffer and arms FrameCollector; other bytes are ignored.
    void WaitStx(uint8_t b);
    void ArmWaitStx();
    // The state WaitStx arms after an STX (set by the STX-framed drivers).
    std::function<void(uint8_t)> FrameCollector;
    // Appends a byte of a frame to RxBuffer. A text that outgrows kMaxRxBuffer without its
    // end character is noise: it is dropped, WaitStx is armed again and false returned.
    bool AppendBounded(uint8_t b);

    // For the drivers that read LF-terminated lines: whether byte `b` of the current line is
    // to be taken. A line that would outgrow kMaxRxBuffer before its LF is not a reply: it is
    // emptied from RxBuffer and the rest of it, up to and including its LF, is skipped.
    bool KeepLineByte(uint8_t b);
    // Set while the rest of an overlong line is being skipped.
    bool SkipLine = false;

    // What the trace calls this driver.
    std::string Label() const;

  private:
    bool Polling() const;
    // The poll's frame is in: the serial port closes (unless the family keeps it open) and
    // no further byte is awaited.
    void FrameTaken();
    int PollCycle(uint32_t timeOut);
    bool PortPhase();
    void WaitPhase();
    void EndPoll();
    // Sends bytes to the indicator over the channel's transport (nothing when it is closed).
    void SendToIndicator(const std::string& bytes);

    const Family& family_;
    TClDunor* channel_;
    // A moving reply of an asking indicator came in during a wait for a stable one: the
    // wait asks again.
    bool requestDue_ = false;
    // Why the serial port did not open at the last try.
    std::string portFailure_;
};

// Makes a driver of class D for `family` (the descriptors' factory).
template <class D>
std::unique_ptr<TBal> MakeDriver(const Family& family, TClDunor* channel, int32_t index) {
    return std::make_unique<D>(family, channel, index);
}
