// tarvel: reads weighing indicators and the converter's digital I/O from the command line.
//
// It is also an example host: everything it does goes through the exported C functions of
// tarvel6.h (Seta_Ip, a constructor, Select_Canal, Update_Canal / Update_NoMotion /
// LePesoConsecutivo, the value functions, Close_Canal, Deleta_Canal; the DIO_ functions;
// FirVer), in the order a host application would call them. Run `tarvel --help`.
#include "tarvel6.h"

#include "console.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace {

// ---- exit status ---------------------------------------------------------------------------

// 0..4 are the poll results of Update_Canal / Update_NoMotion, passed through.
constexpr int kExitFrame = 0;
constexpr int kExitNoFrame = 1;
constexpr int kExitNotStable = 2;
constexpr int kExitNoConnect = 5; // converter refused or did not answer
constexpr int kExitRefused = 6;   // the library would not create the channel
constexpr int kExitUsage = 64;
constexpr int kExitInternal = 70;
constexpr int kExitInterrupted = 130;

const char* const kExitHelp = R"(exit status:
  0    a frame was read (stable: the net weight settled; dio, version: done)
  1    no frame: the indicator sent nothing in time
  2    not stable: no frame without motion in time (read/watch --nomotion);
       stable: the net weight did not settle in time
  3    the indicator reports out of range
  4    the serial port did not open
  5    could not connect: the converter refused, did not answer in time, or (dio)
       gave no valid reply
  6    the library refused to create the channel
  64   usage error
  70   internal error of the reader itself
  130  interrupted by Ctrl-C (read, stable, dio); watch ends with 0
)";

const char* const kMainHelp = R"(usage: tarvel COMMAND [OPTIONS]

Reads weighing indicators, behind a network converter or on a local serial port, and
the converter's digital inputs and outputs, through the Tarvel6 library.

commands:
  read      one reading: gross, net, tare, status, motion and the poll's result
  watch     one reading per line with a timestamp, until Ctrl-C (or --count)
  stable    polls until the net weight repeats (LePesoConsecutivo)
  dio       the converter's digital I/O: dio in | dio out VALUE | dio bit N [STATE]
  version   the library's version texts (FirVer)
  help      this text; `tarvel help COMMAND` or `tarvel COMMAND --help` for one command

choosing the indicator (read, watch, stable):
  --model MODEL          5817, 5817c, krt, ohaus, msi3360 or msi6260
  --tcp ADDRESS:LETTER   converter channel A..D at an IPv4 address (TCP port 8881..8884)
  --serial N|DEVICE      local serial port: COM number N (COM3 and \\.\COM3 also mean 3)
                         or, on Linux, a device path such as /dev/ttyUSB0

examples:
  tarvel read --model 5817 --tcp 192.168.0.50:A
  tarvel watch --model krt --serial /dev/ttyUSB0 --interval 200
  tarvel stable --model 5817 --tcp 192.168.0.50:B --seconds 5 --count 3
  tarvel dio in --tcp 192.168.0.50
  tarvel dio bit 3 on --tcp 192.168.0.50

While a library call waits longer than a second and stderr is a terminal, a progress
line on stderr tells what it waits for (erased when the call returns); --quiet turns
it off. Nothing is printed for it when stderr is not a terminal.

)";

const char* const kReadHelp =
    R"(usage: tarvel read --model MODEL (--tcp ADDRESS:LETTER | --serial N|DEVICE)
                  [--nomotion MS] [--quiet]

Connects (Select_Canal), polls once and prints the result in words and the values:
gross, net and tare weight, total and counter (when the indicator gives them), the
eight status characters with their meaning, and the motion flag.

  --model MODEL          5817, 5817c, krt, ohaus, msi3360 or msi6260
  --tcp ADDRESS:LETTER   converter channel A..D at an IPv4 address (TCP port 8881..8884)
  --serial N|DEVICE      COM number, COMn, \\.\COMn, or (Linux) a device path
  --nomotion MS          Update_NoMotion: wait up to MS ms for a frame without motion
                         (default: Update_Canal, the driver's own wait)
  --quiet                no progress line on stderr

The exit status is the poll's result (0..4), see `tarvel help`.
)";

