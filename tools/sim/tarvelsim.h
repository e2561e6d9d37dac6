// Indicator and converter simulator: the peer side that the weighing library talks to.
//
// Everything here runs in background threads owned by the objects; every loop polls with a
// short timeout and checks a stop flag, and every destructor joins its threads. POSIX only
// (Windows test programs use a stand-in with the same interface, see tests/win).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tsim {

using Ms = std::chrono::milliseconds;

inline constexpr char kStx = 0x02;
inline constexpr char kEtx = 0x03;
inline constexpr char kLf = 0x0A;
inline constexpr char kCr = 0x0D;

// ---------------------------------------------------------------------------------------------
// Frame builders. All return the exact bytes that go on the wire.

// One reading of a 5817 / KRT indicator.
struct Ind5817 {
    long weight = 0;           // displayed weight as digits (no decimal point); |weight| is sent
    long tare = 0;             // tare as digits
    int decimalCode = 0;       // status A bits 0-2 (3 = one decimal place ... 7 = five)
    int incrementBits = 0;     // status A bits 3-4: 0 (step 1), 0x10 (step 2), 0x18 (step 5)
    bool netMode = false;      // status B bit 0
    bool negative = false;     // status B bit 1 (also set when weight < 0)
    bool outOfRange = false;   // status B bit 2
    bool motion = false;       // status B bit 3
    bool kg = true;            // status B bit 4 (clear: lb)
    bool printRequest = false; // status C bit 3
};

// The three status characters (0x20 is always set so they stay printable).
std::string Status5817(const Ind5817& p);
// Status A..C, 6-digit weight, 6-digit tare, CR: the 16 characters between STX and check.
std::string Body5817(const Ind5817& p);
// 7-bit check character over `bodyWithCr` (everything after STX up to and including CR):
// (STX + sum(c & 0x7F) + check) % 128 == 0.
char CheckChar5817(std::string_view bodyWithCr);
// STX + body + CR + check (18 bytes). `badCheck` sends a wrong check character.
std::string Frame5817(const Ind5817& p, bool badCheck = false);
// STX + body + CR + check for an arbitrary body (short, long, odd frames).
std::string Frame5817Raw(std::string_view body, bool badCheck = false);
// KRT: STX + body + CR, no check character (17 bytes).
std::string FrameKrt(const Ind5817& p);
std::string FrameKrtRaw(std::string_view body);

// MSI 3360: STX + gross(8) + net(8) + tare(8) + unit(2) + ETX (28 bytes). Each field is
// right-aligned with blanks, or cut, to its width, so "--------", "   1.50 " or "12,5" all work.
std::string FrameMsi3360(std::string_view gross, std::string_view net, std::string_view tare,
                         std::string_view unit = "kg");
// STX + body + ETX for any body length.
std::string FrameMsi3360Raw(std::string_view body);

// MSI 6260 labels, six characters each.
inline constexpr std::string_view kMsiGross = "GROSS ";
inline constexpr std::string_view kMsiNet = "  NET ";
inline constexpr std::string_view kMsiTare = " TARE ";
inline constexpr std::string_view kMsiTotal = "TOTAL ";
// label + " " + value + " " + unit + CR LF, e.g. "GROSS    12.50 KG\r\n" for value "  12.50".
std::string Msi6260Line(std::string_view label, std::string_view value,
                        std::string_view unit = "KG");
// text + CR LF (headers, blank lines, anything).
std::string Msi6260Text(std::string_view text);
// A whole ticket: a header line, a blank line, GROSS, TARE and NET lines, a blank line.
std::string Msi6260Ticket(std::string_view gross, std::string_view tare, std::string_view net,
                          std::string_view unit = "KG");

// Ohaus reply line: weight + " " + unit + (" ?" when moving) + CR LF,
// e.g. OhausLine("-   1.50") == "-   1.50 kg\r\n", OhausLine("   12.3", "kg", true) ==
// "   12.3 kg ?\r\n".
std::string OhausLine(std::string_view weight, std::string_view unit = "kg", bool motion = false);
// Formats the weight like the indicator: sign column ('-' or blank) then the value
// right-aligned in 7 characters with `decimals` places, e.g. (-1.5, 2) -> "-   1.50 kg\r\n".
std::string OhausReading(double value, int decimals, std::string_view unit = "kg",
                         bool motion = false);

// ---------------------------------------------------------------------------------------------
// Indicator behaviour, shared by the converter's TCP channels and by pseudo-terminals.

