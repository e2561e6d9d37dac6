// Shared state of the library: the table of registered converter addresses, the table of
// channels, the channel object, the last validation message, the validators and the small
// helpers every part uses (locale separator, timed wait, the converter's IO command exchange).
#pragma once

#include "DataMDll.h"
#include "DataMSerial.h"
#include "TReading.h"

#include <array>
#include <cstdint>
#include <memory>
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

// What the string value functions give for a closed channel, and the Ohaus driver stores for
// the gross and tare weights it does not have: ten "E", the width of a weight text.
inline constexpr char kNoValueText[] = "EEEEEEEEEE";

// Channel states.
enum : int32_t { kStatePolling = 0, kStateClosed = 1, kStateIdle = 2 };

// The channel: one indicator reached through a converter channel or a local serial port. Its
// value texts (TValueTexts) are written from its driver's readings.
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

    // Calls that are using the channel right now (a poll or a connect waiting further up
    // the stack, a receive notification). A close or delete requested meanwhile is carried
    // out when the last of them returns.
    int UseCount = 0;
    bool ClosePending = false;

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
extern std::string LastError;

// The channel in a slot, or null for an index outside the table or an empty slot.
TClDunor* ChannelAt(int32_t index);

bool Valida_Ip(int32_t index);
bool Valida_Canal(int32_t index);
bool Valida_CanalSerial(const std::string& letter);
// Message for an address that Seta_Ip cannot register (null or longer than 16).
std::string SetaIpRejected();

// The system default locale's decimal separator (the drivers use its first character).
std::string LocaleDecimalSeparator();

// Waits the given milliseconds, blocking the thread; processes no messages.
void TickWait(uint32_t ms);

// ---- the converter's IO command connection (TCP port 8880) ------------------------------

constexpr int kIoPort = 8880;
// Reads and writes of one exchange each wait at most this long; the reply is read until
// its end marker or until this long after the command was written.
constexpr uint32_t kIoTimeoutMs = 10000;
// Longest reply kept: a converter that sends more without the end marker is flooding the
// connection, and the exchange fails.
constexpr size_t kIoReplyLimit = 4096;
// What every reply of the converter ends with.
inline constexpr char kIoEndMarker[] = " OK\n\r";

// What one command-and-reply exchange brought.
struct IoReply {
    bool connected = false; // a connection to the converter was made
    bool ok = true;         // false: a send or receive failed, or the reply overflowed
    bool complete = false;  // the reply holds the end marker
    std::string text;       // what came in (empty when no connection could be made)
};
// One exchange with the converter at `address` on a connection of its own, which exists only
// for the exchange. Uses no shared state, so exchanges with several converters may run on
// several threads at once.
IoReply IoExchangeWith(const std::string& address, const std::string& command);
// The same with a registered converter: false only when a send or receive failed on the
// established connection, or the reply overflowed kIoReplyLimit (the caller's failure).
bool IoExchange(int32_t ipIndex, const std::string& command, std::string& reply);
// Runs the exchange without looking at the reply: 0 once the command was sent on a connection
// that was made; -1 when no connection could be made (refused, unreachable, not made within
// kIoTimeoutMs) or a send or receive failed.
int32_t IoCommand(int32_t ipIndex, const std::string& command);
// The converter's input port value in a reply: the three characters after its first "IN"
// read as a decimal integer, or -1.
int32_t InPortOfReply(const std::string& reply);
// The input port value of a registered converter, or -1.
int32_t InPortValue(int32_t ipIndex);

// Reads `text` as a whole decimal integer: leading blanks and one sign are allowed, then
// only digits to its end. False (value untouched) for anything else.
bool ReadInteger(const std::string& text, long& value);

// Upper-cases a host text (a null pointer gives the empty text).
std::string UpperText(const char* s);

// Closes and deletes a channel, deferring the release while the channel is in use.
void CloseChannel(int32_t index);
void DeleteChannel(int32_t index);

// What unloading the library does: both tables emptied (channels still in the table are
// not closed: the host deletes them first) and LastError cleared.
void UnloadLibrary();