const char* const kWatchHelp =
    R"(usage: tarvel watch --model MODEL (--tcp ADDRESS:LETTER | --serial N|DEVICE)
                   [--interval MS] [--count N] [--nomotion MS] [--quiet]

Polls again and again and prints one line per poll:
  2024-05-01T12:00:00.123 result=0 gross=123.95 net=123.45 tare=0.50 status=1SNNNkgN motion=N
or, when the poll failed,
  2024-05-01T12:00:10.125 result=1 (no frame)
A TCP channel that lost its connection is reconnected before the next poll
(result=5 while that fails). Ctrl-C (SIGINT, SIGTERM) stops after the poll that is
running: the channel is closed and deleted and the exit status is 0. A second Ctrl-C
quits at once.

  --interval MS    pause between the end of one poll and the next (default 500; 0: none)
  --count N        stop after N polls; the exit status is then the last poll's result
  --nomotion MS    poll with Update_NoMotion and this time-out
  --model, --tcp, --serial, --quiet   as for `tarvel read`
)";

const char* const kStableHelp =
    R"(usage: tarvel stable --model MODEL (--tcp ADDRESS:LETTER | --serial N|DEVICE)
                    [--seconds S] [--count N] [--quiet]

Calls LePesoConsecutivo: polls until the net weight was read the same COUNT times
within SECONDS, then prints the result and the last reading.

  --seconds S      time limit in seconds (default 0: the library's 10)
  --count N        equal readings needed (default 0: the library's 10)
  --model, --tcp, --serial, --quiet   as for `tarvel read`

Exit status: 0 stable; 2 the weight did not settle in time (LePesoConsecutivo's 7);
otherwise the last poll's failure (1, 3 or 4) when time ran out.
)";

const char* const kDioHelp = R"(usage: tarvel dio in  --tcp ADDRESS
       tarvel dio out VALUE --tcp ADDRESS
       tarvel dio bit N [STATE] --tcp ADDRESS

The converter's digital I/O over its command port (TCP 8880); a channel letter
after the address (ADDRESS:A) is accepted and ignored.

  in          reads the input port (DIO_InPort) and prints its value and its bits as
              S/N, bit 0 first, e.g. `inputs 5 SNSNNNNN`
  out VALUE   writes the output port: a number (DIO_OutPort) or S/N characters, bit 0
              first (DIO_OutPortStr; SNS sets bits 0 and 2)
  bit N       reads input bit N, 0..31 (DIO_InBit), printed as S or N
  bit N STATE sets output bit N: 1/on or 0/off (DIO_OutBit), S or N (DIO_OutBitStr)
  --quiet     no progress line on stderr

A converter that cannot be reached or gives no valid reply makes the input commands
end with status 5. The converter does not confirm outputs: the output commands end
with 0 once the command was sent, and also when the converter could not be reached
(the library cannot tell); 5 only when the sending failed.
)";

const char* const kVersionHelp = R"(usage: tarvel version

Prints the library's texts from FirVer: product, version and library name.
)";

// ---- options -------------------------------------------------------------------------------

struct UsageError {
    std::string what;
};

struct Options {
    std::string command;
    std::vector<std::string> args;  // positional arguments after the command
    std::vector<std::string> given; // option names seen
    std::string model, tcp, serial;
    long nomotion = -1;
    long interval = 500;
    long count = -1;
    long seconds = 0;
    bool quiet = false;
    bool help = false;

    bool Has(const char* name) const {
        for (const auto& g : given)
            if (g == name) return true;
        return false;
    }
};