struct StreamOptions {
    Ms period{50};       // one frame per period
    std::string garbage; // bytes sent before every frame
    int cutEvery = 0;    // every Nth frame only its first half is sent (0: never)
    Ms byteGap{0};       // > 0: frames go out one byte at a time with this pause
    Ms phase{0};         // the first frame this long after the connection (or the change)
};

struct RequestOptions {
    Ms delay{0};             // pause between the request's LF and the reply
    bool neverReply = false; // count requests but never answer
};

class Indicator {
  public:
    enum class Mode { Silent, Stream, OnRequest };
    using FrameFn = std::function<std::string()>;
    // Frame or reply number n: 1, 2, ... counted on each connection since the behaviour was
    // set, so every client sees the whole sequence from its start.
    using NumberedFn = std::function<std::string(long n)>;

    Indicator();
    ~Indicator();
    Indicator(const Indicator&) = delete;
    Indicator& operator=(const Indicator&) = delete;

    // Behaviours. All setters are thread-safe and take effect within a few ms on every
    // connection (TCP clients of a channel, or the pty).
    void Silent();
    // Sends `frame` every period.
    void Stream(std::string frame, StreamOptions opts = {});
    // Sends next() every period; next may be called from several connection threads at once.
    void Stream(FrameFn next, StreamOptions opts = {});
    // Sends next(n) as the connection's nth frame; may be called from several connection
    // threads at once. Frame() holds next(1).
    void StreamNumbered(NumberedFn next, StreamOptions opts = {});
    // Ohaus style: every "P" followed (after any CRs and pauses) by LF is a request, answered
    // with `line`.
    void OnRequest(std::string line, RequestOptions opts = {});
    // Answers the connection's nth request with reply(n), made when the reply goes out.
    // Frame() holds reply(1).
    void OnRequestNumbered(NumberedFn reply, RequestOptions opts = {});

    // Current stream frame or reply line (replaces a FrameFn or NumberedFn).
    void SetFrame(std::string frame);
    void SetStreamOptions(const StreamOptions& opts);
    void SetRequestOptions(const RequestOptions& opts);
    Mode GetMode() const;
    std::string Frame() const;

    // One-shot bytes to every currently connected client (in any mode).
    void Send(std::string_view bytes);
    // Closes every current connection; waits up to `wait` until they are gone.
    bool DisconnectClients(Ms wait = Ms{2000});

    // Observations.
    int Requests() const; // requests seen (in every mode)
    bool WaitRequests(int n, Ms timeout) const;
    std::string Received() const; // bytes received from clients (last 1 MiB)
    void ClearReceived();
    bool WaitReceived(std::string_view needle, Ms timeout) const;
    int Clients() const;                       // connections open now
    int Connections() const;                   // connections accepted so far
    bool WaitClients(int n, Ms timeout) const; // until at least n are open
    long FramesSent() const;                   // stream frames and replies sent

    struct Impl;
    Impl& impl() { return *impl_; } // for the simulator's own connection threads

  private:
    std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------------------------
// Network converter: serial channels "A".."D" on ports base+1..base+4, IO port on base.

enum class IoMode {
    Normal, // proper replies
    Custom, // every command is answered with the custom reply bytes
    Silent, // accept and read, never answer, keep the connection until the client closes it
    Flood,  // answer with endless bytes (no " OK\n\r") until the client closes; bounded
    Hangup, // read the command, then reset the connection without answering
    Refuse, // nothing listens: connections are refused
};

class IoPort {
  public:
    // Refuse closes the listener, the other modes (re)open it. Returns when the change is in
    // effect; throws std::runtime_error when the port cannot be bound again.
    void SetMode(IoMode mode);
    IoMode Mode() const;

    void SetInput(int value); // "IN" -> "IN" + value as 3 digits + " OK\n\r"
    int Input() const;
    // Bytes sent for every command in Custom mode (zero bytes allowed); switches to Custom.
    void SetCustomReply(std::string bytes);
    // Splits every reply at these byte offsets and pauses between the pieces, e.g. {3, 7}
    // sends "IN012 OK\n\r" as "IN0", "12 O", "K\n\r". Empty: whole reply at once.
    void SetReplyPieces(std::vector<std::size_t> cuts, Ms pause = Ms{150});
    // Flood contents and the total bound per connection; switches to Flood.
    void SetFlood(std::string pattern = "0123456789", std::size_t limit = 1 << 20);

