// The channel registry: the table of registered converter addresses, the table of channels
// and the channel object, and what closing, deleting and unloading do to them.
#pragma once

#include "DataMDll.h"
#include "DataMSerial.h"
#include "Reading.h"
#include "ValueTexts.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TBal;

namespace Definir {
constexpr char STX = 0x02;
constexpr char ETX = 0x03;
constexpr char LF = 0x0A;
constexpr char CR = 0x0D;
} // namespace Definir

// One registered converter: its address text, NUL-padded to 16 characters (no terminator
// when the text is 16 characters long).
struct TIpProg {
    std::array<char, 16> IpAddress{};
    // The characters up to the first NUL, or all 16.
    std::string Text() const;
};

// Channel states.
enum : int32_t { kStatePolling = 0, kStateClosed = 1, kStateIdle = 2 };

// The channel: one indicator reached through a converter channel or a local serial port. Its
// value texts are made from its driver's readings as they come in (Take), with the system's
// decimal separator; the weights' numbers are kept beside them for the value functions that
// return numbers.
class TClDunor : public std::enable_shared_from_this<TClDunor>, public TValueTexts {
  public:
    TClDunor() = default;
    ~TClDunor();
    TClDunor(const TClDunor&) = delete;
    TClDunor& operator=(const TClDunor&) = delete;

    std::string ErrorText;
    std::string PendingErrorText;
    std::unique_ptr<TDMDLL> TcpModule;
    std::unique_ptr<TDMSerialDll> SerialModule;
    std::unique_ptr<TBal> Driver;
    int32_t ChannelState = 0;
    int32_t IpIndex = 0;
    int32_t ConverterChannel = 0;
    std::string ModelName;
    int32_t DeviceType = 0;
    int32_t TcpPort = 0;

    // The numbers of the gross, net and tare texts (nullopt: the text is not a number), and
    // the unit of the last reading (empty: it named none).
    std::optional<TWeight> GrossValue, NetValue, TareValue;
    std::string Unit;

    // A reading of the channel's indicator: its texts and numbers replace those it carries.
    void Take(const TReading& r);
    // What a poll starts with: net "0", gross and tare as the family resets them.
    void StartPoll(const char* grossTare);

    // Calls that are using the channel right now (a poll or a connect waiting further up
    // the stack, a receive notification). A close or delete requested meanwhile is carried
    // out when the last of them returns.
    int UseCount = 0;
    bool ClosePending = false;

    // Whether the calling thread may release the transport: the one that opened it (its
    // notifications run there), or any thread while it is not open.
    bool OwnedHere() const;

    // Releases the transport and the driver (the close of a channel).
    void ReleaseTransports();
};

// Keeps a channel alive and its transport and driver in place for the length of a call;
// a close requested meanwhile is carried out when the outermost use ends.
class ChannelUse {
  public:
    explicit ChannelUse(TClDunor* ch);
    ~ChannelUse();
    ChannelUse(const ChannelUse&) = delete;
    ChannelUse& operator=(const ChannelUse&) = delete;
    // True when the channel was closed or deleted during this use.
    bool Released() const { return ch_ && ch_->ClosePending; }

  private:
    std::shared_ptr<TClDunor> ch_;
};

extern std::vector<TIpProg> IpTable;
extern std::vector<std::shared_ptr<TClDunor>> ChannelTable;

// The channel in a slot, or null for an index outside the table or an empty slot.
TClDunor* ChannelAt(int32_t index);
// The registered address of an IP index, or nullopt.
std::optional<std::string> IpAddressOf(int32_t ipIndex);

// The IO exchange (IoExchange.h) with a registered converter: false only when a send or
// receive failed on the established connection, or the reply overflowed kIoReplyLimit (the
// caller's failure); an IP index that names no converter gives an empty reply.
bool IoExchange(int32_t ipIndex, const std::string& command, std::string& reply);
// Runs the exchange without looking at the reply: 0 once the command was sent on a connection
// that was made; -1 when no connection could be made (refused, unreachable, not made within
// kIoTimeoutMs) or a send or receive failed.
int32_t IoCommand(int32_t ipIndex, const std::string& command);
// The input port value of a registered converter, or -1.
int32_t InPortValue(int32_t ipIndex);

// Closes and deletes a channel, deferring the release while the channel is in use. A thread
// other than the one that opened the channel's transport is refused: nothing changes, the
// channel's pending error says why, and the result is false.
bool CloseChannel(int32_t index);
bool DeleteChannel(int32_t index);

// What unloading the library does: both tables emptied (channels still in the table are
// not closed: the host deletes them first) and LastError cleared.
void UnloadLibrary();