long Number(const std::string& opt, const std::string& text, long lo, long hi) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < lo || v > hi)
        throw UsageError{opt + " needs a whole number from " + std::to_string(lo) + " to " +
                         std::to_string(hi) + ", not '" + text + "'"};
    return v;
}

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        std::string value;
        bool hasValue = false;
        if (a.rfind("--", 0) == 0) {
            const size_t eq = a.find('=');
            if (eq != std::string::npos) {
                value = a.substr(eq + 1);
                a = a.substr(0, eq);
                hasValue = true;
            }
        }
        auto next = [&]() -> std::string {
            if (hasValue) return value;
            if (i + 1 >= argc) throw UsageError{a + " needs a value"};
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            o.help = true;
        } else if (a == "--quiet" || a == "-q") {
            o.quiet = true;
        } else if (a == "--model") {
            o.model = next();
        } else if (a == "--tcp") {
            o.tcp = next();
        } else if (a == "--serial") {
            o.serial = next();
        } else if (a == "--nomotion") {
            o.nomotion = Number(a, next(), 0, 0x7FFFFFFF);
        } else if (a == "--interval") {
            o.interval = Number(a, next(), 0, 86400000);
        } else if (a == "--count") {
            o.count = Number(a, next(), 0, 0x7FFFFFFF);
        } else if (a == "--seconds") {
            o.seconds = Number(a, next(), 0, 2000000);
        } else if (a.size() > 1 && a[0] == '-' && !(a[1] >= '0' && a[1] <= '9')) {
            throw UsageError{"unknown option " + a};
        } else if (o.command.empty()) {
            o.command = a;
            continue;
        } else {
            o.args.push_back(a);
            continue;
        }
        if (a != "-h" && a != "--help") o.given.push_back(a);
    }
    return o;
}

// Refuses options that mean nothing to the command.
void OnlyOptions(const Options& o, std::initializer_list<const char*> allowed) {
    for (const auto& g : o.given) {
        bool ok = g == "--quiet" || g == "-q";
        for (const char* a : allowed)
            ok = ok || g == a;
        if (!ok) throw UsageError{g + " does not apply to '" + o.command + "'"};
    }
}

// ---- indicator models ----------------------------------------------------------------------

using TcpCtor = int32_t(TARVEL_CALL*)(int32_t, const char*);
using SerialCtor = int32_t(TARVEL_CALL*)(int32_t);

struct Model {
    const char* name;
    TcpCtor tcp;
    SerialCtor serial;
};

const Model kModels[] = {
    {"5817", W5817, W5817Serial},
    {"5817c", W5817C, W5817SerialC},
    {"krt", WKRT, WKRTSerial},
    {"ohaus", WOhaus, WOhausSerial},
    {"msi3360", WMSI3360, WMSI3360Serial},
    {"msi6260", WMSI6260, WMSI6260Serial},
};

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

const Model& FindModel(const std::string& name) {
    if (name.empty())
        throw UsageError{"--model is needed: 5817, 5817c, krt, ohaus, msi3360 or msi6260"};
    for (const Model& m : kModels)
        if (Lower(name) == m.name) return m;
    throw UsageError{"unknown model '" + name +
                     "' (models: 5817, 5817c, krt, ohaus, msi3360, msi6260)"};
}

// ---- addresses and ports -------------------------------------------------------------------

bool IsIPv4(const std::string& s) {
    int parts = 0;
    size_t i = 0;
    while (i <= s.size()) {
        size_t j = i;
        while (j < s.size() && s[j] >= '0' && s[j] <= '9')
            ++j;
        if (j == i || j - i > 3 || std::stoi(s.substr(i, j - i)) > 255) return false;
        ++parts;
        if (j == s.size()) break;
        if (s[j] != '.') return false;
        i = j + 1;
    }
    return parts == 4;
}

struct TcpTarget {
    std::string address;
    std::string letter; // empty when not given
};

TcpTarget ParseTcp(const std::string& text, bool letterNeeded) {
    TcpTarget t;
    const size_t colon = text.rfind(':');
    t.address = colon == std::string::npos ? text : text.substr(0, colon);
    if (colon != std::string::npos) t.letter = text.substr(colon + 1);
    if (!IsIPv4(t.address))
        throw UsageError{"--tcp needs a dotted IPv4 address such as 192.168.0.50, not '" +
                         t.address + "'"};
    if (t.letter.empty() && letterNeeded)
        throw UsageError{"--tcp needs the converter channel: ADDRESS:A .. ADDRESS:D"};
    if (!t.letter.empty()) {
        const std::string up = Lower(t.letter);
        if (up.size() != 1 || up[0] < 'a' || up[0] > 'd')
            throw UsageError{"the converter channel is a letter A..D, not '" + t.letter + "'"};
        t.letter = std::string(1, static_cast<char>(up[0] - 'a' + 'A'));
    }
    return t;
}