    int Output() const;                        // last "OP" value, changed by "OB" commands
    std::string OutputText() const;            // bits 0..7 as "S"/"N", bit 0 first
    std::vector<std::string> Commands() const; // commands received, CR stripped, in order
    std::string LastCommand() const;
    bool WaitCommands(std::size_t n, Ms timeout) const;
    void ClearCommands();
    int Connections() const;
    std::size_t FloodSent() const; // flood bytes sent on the latest flooded connection

    struct Impl;

  private:
    friend class Converter;
    explicit IoPort(Impl* impl) : impl_(impl) {}
    Impl* impl_;
};

class Converter {
  public:
    // Binds ip:base+1..base+4 and, when `ioPort`, ip:base (otherwise the IO port starts in
    // Refuse mode). Throws std::runtime_error naming the address when a port cannot be bound
    // (a busy port is retried for about a second first).
    explicit Converter(std::string ip, bool ioPort = true, int basePort = 8880);
    ~Converter();
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    Indicator& Channel(char letter); // 'A'..'D', either case; throws std::out_of_range
    Indicator& Channel(int number);  // 1..4
    IoPort& Io();
    const std::string& Ip() const;
    int Port(char letter) const; // base + 1..4
    int IoPortNumber() const;    // base

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------------------------
// Pseudo-terminal indicator: the library opens Path() as its serial port.

struct LineSettings {
    unsigned baud = 0;            // output speed; 0 when the speed code is not a standard rate
    unsigned inBaud = 0;          // input speed, likewise
    int dataBits = 8;             // CSIZE as the device reports it
    bool parity = false;          // PARENB as reported
    bool parityOdd = false;       // PARODD
    bool parityStick = false;     // CMSPAR (mark = stick + odd, space = stick)
    int stopBits = 1;             // CSTOPB
    bool hardwareFlow = false;    // CRTSCTS
    bool softwareFlow = false;    // IXON or IXOFF
    std::optional<int> modemBits; // TIOCMGET; empty when the device does not support it
    std::string Describe() const; // e.g. "4800 baud, 8 bits, parity off (odd, stick), 2 stop"
};

// Note on Linux pseudo-terminals: the kernel forces CS8 and clears PARENB on every
// tcsetattr, so dataBits always reads 8 and parity false; the speed, CSTOPB, PARODD and
// CMSPAR are kept as set. Modem lines (TIOCMGET/TIOCMSET) are not supported.
class PtyIndicator {
  public:
    PtyIndicator(); // throws std::runtime_error
    ~PtyIndicator();
    PtyIndicator(const PtyIndicator&) = delete;
    PtyIndicator& operator=(const PtyIndicator&) = delete;

    const std::string& Path() const; // slave device, e.g. /dev/pts/7
    Indicator& Ind();
    LineSettings Line() const; // current settings of the slave
    // Stream mode discards unread input beyond this many bytes before each frame, so a port
    // that nobody reads does not pile up old frames (a line with no listener loses them).
    void SetMaxBacklog(std::size_t bytes);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------------------------
// Plain TCP peer for transport tests: listens, keeps the latest client, records its bytes.

class RawPeer {
  public:
    // port 0 picks a free port. Throws std::runtime_error when it cannot listen.
    RawPeer(std::string ip, int port);
    ~RawPeer();
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    int Port() const;
    bool WaitClient(Ms timeout) const; // until a client is connected
    bool Connected() const;
    int Accepted() const;              // clients accepted so far (a newer one replaces the old)
    bool Send(std::string_view bytes); // to the current client; false when none / failed
    std::string Received() const;
    void ClearReceived();
    bool WaitBytes(std::size_t n, Ms timeout) const;
    bool WaitFor(std::string_view needle, Ms timeout) const;
    bool ClientClosed() const; // the current client closed its side (read EOF)
    bool WaitClientClosed(Ms timeout) const;
    void CloseClient(); // orderly close
    void ResetClient(); // abortive close (RST)

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------------------------
// Text configuration used by the tarvel-sim program ("MODEL[:key=value,...]", see
// docs/development.md or tarvel-sim --help): the model, its fields, how the weight moves
// (mode=constant, ramp, oscillate, over, script) and which frames are damaged (corrupt=N). A script
// file is read here, once. Throws std::invalid_argument with a readable message.
void Configure(Indicator& ind, std::string_view spec);
// Decodes the escapes accepted in such texts: \r \n \t \\ \, and \xHH.
std::string Unescape(std::string_view text);

} // namespace tsim
