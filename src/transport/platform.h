// The library's platform layer: message processing, waits, the tick counter, the locale,
// the asynchronous TCP client and the serial port. One implementation per operating system
// (platform_posix.cpp, platform_win.cpp); everything above this header is portable.
//
// Threading model: a transport (TcpClient, SerialPort) belongs to the thread that created it,
// the host's calling thread for a channel, the live core's thread for its scales. Its
// notifications (socket readable, connected, closed/error; serial characters available) are
// delivered to that thread only, while it processes its pending messages: inside
// ProcessMessages(), WaitMessages() or WaitAndProcess(), or (on Windows) in the host's own
// message loop. Each thread has its own table of notification sources and its own posted
// callbacks; opening or closing a transport from another thread is refused. On Windows a
// serial port also has a reception thread of its own, which only fills the port's buffer.
// The settings every thread reads (the tick counter's offset, the decimal separator's
// override) are atomic.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace plat {

// ---- time ----------------------------------------------------------------------------

// Milliseconds, unsigned 32-bit, wrapping after 2^32 - 1. Elapsed time is always the
// unsigned difference of two readings.
uint32_t TickCount();
// Test hook: make the next TickCount() reading equal `value` (it keeps counting from there),
// so that wrap-around can be exercised.
void SetTickCount(uint32_t value);
void SleepMs(uint32_t ms);

// ---- messages ------------------------------------------------------------------------

// Processes every notification pending for the calling thread right now (socket and serial
// notifications, posted callbacks that are due). Never blocks.
void ProcessMessages();
// Blocks until at least one notification is pending for the calling thread or `ms`
// milliseconds have passed, whichever comes first. Does not dispatch anything.
void WaitMessages(uint32_t ms);
// For an event loop of its own (the live core): waits until something is ready or `ms` pass,
// then hands out what is ready, one notification to each source, and runs the posted
// callbacks that are due. Cheaper per wake than WaitMessages and ProcessMessages, as it asks
// the system once; what is still ready after that is handed out by the next call.
void WaitAndProcess(uint32_t ms);
// What an exported call does first on a platform where no host message loop runs between
// calls (POSIX): the notifications that came in since the last call are processed, as the
// host's loop would have done (bytes nobody waits for are dropped). Nothing on Windows.
void CatchUp();
// Plays the role of a host timer: `fn` runs once, `delayMs` after now, from inside the
// message processing of the thread that posted it.
void PostCallback(uint32_t delayMs, std::function<void()> fn);

// ---- locale --------------------------------------------------------------------------

// First character of the decimal separator of the system default locale (Windows:
// GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_SDECIMAL); POSIX: the environment's
// LC_NUMERIC). A value set with SetDecimalSeparator takes precedence.
std::string SystemDecimalSeparator();
// Test hook / user override: 0 goes back to the operating system's setting.
void SetDecimalSeparator(char sep);
// The first character of SystemDecimalSeparator(), '.' when it has none.
inline char DecimalSeparator() {
    const std::string s = SystemDecimalSeparator();
    return s.empty() ? '.' : s[0];
}

// ---- transports and their threads -----------------------------------------------------

// What a transport is to the thread that created it.
class Owned {
  public:
    // Whether the calling thread created it: only that thread may open or close it.
    bool OwnedHere() const { return owner_ == std::this_thread::get_id(); }

  private:
    const std::thread::id owner_ = std::this_thread::get_id();
};
// Why an open or close from another thread than the transport's own is refused.
inline constexpr char kForeignThread[] = "called from a thread that did not create the transport";

// ---- asynchronous TCP client (a channel's reading connection) -------------------------

class TcpClient : public Owned {
  public:
    // Called when received bytes may be waiting; raised again and again as long as unread
    // bytes remain (one notification per processing pass on POSIX, one after each read that
    // leaves bytes unread on Windows). While it is empty, unread bytes stay in the connection.
    std::function<void()> OnRead;

