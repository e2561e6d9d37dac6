// What the tools tell people when something fails, in English: built from the library's
// result codes and from what was being done, each saying what to check. The library's own
// texts (Display_Erro, in Portuguese) are never part of them; a tool shows those only as a
// detail (`tarvel --verbose`). The Python and .NET bindings word the same failures the same
// way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvel::messages {

// How a connection attempt ended, as far as a host of the C API can tell from the time it
// took: at once (refused, no route) or only when the library's 10 s were up.
enum class Ended { AtOnce, AfterTimeOut };
// A call that failed after `elapsedMs`: AfterTimeOut from 9 s on.
Ended EndedAfter(int64_t elapsedMs);

// One indicator as the tools name it.
struct Channel {
    std::string model;   // 5817, 5817c, krt, ohaus, msi3360 or msi6260
    std::string address; // TCP: the converter's IPv4 address; empty for a serial port
    char letter = 'A';   // TCP: the converter channel, A..D
    std::string port;    // serial: "COM3", "COM1 (/dev/ttyUSB0)"

    bool Tcp() const { return !address.empty(); }
    // "192.168.0.50:A", or the serial port.
    std::string Where() const;
    // The converter's TCP port of the channel: 8881..8884.
    int TcpPort() const { return 8880 + (letter - 'A' + 1); }
};

// A model's serial line: "4800 baud, 7 data bits, even parity, 1 stop bit"; empty for an
// unknown model.
std::string LineSettings(std::string_view model);
// How long Update_Canal waits for the model's frame, in seconds: 10 (5817, KRT) or 5.
int WaitSeconds(std::string_view model);

// Select_Canal gave 0.
//   nothing listens on 192.168.0.50 port 8881: is the converter on, and is its channel A set
//   to TCP server?
std::string ConnectFailed(const Channel& c, Ended how);

// A poll gave no reading: result 1 (no frame within `noMotionMs`, or the model's own wait when
// it is negative), 2 (no frame without motion within `noMotionMs`) or 4 (the serial port did
// not open); other results get a general text.
std::string PollFailed(const Channel& c, int32_t result, int64_t noMotionMs = -1);

// A reading whose indicator reports out of range (poll result 3).
std::string OutOfRange(const Channel& c);

// A stable read that ran out of time: no `count` readings in a row settled on one net weight
// within `seconds`.
std::string NotSettled(const Channel& c, std::size_t count, double seconds);

// A digital I/O or buffer command failed (-1). `action` says what was being done ("set
// output 3 on", "read the inputs"); `input`: a command whose reply carries the value.
std::string DioFailed(std::string_view action, const std::string& address, bool input, Ended how);

// Seconds for a message: "10 s", "2.5 s", "0.3 s".
std::string Seconds(double seconds);

} // namespace tarvel::messages