bool AllDigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// The COM number for --serial: N, COMn or \\.\COMn; on Linux a device path is given a COM
// number by setting TARVEL_COMn, the variable the library reads when it opens port n.
int32_t SerialNumber(const std::string& text, std::string& label) {
    std::string s = text;
    if (s.rfind("\\\\.\\", 0) == 0) s = s.substr(4);
    if (Lower(s).rfind("com", 0) == 0 && AllDigits(s.substr(3))) s = s.substr(3);
    if (AllDigits(s)) {
        const long n = Number("--serial", s, 1, 65535);
        label = "COM" + std::to_string(n);
        return static_cast<int32_t>(n);
    }
#ifdef _WIN32
    throw UsageError{"--serial needs a COM port: a number, COMn or \\\\.\\COMn"};
#else
    if (s.empty()) throw UsageError{"--serial needs a COM number or a device path"};
    int free = 0;
    for (int n = 1; n <= 255; ++n) {
        const std::string current = cli::GetEnv("TARVEL_COM" + std::to_string(n));
        if (current == s) {
            free = n;
            break;
        }
        if (current.empty() && free == 0) free = n;
    }
    if (free == 0 || !cli::SetEnv("TARVEL_COM" + std::to_string(free), s))
        throw UsageError{"no free TARVEL_COMn variable for " + s};
    label = "COM" + std::to_string(free) + " (" + s + ")";
    return free;
#endif
}

// ---- channels ------------------------------------------------------------------------------

// Closes and deletes the channel when the command ends, however it ends.
struct ChannelHandle {
    int32_t index = -1;
    bool tcp = false;
    std::string label;

    ChannelHandle() = default;
    ChannelHandle(const ChannelHandle&) = delete;
    ChannelHandle& operator=(const ChannelHandle&) = delete;
    ~ChannelHandle() {
        if (index >= 0) {
            Close_Canal(index);
            Deleta_Canal(index);
        }
    }
};

// Seta_Ip, the model's constructor and Select_Canal. Returns 0, or the exit status.
int OpenChannel(const Options& o, cli::Progress& progress, ChannelHandle& ch) {
    const Model& model = FindModel(o.model);
    if (o.tcp.empty() == o.serial.empty())
        throw UsageError{"give either --tcp ADDRESS:LETTER or --serial N|DEVICE"};
    if (!o.tcp.empty()) {
        const TcpTarget t = ParseTcp(o.tcp, true);
        const int32_t ip = Seta_Ip(t.address.c_str());
        ch.tcp = true;
        ch.label = t.address + ":" + t.letter;
        ch.index = ip < 0 ? -1 : model.tcp(ip, t.letter.c_str());
    } else {
        const int32_t com = SerialNumber(o.serial, ch.label);
        ch.index = model.serial(com);
    }
    if (ch.index < 0) {
        std::fprintf(stderr, "tarvel: the library refused the channel %s\n", ch.label.c_str());
        return kExitRefused;
    }
    if (!ch.tcp) return 0; // a serial port opens with each poll
    const std::string port = std::to_string(8880 + (ch.label.back() - 'A' + 1));
    const int32_t ok = cli::Waiting(progress, "connecting to " + ch.label + " (port " + port + ")",
                                    [&] { return Select_Canal(ch.index); });
    if (ok == 1) return 0;
    std::fprintf(stderr, "tarvel: could not connect to %s: %s\n", ch.label.c_str(),
                 cli::Printable(Display_Erro(ch.index)).c_str());
    return kExitNoConnect;
}

const char* PollWords(int32_t r) {
    switch (r) {
    case 0:
        return "frame read";
    case 1:
        return "no frame";
    case 2:
        return "no frame without motion";
    case 3:
        return "out of range";
    case 4:
        return "serial port did not open";
    case kExitNoConnect:
        return "could not connect";
    default:
        return "unknown result";
    }
}

int ExitOfPoll(int32_t r) {
    return r >= 0 && r <= 4 ? r : kExitNoFrame;
}