    virtual ~TcpClient() = default;
    // Starts connecting to address:port and returns at once. Active() becomes true once the
    // peer has accepted, as messages are processed. From another thread than the client's
    // own: the connect fails at once (ConnectFailed, FailureText kForeignThread).
    virtual void Open(const std::string& address, int port) = 0;
    // Closes the connection; true. From another thread than the client's own: refused
    // (false), the connection stays as it is (and a debug build stops on an assertion).
    virtual bool Close() = 0;
    virtual bool Active() const = 0;
    // Bytes taken (>= 1), 0 when not connected, -1 when nothing is waiting. Never blocks.
    virtual int Receive(void* buf, int size) = 0;
    // Sends all bytes; false when not connected or the send failed.
    virtual bool Send(const std::string& bytes) = 0;
    // Connect attempt ended without a connection (refused, unreachable) since Open().
    virtual bool ConnectFailed() const = 0;
    // From the next Open on, a connection silent for `idleSeconds` is probed by the system
    // (three probes two seconds apart), and one whose peer is gone fails (not Active any
    // more). Off unless asked for.
    virtual void KeepAlive(int idleSeconds) = 0;
    // The operating system's reason for the last failed connect, or for the end of the last
    // connection ("closed by the peer" for an orderly close); empty while nothing failed.
    virtual std::string FailureText() const = 0;
};
std::unique_ptr<TcpClient> NewTcpClient();

// ---- serial port ---------------------------------------------------------------------

enum Parity : int {
    ParityNone = 0,
    ParityOdd = 1,
    ParityEven = 2,
    ParityMark = 3,
    ParitySpace = 4
};

struct SerialSettings {
    uint16_t comNumber = 2;
    // When set, the device opened instead of COM comNumber's (a path such as /dev/ttyUSB0,
    // or COM3 on Windows).
    std::string device;
    int32_t baud = 4800;
    uint16_t dataBits = 7;
    int parity = ParityNone;
    uint16_t stopBits = 1;
    bool dtr = true;
    bool rts = true;
};

class SerialPort : public Owned {
  public:
    // Called with the number of characters waiting in the receive buffer.
    std::function<void(uint16_t)> OnTriggerAvail;

    virtual ~SerialPort() = default;
    // Opens the port with `s`; false when the port does not exist, is in use or refuses the
    // settings, or when called from another thread than the port's own (FailureText says
    // which). Opening an open port succeeds and applies the settings.
    virtual bool Open(const SerialSettings& s) = 0;
    // Closes the port; true. From another thread than the port's own: refused (false), the
    // port stays as it is (and a debug build stops on an assertion).
    virtual bool Close() = 0;
    virtual bool IsOpen() const = 0;
    // Applies new line settings to an open port at once.
    virtual bool Apply(const SerialSettings& s) = 0;
    // Takes what waits in the receive buffer, at most `size` characters, in one go; 0 when
    // nothing is there or the port is closed.
    virtual size_t Read(void* buf, size_t size) = 0;
    // Writes all characters; false when the port is closed or the write failed.
    virtual bool Write(const std::string& bytes) = 0;
    // Why the last Open failed, or why the open port stopped working, with the device's
    // name and the operating system's text; empty while nothing failed.
    virtual std::string FailureText() const = 0;
};
std::unique_ptr<SerialPort> NewSerialPort();

// Device path of COM port n (POSIX: $TARVEL_COM<n>, else /dev/ttyS<n-1>; Windows:
// \\.\COM<n>). Empty for port 0.
std::string SerialDevicePath(uint16_t comNumber);
// The device that `s` names: s.device when set (Windows: "COM3" becomes \\.\COM3), else
// SerialDevicePath(s.comNumber).
std::string SerialDevicePath(const SerialSettings& s);

// ---- blocking TCP client (the converter's IO command connection) ----------------------

class BlockingTcp {
  public:
    virtual ~BlockingTcp() = default;
    // Connects, waiting at most timeoutMs for the connection to be established; false on
    // failure or time-out. The socket is blocking afterwards.
    virtual bool Connect(const std::string& address, int port, uint32_t timeoutMs) = 0;
    // Sends all bytes, waiting at most timeoutMs; false on failure.
    virtual bool Send(const std::string& bytes, uint32_t timeoutMs) = 0;
    // Waits at most timeoutMs for data; returns bytes read (>0), 0 when nothing came in
    // time, -1 on a receive failure, -2 when the peer closed the connection.
    virtual int Receive(char* buf, int size, uint32_t timeoutMs) = 0;
    virtual void Close() = 0;
};
std::unique_ptr<BlockingTcp> NewBlockingTcp();

} // namespace plat
