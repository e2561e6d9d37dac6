// The network converter as the library reaches it: each serial channel's reading connection
// on its own port, and the IO command connection (TCP port 8880) for the digital inputs and
// outputs and the buffer commands, one blocking exchange per command.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The converter's IO command port; serial channel n (A = 1 ... D = 4) is on port 8880 + n.
constexpr int kIoPort = 8880;
// The reading connection's port of a converter channel letter "A".."D" (either case), or
// nullopt for anything else.
std::optional<int> ConverterPort(char letter);
// How long a connection to a converter may take to come up before it is given up.
constexpr uint32_t kConnectLimitMs = 10000;

// Reads and writes of one exchange each wait at most this long; the reply is read until
// its end marker or until this long after the command was written.
constexpr uint32_t kIoTimeoutMs = 10000;
// Longest reply kept: a converter that sends more without the end marker is flooding the
// connection, and the exchange fails.
constexpr size_t kIoReplyLimit = 4096;
// What every command to the converter ends with.
inline constexpr char kIoCommandEnd = '\r';
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
// The converter's input port value in a reply: the three characters after its first "IN"
// read as a decimal integer, or -1.
int32_t InPortOfReply(const std::string& reply);
// The eight low bits of an input or output port value, bit 0 first, "S" for a set bit and
// "N" for a clear one: 5 is "SNSNNNNN".
std::string PortBits(int32_t value);

// Waits the given milliseconds, blocking the thread; processes no messages.
void TickWait(uint32_t ms);