int32_t Poll(const Options& o, cli::Progress& progress, const ChannelHandle& ch) {
    const std::string what = "waiting for a frame from " + ch.label;
    return cli::Waiting(progress, what, [&] {
        return o.nomotion >= 0 ? Update_NoMotion(ch.index, static_cast<int32_t>(o.nomotion))
                               : Update_Canal(ch.index);
    });
}

// The status characters in words: increment, the flags that are set, the unit.
std::string StatusWords(const std::string& s) {
    if (s.size() != 8) return {};
    static const char* const kFlags[] = {nullptr, "net", "negative", "out of range", "motion"};
    std::string words;
    auto add = [&](const std::string& w) { words += (words.empty() ? "" : ", ") + w; };
    if (s[0] != 'E') add("increment " + s.substr(0, 1));
    for (int i = 1; i <= 4; ++i)
        if (s[static_cast<size_t>(i)] == 'S') add(kFlags[i]);
    if (s.substr(5, 2) != "EE") add("unit " + s.substr(5, 2));
    if (s[7] == 'S') add("print request");
    return words;
}

void PrintReading(const ChannelHandle& ch) {
    const std::string status = cli::Printable(Estado_Canal(ch.index), false);
    const std::string words = StatusWords(status);
    std::printf("gross    %s\n", cli::Printable(Gross_Canal(ch.index)).c_str());
    std::printf("net      %s\n", cli::Printable(Net_Canal(ch.index)).c_str());
    std::printf("tare     %s\n", cli::Printable(Tare_Canal(ch.index)).c_str());
    const std::string total = cli::Printable(Total_Canal(ch.index));
    if (!total.empty()) std::printf("total    %s\n", total.c_str());
    const std::string counter = cli::Printable(Contadora_Canal(ch.index));
    if (!counter.empty()) std::printf("counter  %s\n", counter.c_str());
    std::printf("status   %s%s%s%s\n", status.c_str(), words.empty() ? "" : "  (", words.c_str(),
                words.empty() ? "" : ")");
    std::printf("motion   %s\n", cli::Printable(Estado_EmMovimento(ch.index)).c_str());
}

// ---- commands ------------------------------------------------------------------------------

int CmdRead(const Options& o, cli::Progress& progress) {
    OnlyOptions(o, {"--model", "--tcp", "--serial", "--nomotion"});
    if (!o.args.empty()) throw UsageError{"unexpected argument '" + o.args[0] + "'"};
    ChannelHandle ch;
    if (const int rc = OpenChannel(o, progress, ch); rc != 0) return rc;
    if (cli::StopRequested()) return kExitInterrupted;
    const int32_t r = Poll(o, progress, ch);
    if (cli::StopRequested()) return kExitInterrupted;
    std::printf("model    %s\n", Lower(o.model).c_str());
    std::printf("channel  %s\n", ch.label.c_str());
    std::printf("result   %d %s\n", r, PollWords(r));
    if (r == 0 || r == 3) PrintReading(ch);
    std::fflush(stdout);
    return ExitOfPoll(r);
}

int CmdWatch(const Options& o, cli::Progress& progress) {
    OnlyOptions(o, {"--model", "--tcp", "--serial", "--nomotion", "--interval", "--count"});
    if (!o.args.empty()) throw UsageError{"unexpected argument '" + o.args[0] + "'"};
    ChannelHandle ch;
    if (const int rc = OpenChannel(o, progress, ch); rc != 0) return rc;
    int last = 0;
    for (long n = 1; !cli::StopRequested(); ++n) {
        int32_t r = kExitNoConnect;
        // Select_Canal answers 1 at once while connected, and reconnects a dropped channel.
        const bool connected = !ch.tcp || cli::Waiting(progress, "reconnecting to " + ch.label,
                                                       [&] { return Select_Canal(ch.index); }) == 1;
        if (connected) r = Poll(o, progress, ch);
        std::string line = cli::Timestamp() + " result=" + std::to_string(r);
        if (r == 0 || r == 3) {
            line += " gross=" + cli::Printable(Gross_Canal(ch.index)) +
                    " net=" + cli::Printable(Net_Canal(ch.index)) +
                    " tare=" + cli::Printable(Tare_Canal(ch.index)) +
                    " status=" + cli::Printable(Estado_Canal(ch.index)) +
                    " motion=" + cli::Printable(Estado_EmMovimento(ch.index));
            if (r == 3) line += " (out of range)";
        } else {
            line += std::string(" (") + PollWords(r) + ")";
        }
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        last = r == kExitNoConnect ? kExitNoConnect : ExitOfPoll(r);
        if (o.count > 0 && n >= o.count) return last;
        if (cli::WaitForStop(static_cast<uint32_t>(o.interval))) break;
    }
    return 0; // stopped by Ctrl-C / SIGTERM
}

