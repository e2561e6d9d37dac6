// TBal: what every indicator driver shares. The receive path from the channel's transport
// to the driver's current receive state (ByteHandler), the serial port's open and close
// around a poll, the poll's two waiting phases, and weight formatting with the system's
// decimal separator. Each driver adds its own framing, decoding and Poll.
#pragma once

#include "Definir.h"

#include <cstdint>
#include <functional>
#include <string>

class TBal {
  public:
    TBal(TClDunor* channel, int32_t channelIndex);
    virtual ~TBal();
    TBal(const TBal&) = delete;
    TBal& operator=(const TBal&) = delete;

    // The current receive state; empty means received bytes are dropped.
    std::function<void(uint8_t)> ByteHandler;
    uint32_t StartTick = 0;
    uint32_t NowTick = 0;
    bool WaitStable = false;
    bool FrameDone = false;
    std::string Motion;
    int32_t ChannelIndex = 0;
    std::string RxBuffer;
    int32_t Decimals = 0;
    std::string NetMode;
    std::string Negative;
    std::string OutOfRange;
    std::string WeightUnit;
    std::string PrintRequest;
    std::string Increment;

    // Read notification of the channel's reading connection: takes one byte and hands it
    // to ByteHandler (or drops it when no frame is awaited).
    void SocketRead();
    // Data-available notification of the channel's serial port.
    void SerialTrigger(uint16_t count);
    // Opens the serial port for a poll (true at once on a TCP channel).
    bool OpenPort(int32_t channelIndex);
    // Closes the serial port once the poll's frame is in (nothing on a TCP channel).
    void ClosePort();

    // WaitStx, the first receive state of the families whose frames start with STX: an STX
    // empties RxBuffer and arms the driver's collecting state; other bytes are ignored.
    void WaitStx(uint8_t b);

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

    struct Timing {
        uint32_t defaultWait; // wait of a plain poll (time-out -1)
        uint32_t portLimit;   // how long opening the serial port is retried
        bool timeoutIsStable; // a host time-out asks for a frame without motion
    };
    // The poll cycle shared by every driver, after its StartPoll: port phase, optional
    // start action (the Ohaus request), wait phase. Returns 0 (frame), 1 or 2 (no frame)
    // or 4 (serial port did not open).
    int PollCycle(uint32_t timeOut, const Timing& t, const std::function<void()>& onStart = {},
                  const std::function<void()>& perPass = {});

  protected:
    // Resets the weight texts and arms `handler` for a new poll.
    void StartPollWith(const char* grossTare, const char* net,
                       std::function<void(uint8_t)> handler);

    // Where serial characters go; empty means ByteHandler.
    std::function<void(uint8_t)> SerialSink;

    // The state WaitStx arms after an STX (set by the STX-framed drivers).
    std::function<void(uint8_t)> FrameCollector;
    void ArmWaitStx();
    // The poll's frame is in: the serial port closes and no further byte is awaited.
    void FrameTaken();
    // For the families that send the 5817 status-and-weight frame: decodes RxBuffer and
    // takes the frame, unless it does not decode or the poll waits for a stable weight and
    // the frame shows motion; then the next STX starts over. Defined beside the decoder, in
    // W_5817.cpp.
    void TakeStatusWeightFrame();
    // Appends a byte of a frame to RxBuffer. A text that outgrows kMaxRxBuffer without its
    // end character is noise: it is dropped, WaitStx is armed again and false returned.
    bool AppendBounded(uint8_t b);

    // For the drivers that read LF-terminated lines: whether byte `b` of the current line is
    // to be taken. A line that would outgrow kMaxRxBuffer before its LF is not a reply: it is
    // emptied from RxBuffer and the rest of it, up to and including its LF, is skipped.
    bool KeepLineByte(uint8_t b);
    // Set while the rest of an overlong line is being skipped.
    bool SkipLine = false;

  private:
    bool PortPhase(uint32_t limit);
    void WaitPhase(uint32_t wait, const std::function<void()>& perPass);

    TClDunor* channel_;
};