int CmdStable(const Options& o, cli::Progress& progress) {
    OnlyOptions(o, {"--model", "--tcp", "--serial", "--seconds", "--count"});
    if (!o.args.empty()) throw UsageError{"unexpected argument '" + o.args[0] + "'"};
    ChannelHandle ch;
    if (const int rc = OpenChannel(o, progress, ch); rc != 0) return rc;
    const auto seconds = static_cast<int32_t>(o.seconds);
    const auto count = static_cast<int32_t>(o.count < 0 ? 0 : o.count);
    const int32_t r = cli::Waiting(progress, "waiting for a stable weight from " + ch.label,
                                   [&] { return LePesoConsecutivo(ch.index, seconds, count); });
    if (cli::StopRequested()) return kExitInterrupted;
    std::printf("model    %s\n", Lower(o.model).c_str());
    std::printf("channel  %s\n", ch.label.c_str());
    int rc = 0;
    if (r == 0) {
        std::printf("result   0 stable\n");
    } else if (r == 7) {
        std::printf("result   7 not stable in time\n");
        rc = kExitNotStable;
    } else {
        std::printf("result   %d %s (time ran out)\n", r, PollWords(r));
        rc = ExitOfPoll(r);
    }
    if (r == 0 || r == 7) PrintReading(ch);
    std::fflush(stdout);
    return rc;
}

std::string Bits(int32_t v) {
    std::string s;
    for (int k = 0; k < 8; ++k)
        s += (v >> k) & 1 ? 'S' : 'N';
    return s;
}

int CmdDio(const Options& o, cli::Progress& progress) {
    OnlyOptions(o, {"--tcp"});
    if (o.args.empty()) throw UsageError{"dio needs in, out or bit (see tarvel dio --help)"};
    if (o.tcp.empty()) throw UsageError{"dio needs --tcp ADDRESS"};
    const TcpTarget t = ParseTcp(o.tcp, false);
    const std::string& sub = o.args[0];
    const int32_t ip = Seta_Ip(t.address.c_str());
    if (ip < 0) {
        std::fprintf(stderr, "tarvel: the library refused the address %s\n", t.address.c_str());
        return kExitRefused;
    }
    const std::string where = "the converter at " + t.address;
    auto fail = [&](const char* what) {
        std::fprintf(stderr, "tarvel: %s %s\n", what, where.c_str());
        return kExitNoConnect;
    };
    auto ask = [&](auto&& call) { return cli::Waiting(progress, "asking " + where, call); };

    if (sub == "in") {
        if (o.args.size() != 1) throw UsageError{"usage: tarvel dio in --tcp ADDRESS"};
        const int32_t v = ask([&] { return DIO_InPort(ip); });
        if (cli::StopRequested()) return kExitInterrupted;
        if (v < 0) return fail("no valid input reply from");
        std::printf("inputs %d %s\n", v, Bits(v).c_str());
        return 0;
    }
    if (sub == "out") {
        if (o.args.size() != 2) throw UsageError{"usage: tarvel dio out VALUE --tcp ADDRESS"};
        const std::string& value = o.args[1];
        int32_t r = 0;
        std::string shown;
        if (AllDigits(value) ||
            (value.size() > 1 && value[0] == '-' && AllDigits(value.substr(1)))) {
            const long v = Number("the output value", value, -2147483647L - 1, 2147483647L);
            r = ask([&] { return DIO_OutPort(ip, static_cast<int32_t>(v)); });
            shown = std::to_string(v);
        } else if (value.find_first_not_of("SN") == std::string::npos && value.size() <= 32) {
            r = ask([&] { return DIO_OutPortStr(ip, value.c_str()); });
            shown = value;
        } else {
            throw UsageError{"the output value is a number or S/N characters, not '" + value + "'"};
        }
        if (cli::StopRequested()) return kExitInterrupted;
        if (r != 0) return fail("could not send the outputs to");
        std::printf("outputs %s sent\n", shown.c_str());
        return 0;
    }
    if (sub == "bit") {
        if (o.args.size() < 2 || o.args.size() > 3)
            throw UsageError{"usage: tarvel dio bit N [STATE] --tcp ADDRESS"};
        const auto bit = static_cast<int32_t>(Number("the bit number", o.args[1], 0, 31));
        if (o.args.size() == 2) {
            const int32_t v = ask([&] { return DIO_InBit(ip, bit); });
            if (cli::StopRequested()) return kExitInterrupted;
            if (v < 0) return fail("no valid input reply from");
            std::printf("input %d %s\n", bit, v == 1 ? "S" : "N");
            return 0;
        }
        const std::string state = Lower(o.args[2]);
        int32_t r = 0;
        bool on = false;
        if (state == "1" || state == "on" || state == "0" || state == "off") {
            on = state == "1" || state == "on";
            r = ask([&] { return DIO_OutBit(ip, bit, on ? 1 : 0); });
        } else if (o.args[2] == "S" || o.args[2] == "N") {
            on = o.args[2] == "S";
            r = ask([&] { return DIO_OutBitStr(ip, bit, o.args[2].c_str()); });
        } else {
            throw UsageError{"the bit state is 1, 0, on, off, S or N, not '" + o.args[2] + "'"};
        }
        if (cli::StopRequested()) return kExitInterrupted;
        if (r != 0) return fail("could not send the output to");
        std::printf("output %d %s sent\n", bit, on ? "S" : "N");
        return 0;
    }
    throw UsageError{"dio needs in, out or bit, not '" + sub + "'"};
}

int CmdVersion(const Options& o) {
    OnlyOptions(o, {});
    if (!o.args.empty()) throw UsageError{"unexpected argument '" + o.args[0] + "'"};
    const char* texts[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    FirVer(&texts[0], &texts[1], &texts[2], &texts[3], &texts[4]);
    static const char* const kNames[5] = {"product", "version", "text 3", "text 4", "library"};
    for (int i = 0; i < 5; ++i) {
        const std::string t = cli::Printable(texts[i]);
        if (!t.empty() || i < 2 || i == 4) std::printf("%-8s %s\n", kNames[i], t.c_str());
    }
    return 0;
}

const char* HelpOf(const std::string& command) {
    if (command == "read") return kReadHelp;
    if (command == "watch") return kWatchHelp;
    if (command == "stable") return kStableHelp;
    if (command == "dio") return kDioHelp;
    if (command == "version") return kVersionHelp;
    return nullptr;
}

int Run(int argc, char** argv) {
    const Options o = Parse(argc, argv);
    if (o.command.empty() || o.command == "help") {
        // `tarvel` alone is a usage error: the help then goes to stderr.
        const bool asked = o.help || !o.command.empty();
        FILE* out = asked ? stdout : stderr;
        const std::string topic = o.args.empty() ? "" : o.args[0];
        if (const char* h = HelpOf(topic)) {
            std::fputs(h, out);
        } else {
            std::fputs(kMainHelp, out);
            std::fputs(kExitHelp, out);
        }
        return asked ? 0 : kExitUsage;
    }
    const char* help = HelpOf(o.command);
    if (help == nullptr) throw UsageError{"unknown command '" + o.command + "'"};
    if (o.help) {
        std::fputs(help, stdout);
        return 0;
    }
    cli::InstallStopHandler();
    cli::Progress progress(!o.quiet && cli::StderrIsTerminal());
    if (o.command == "read") return CmdRead(o, progress);
    if (o.command == "watch") return CmdWatch(o, progress);
    if (o.command == "stable") return CmdStable(o, progress);
    if (o.command == "dio") return CmdDio(o, progress);
    return CmdVersion(o);
}

} // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const UsageError& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "tarvel: %s (see tarvel --help)\n", e.what.c_str());
        return kExitUsage;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvel: %s\n", e.what());
        return kExitInternal;
    }
}
