// tarvel: reads weighing indicators and the converter's digital I/O from the command line.
//
// It is also an example host: everything it does goes through the exported C functions of
// tarvel6.h (Seta_Ip, a constructor, Select_Canal, Update_Canal / Update_NoMotion, the value
// functions, Display_Erro, Close_Canal, Deleta_Canal; the DIO_ functions; FirVer), in the
// order a host application would call them. Run `tarvel --help`.
#include "tarvel6.h"

#include "backoff.h"
#include "clock.h"
#include "console.h"
#include "messages.h"
#include "record.h"
#include "stable.h"
#include "text.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#ifndef TARVEL_VERSION
#define TARVEL_VERSION "unknown"
#endif

namespace {

using tarvel::messages::Channel;
using tarvel::messages::Ended;

// ---- exit status ---------------------------------------------------------------------------

// 0..4 are the poll results of Update_Canal / Update_NoMotion, passed through.
constexpr int kExitFrame = 0;
constexpr int kExitNoFrame = 1;
constexpr int kExitNotStable = 2;
constexpr int kExitNoConnect = 5; // the converter refused, did not answer, or (dio) failed
constexpr int kExitRefused = 6;   // the library would not create the channel
constexpr int kExitUsage = 64;
constexpr int kExitInternal = 70;
constexpr int kExitInterrupted = 130;

const char* const kExitHelp = R"(exit status:
  0    done: a frame was read (stable: the weight settled; dio: the command was
       sent or the inputs read; version: printed; watch: stopped by Ctrl-C)
  1    no frame: the indicator sent nothing in time
  2    not stable: no frame without motion in time (read/watch --nomotion);
       stable: the weight did not settle in time
  3    the indicator reports out of range
  4    the serial port did not open
  5    could not connect: the converter refused or did not answer in time;
       dio: the command could not be sent, or no valid input reply came
  6    the library refused to create the channel
  64   usage error
  70   internal error of the reader itself
  130  interrupted by Ctrl-C (read, stable, dio)
)";

const char* const kMainHelp = R"help(usage: tarvel COMMAND [OPTIONS]
       tarvel --version

Reads weighing indicators, behind a network converter or on a local serial port, and
the converter's digital inputs and outputs, through the Tarvel6 library.

commands:
  read      one reading: gross, net, tare, status, motion and the poll's result
  watch     one reading per line with the local time, until Ctrl-C (or --count)
  stable    polls until the weight has come to rest: COUNT readings in a row without
            motion, within range and with the same net weight
  dio       the converter's digital I/O: dio in [BIT] | dio out VALUE | dio out BIT on|off
  version   the reader's and the library's versions (also: tarvel --version)
  help      this text; `tarvel help COMMAND` or `tarvel COMMAND --help` for one command

choosing the indicator (read, watch, stable):
  --model MODEL          {models}
  --tcp ADDRESS:LETTER   converter channel A..D at an IPv4 address (TCP port 8881..8884)
  --serial N|DEVICE      local serial port: COM number N (COM3 and \\.\COM3 also mean 3)
                         or, on Linux, a device path such as /dev/ttyUSB0

examples:
  tarvel read --model 5817 --tcp 192.168.0.50:A
  tarvel watch --model krt --serial /dev/ttyUSB0 --interval 200
  tarvel stable --model 5817 --tcp 192.168.0.50:B --seconds 5 --count 3
  tarvel dio in --tcp 192.168.0.50
  tarvel dio out 3 on --tcp 192.168.0.50

Failures are said on stderr in English with what to check; --verbose adds the
library's own text (Display_Erro) as a "detail:" line. While a library call waits
longer than a second, stderr says what it waits for: on a terminal as a progress
line (erased when the call returns), elsewhere as one line per wait ("(1 s so far)"),
not repeated while the same channel stays silent. --quiet turns both off.

--json (read, watch, stable, dio) prints one JSON object per line on stdout instead
of the text: for read, watch and stable the reading record described in docs/library.md
("The reading record (JSON)"), named by --name NAME (default: the model).

)help";

const char* const kReadHelp =
    R"(usage: tarvel read --model MODEL (--tcp ADDRESS:LETTER | --serial N|DEVICE)
                  [--nomotion MS] [--json [--name NAME]] [--quiet] [--verbose]

Connects (Select_Canal), polls once and prints the result in words and the values:
gross, net and tare weight, total and counter (when the indicator gives them), the
eight status characters with their meaning, and the motion flag.

  --model MODEL          {models}
  --tcp ADDRESS:LETTER   converter channel A..D at an IPv4 address (TCP port 8881..8884)
  --serial N|DEVICE      COM number, COMn, \\.\COMn, or (Linux) a device path
  --nomotion MS          Update_NoMotion: wait up to MS ms for a frame without motion
                         (default: Update_Canal, the driver's own wait)
  --json                 print the reading record as one line of JSON instead
  --name NAME            the record's "scale" (default: the model)
  --quiet                nothing on stderr while a call waits
  --verbose              also the library's own text of a failure ("detail:")

With --json the record's "seq" counts polls from 1 and "time" is when the poll
returned (UTC). "status" is "ok" for results 0 and 3, "stale" for 1 and 2, and
"offline" for 4 and for a connection that failed, with "since" (when that status
began) and "reason"; "texts" and the numbers are null when no frame was read yet.
For example:
  {"scale":"5817","model":"5817","seq":1,"time":"2024-05-01T10:00:00.123Z",
   "status":"ok","gross":128.45,"net":123.45,"tare":5.0,"unit":"kg","stable":true,
   "overload":false,"negative":false,"texts":{"gross":"    128.45",...}}

The exit status is the poll's result (0..4), or 5 when the connection failed; see
`tarvel help`.
)";

const char* const kWatchHelp =
    R"(usage: tarvel watch --model MODEL (--tcp ADDRESS:LETTER | --serial N|DEVICE)
                   [--interval MS] [--count N] [--nomotion MS]
                   [--json [--name NAME]] [--quiet] [--verbose]

Polls again and again and prints one line per poll, with the local time and its
offset from UTC:
  2024-05-01T12:00:00.123+02:00 result=0 gross=123.95 net=123.45 tare=0.50 status=1SNNNkgN motion=N
or, when the poll failed,
  2024-05-01T12:00:10.125+02:00 result=1 (no frame)
A converter that cannot be reached (result=5, connection refused or not made in
time) or a serial port that does not open (result=4) is offline: that is said once,
  2024-05-01T12:00:10.125+02:00 result=5 offline: nothing listens on ...: is the ...?
and tried again after 0.5 s, then 1, 2, 4 ... up to 30 s between attempts (or the
interval when it is longer), without a line per attempt, until it answers. A TCP
channel that lost its connection is reconnected before the next poll. A poll that
fails at once (--nomotion 0, say) is followed by the same growing pause. Ctrl-C
(SIGINT, SIGTERM) stops after the poll that is running: the channel is closed and
deleted and the exit status is 0. A second Ctrl-C quits at once.

  --interval MS    pause between the end of one poll and the next (default 500; 0: none)
  --count N        stop after N attempts (polls, and connection attempts while offline);
                   the exit status is then the last attempt's result (5: offline)
  --nomotion MS    poll with Update_NoMotion and this time-out
  --json           one reading record (JSON) per poll instead of the line, and one per
                   change to offline; a failed poll keeps the last weights, and counts
                   in "seq" too
  --model, --tcp, --serial, --name, --quiet, --verbose   as for `tarvel read`
)";

const char* const kStableHelp =
    R"(usage: tarvel stable --model MODEL (--tcp ADDRESS:LETTER | --serial N|DEVICE)
                    [--seconds S] [--count N] [--json [--name NAME]] [--quiet] [--verbose]

Polls (Update_Canal) until COUNT readings in a row are frames with motion clear, out of
range clear and the same net weight, then prints the result and the last reading. A
family that does not report motion (MSI) counts as not moving; the raw 5817 variant
(5817c) carries no weight and never settles. This is tarvel-gateway's stable read.
(LePesoConsecutivo, which compares net weights only, is not used.)

  --seconds S      time limit in seconds, 1..86400 (default 10; 0 also means 10). A poll
                   that is running when the time is up finishes first: up to the model's
                   own wait (10 s for 5817/KRT, 5 s for the others) when the indicator is
                   silent
  --count N        readings in a row needed, 1..100 (default 3; 0 also means 3)
  --json           the last reading as a reading record (JSON), also when the weight did
                   not settle
  --model, --tcp, --serial, --name, --quiet, --verbose   as for `tarvel read`

Exit status: 0 settled; when the time ran out: 2 the weight did not settle (it moved,
changed, or the model has no weight), or the last poll's failure: 1 no frame, 3 out of
range, 4 the serial port did not open, 5 no connection.
)";

const char* const kDioHelp = R"(usage: tarvel dio in [BIT] --tcp ADDRESS [--json]
       tarvel dio out VALUE --tcp ADDRESS [--json]
       tarvel dio out BIT STATE --tcp ADDRESS [--json]

The converter's digital I/O over its command port (TCP 8880); a channel letter
after the address (ADDRESS:A) is accepted and ignored. `in` only reads, `out` only
writes. Everything is checked before anything is sent.

  in          reads the input port (DIO_InPort) and prints its value and its bits as
              S/N, bit 0 first: `inputs 5 SNSNNNNN`
  in BIT      reads input BIT, 0..7 (DIO_InBit): `input 2 on` or `input 2 off`
  out VALUE   writes every output: a number 0..255 (DIO_OutPort; 5 sets bits 0 and 2)
              or 1 to 8 characters S/N, bit 0 first (DIO_OutPortStr; SNS is 5):
              `outputs 5 SNSNNNNN sent`
  out BIT STATE
              sets output BIT, 0..7, on or off; STATE is on, off, 1 or 0, in any case
              (DIO_OutBit): `output 3 on sent`
  --json      one line of JSON instead of the text:
                in          {"converter":"ADDRESS","value":5,"bits":"SNSNNNNN"}
                in BIT      {"converter":"ADDRESS","bit":2,"on":true}
                out ...     {"converter":"ADDRESS","result":0}
              and on a failure the same keys with "value":-1 and "bits":"EEEEEEEE",
              "on":null, or "result":-1, plus "error": the English message
  --quiet, --verbose   as for `tarvel read`

"sent" means the command went out on a connection to the converter; the converter
does not confirm outputs. When no connection could be made (refused, not made within
10 s) or the exchange broke off, nothing was sent: the command says what failed on
stderr and ends with status 5, as does an input command without a valid reply.
`dio bit` of earlier versions is gone: `dio in BIT` reads, `dio out BIT on|off` writes.
)";

const char* const kVersionHelp = R"(usage: tarvel version
       tarvel --version

Prints the reader's own version and the library's texts from FirVer: product, version
and library name.
)";

// ---- options -------------------------------------------------------------------------------

struct UsageError {
    std::string what;
};

struct Options {
    std::string model, tcp, serial, name;
    long nomotion = -1;
    long interval = 500;
    long count = -1;
    long seconds = 0;
    bool quiet = false;
    bool verbose = false;
    bool json = false;
    bool version = false;
    // dio
    std::vector<std::string> words; // dio in [BIT] | dio out VALUE | dio out BIT STATE
    std::string topic;              // help COMMAND
};

// A whole number in [lo, hi], written in decimal, or a usage error naming `what`.
std::string DecimalError(const std::string& what, const std::string& text, long lo, long hi,
                         long* value) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < lo || v > hi)
        return (what.empty() ? "" : what + " ") + "needs a whole number from " +
               std::to_string(lo) + " to " + std::to_string(hi) + ", not '" + text + "'";
    *value = v;
    return {};
}

long Number(const std::string& what, const std::string& text, long lo, long hi) {
    long v = 0;
    const std::string error = DecimalError(what, text, lo, hi, &v);
    if (!error.empty()) throw UsageError{error};
    return v;
}

// For CLI11 options: the same check, and the text rewritten so that CLI11 (which would read
// "010" as octal) converts the decimal value.
CLI::Validator Decimal(long lo, long hi) {
    return CLI::Validator(
        [lo, hi](std::string& text) {
            long v = 0;
            std::string error = DecimalError("", text, lo, hi, &v);
            if (error.empty()) text = std::to_string(v);
            return error;
        },
        "");
}

// A help text with the models of the library's family table in place of "{models}".
std::string WithModels(std::string text) {
    const std::string mark = "{models}";
    for (size_t at; (at = text.find(mark)) != std::string::npos;)
        text.replace(at, mark.size(), ModelNames());
    return text;
}

// Every command's help is a fixed text.
class FixedHelp : public CLI::FormatterBase {
  public:
    explicit FixedHelp(std::string text) : text_(WithModels(std::move(text))) {}
    std::string make_help(const CLI::App*, std::string, CLI::AppFormatMode) const override {
        return text_;
    }

  private:
    std::string text_;
};

// The command line: one CLI11 subcommand per command, each taking only its own options.
class CommandLine {
  public:
    Options o;

    CommandLine() {
        app_.formatter(std::make_shared<FixedHelp>(std::string(kMainHelp) + kExitHelp));
        app_.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        app_.add_flag("--version", o.version);
        read_ = Command("read", kReadHelp);
        Indicator(read_);
        read_->add_option("--nomotion", o.nomotion)->transform(Decimal(0, 0x7FFFFFFF));
        Record(read_);

        watch_ = Command("watch", kWatchHelp);
        Indicator(watch_);
        watch_->add_option("--interval", o.interval)->transform(Decimal(0, 86400000));
        watch_->add_option("--count", o.count)->transform(Decimal(0, 0x7FFFFFFF));
        watch_->add_option("--nomotion", o.nomotion)->transform(Decimal(0, 0x7FFFFFFF));
        Record(watch_);

        stable_ = Command("stable", kStableHelp);
        Indicator(stable_);
        stable_->add_option("--seconds", o.seconds)->transform(Decimal(0, 86400));
        stable_->add_option("--count", o.count)->transform(Decimal(0, 100));
        Record(stable_);

        // dio in [BIT] | out VALUE | out BIT STATE; --tcp and --json anywhere after `dio`.
        // `bit` is kept as a name only, to say what replaced it.
        dio_ = Command("dio", kDioHelp);
        dio_->fallthrough();
        dio_->add_option("--tcp", o.tcp);
        dio_->add_flag("--json", o.json);
        dioIn_ = Command("in", kDioHelp, dio_);
        dioIn_->add_option("BIT", o.words);
        dioOut_ = Command("out", kDioHelp, dio_);
        dioOut_->add_option("VALUE", o.words)->required();
        dioBit_ = Command("bit", kDioHelp, dio_);
        dioBit_->add_option("ARGS", o.words);

        version_ = Command("version", kVersionHelp);
        help_ = Command("help", kMainHelp);
        help_->add_option("COMMAND", o.topic);
    }

    // Parses; CLI11's own errors come back as UsageError, a --help as CallForHelp.
    void Parse(int argc, char** argv) {
        try {
            app_.parse(argc, argv);
        } catch (const CLI::CallForHelp&) {
            throw;
        } catch (const CLI::ParseError& e) {
            throw UsageError{e.what()};
        }
    }

    std::string Help() const { return app_.help(); }
    bool Given() const { return !app_.get_subcommands().empty(); }
    std::vector<CLI::App*> Commands() const { return app_.get_subcommands(); }
    bool Is(const CLI::App* command) const { return command->parsed(); }

    CLI::App *read_, *watch_, *stable_, *dio_, *dioIn_, *dioOut_, *dioBit_, *version_, *help_;

  private:
    CLI::App* Command(const char* name, const char* help, CLI::App* parent = nullptr) {
        CLI::App* c = (parent != nullptr ? parent : &app_)->add_subcommand(name);
        c->formatter(std::make_shared<FixedHelp>(help));
        c->add_flag("-q,--quiet", o.quiet);
        c->add_flag("-v,--verbose", o.verbose);
        return c;
    }
    void Indicator(CLI::App* c) {
        c->add_option("--model", o.model);
        c->add_option("--tcp", o.tcp);
        c->add_option("--serial", o.serial);
    }
    void Record(CLI::App* c) {
        c->add_flag("--json", o.json);
        c->add_option("--name", o.name);
    }

    CLI::App app_{"", "tarvel"};
};

// ---- indicator models ----------------------------------------------------------------------

using TcpCtor = int32_t(TARVEL_CALL*)(int32_t, const char*);
using SerialCtor = int32_t(TARVEL_CALL*)(int32_t);

struct Model {
    const char* name;
    TcpCtor tcp;
    SerialCtor serial;
    bool reportsMotion; // a time-out of Update_NoMotion waits for a frame without motion
};

const Model kModels[] = {
    {"5817", W5817, W5817Serial, true},
    {"5817c", W5817C, W5817SerialC, true},
    {"krt", WKRT, WKRTSerial, true},
    {"ohaus", WOhaus, WOhausSerial, true},
    {"msi3360", WMSI3360, WMSI3360Serial, false},
    {"msi6260", WMSI6260, WMSI6260Serial, false},
};

using tarvel::text::Lower;

// A model of the library's family table, with its constructors.
const Model& FindModel(const std::string& name) {
    if (name.empty()) throw UsageError{"--model is needed: " + ModelNames()};
    if (const Family* family = FamilyOfModel(name))
        for (const Model& m : kModels)
            if (family->model == std::string_view(m.name)) return m;
    throw UsageError{"unknown model '" + name + "' (models: " + ModelNames("") + ")"};
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

// ---- saying things -------------------------------------------------------------------------

// With --verbose, the library's own text of a failure that was said before.
void Detail(const Options& o, const char* libraryText) {
    if (!o.verbose || libraryText == nullptr) return;
    const std::string detail = cli::Printable(libraryText);
    if (detail.empty()) return;
    std::fflush(stdout);
    std::fprintf(stderr, "tarvel: detail: %s\n", detail.c_str());
    std::fflush(stderr);
}

// What went wrong, on stderr: the English message, and with --verbose the library's own
// text as a detail.
void Say(const Options& o, const std::string& message, const char* libraryText = nullptr) {
    std::fflush(stdout);
    std::fprintf(stderr, "tarvel: %s\n", message.c_str());
    std::fflush(stderr);
    Detail(o, libraryText);
}

int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 since)
        .count();
}

// ---- channels ------------------------------------------------------------------------------

// The channel of the command, closed and deleted when the command ends, however it ends.
struct ChannelHandle {
    int32_t index = -1;
    const Model* model = nullptr;
    Channel name; // for messages
    std::string label;
    // Set after each failed connection attempt: how it ended and the library's text.
    Ended connectEnded = Ended::AtOnce;
    std::string connectDetail;

    bool Tcp() const { return name.Tcp(); }

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

// Seta_Ip and the model's constructor. Returns 0, or the exit status.
int MakeChannel(const Options& o, ChannelHandle& ch) {
    const Model& model = FindModel(o.model);
    ch.model = &model;
    ch.name.model = model.name;
    if (o.tcp.empty() == o.serial.empty())
        throw UsageError{"give either --tcp ADDRESS:LETTER or --serial N|DEVICE"};
    if (!o.tcp.empty()) {
        const TcpTarget t = ParseTcp(o.tcp, true);
        const int32_t ip = Seta_Ip(t.address.c_str());
        ch.name.address = t.address;
        ch.name.letter = t.letter[0];
        ch.index = ip < 0 ? -1 : model.tcp(ip, t.letter.c_str());
    } else {
        const int32_t com = SerialNumber(o.serial, ch.name.port);
        ch.index = model.serial(com);
    }
    ch.label = ch.name.Where();
    if (ch.index < 0) {
        Say(o, "the library refused the channel " + ch.label +
                   ": check the address, the channel letter or the port number");
        return kExitRefused;
    }
    return 0;
}

// Select_Canal: connects a TCP channel, or reconnects one whose connection dropped (at once
// while connected); nothing for a serial channel. False when it failed: `connectEnded` and
// `connectDetail` then tell how.
bool Connect(cli::Progress& progress, ChannelHandle& ch, const std::string& what) {
    if (!ch.Tcp()) return true;
    const auto t0 = std::chrono::steady_clock::now();
    const int32_t ok = cli::Waiting(progress, what, [&] { return Select_Canal(ch.index); });
    if (ok == 1) return true;
    ch.connectEnded = tarvel::messages::EndedAfter(ElapsedMs(t0));
    const char* text = Display_Erro(ch.index);
    ch.connectDetail = text != nullptr ? text : "";
    return false;
}

std::string ConnectWhat(const ChannelHandle& ch) {
    return "connecting to " + ch.label + " (port " + std::to_string(ch.name.TcpPort()) + ")";
}

// MakeChannel and Connect, for the commands that give up when the connection fails. Returns
// 0, or the exit status.
int OpenChannel(const Options& o, cli::Progress& progress, ChannelHandle& ch) {
    if (const int rc = MakeChannel(o, ch); rc != 0) return rc;
    if (Connect(progress, ch, ConnectWhat(ch))) return 0;
    Say(o, tarvel::messages::ConnectFailed(ch.name, ch.connectEnded), ch.connectDetail.c_str());
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

bool IsReading(int32_t r) {
    return r == 0 || r == 3;
}

// One poll: Update_NoMotion with `noMotionMs`, or Update_Canal when it is negative.
int32_t Poll(cli::Progress& progress, const ChannelHandle& ch, long noMotionMs) {
    const std::string what = "waiting for a frame from " + ch.label;
    return cli::Waiting(progress, what, [&] {
        return noMotionMs >= 0 ? Update_NoMotion(ch.index, static_cast<int32_t>(noMotionMs))
                               : Update_Canal(ch.index);
    });
}

// Says why a poll gave no reading (or an out-of-range one); nothing for a good reading.
// `waitedMs`: the time-out the poll had (Update_NoMotion), or -1 for the model's own wait.
void SayPoll(const Options& o, const ChannelHandle& ch, int32_t r, int64_t waitedMs) {
    if (r == 0) return;
    if (r == 3) {
        Say(o, tarvel::messages::OutOfRange(ch.name));
        return;
    }
    Say(o, tarvel::messages::PollFailed(ch.name, r, waitedMs), Display_Erro(ch.index));
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

// ---- the reading record (--json) -----------------------------------------------------------

std::optional<std::string> Copy(const char* t) {
    return t != nullptr ? std::optional<std::string>(t) : std::nullopt;
}

// Prints one reading record per poll: "seq" counts the polls from 1, a failed poll keeps the
// texts of the last reading, "since" is when the current status other than ok began.
class Recorder {
  public:
    explicit Recorder(const Options& o) {
        meta_.model = Lower(o.model);
        meta_.scale = o.name.empty() ? meta_.model : o.name;
    }

    // After a poll with result r (0..4; kExitNoConnect: the connection failed). `reading`:
    // the channel's value functions hold a new reading.
    void Take(int32_t r, int32_t channel, bool reading) {
        const int64_t now = tarvel::clock::NowMs();
        if (reading) {
            texts_ = {Copy(Gross_Canal(channel)),       Copy(Net_Canal(channel)),
                      Copy(Tare_Canal(channel)),        Copy(Total_Canal(channel)),
                      Copy(Contadora_Canal(channel)),   Copy(Estado_Canal(channel)),
                      Copy(Estado_EmMovimento(channel))};
            unit_ = Copy(Unidade_Canal(channel));
        }
        std::string status = "ok";
        switch (r) {
        case 0:
        case 3:
            break;
        case 1:
            status = "stale";
            meta_.reason = "no frame in time";
            break;
        case 2:
            status = "stale";
            meta_.reason = "no frame without motion in time";
            break;
        case 4:
            status = "offline";
            meta_.reason = "the serial port did not open";
            break;
        default:
            status = "offline";
            meta_.reason = "could not connect";
            break;
        }
        if (status != meta_.status) meta_.sinceMs = now;
        meta_.status = status;
        meta_.timeMs = now;
        ++meta_.seq;
    }
    void Print() const {
        std::printf("%s\n",
                    tarvel::record::Line(tarvel::record::Make(meta_, texts_, unit_)).c_str());
        std::fflush(stdout);
    }
    void Print(int32_t r, int32_t channel, bool reading) {
        Take(r, channel, reading);
        Print();
    }

  private:
    tarvel::record::Meta meta_;
    tarvel::record::Texts texts_;
    std::optional<std::string> unit_; // Unidade_Canal after the last reading
};

// One line of JSON.
void PrintJson(const tarvel::record::Json& j) {
    std::printf("%s\n", tarvel::record::Line(j).c_str());
    std::fflush(stdout);
}

// ---- commands ------------------------------------------------------------------------------

int CmdRead(const Options& o, cli::Progress& progress) {
    ChannelHandle ch;
    Recorder record(o);
    if (const int rc = OpenChannel(o, progress, ch); rc != 0) {
        if (o.json && rc == kExitNoConnect) record.Print(rc, ch.index, false);
        return rc;
    }
    if (cli::StopRequested()) return kExitInterrupted;
    const int32_t r = Poll(progress, ch, o.nomotion);
    if (cli::StopRequested()) return kExitInterrupted;
    if (o.json) {
        record.Print(r, ch.index, IsReading(r));
    } else {
        std::printf("model    %s\n", ch.model->name);
        std::printf("channel  %s\n", ch.label.c_str());
        std::printf("result   %d %s\n", r, PollWords(r));
        if (IsReading(r)) PrintReading(ch);
        std::fflush(stdout);
    }
    SayPoll(o, ch, r, o.nomotion);
    return ExitOfPoll(r);
}

int CmdWatch(const Options& o, cli::Progress& progress) {
    ChannelHandle ch;
    Recorder record(o);
    if (const int rc = MakeChannel(o, ch); rc != 0) return rc;
    tarvel::Backoff backoff;
    bool offline = false; // said once when it begins
    int last = 0;
    const auto interval = static_cast<uint32_t>(o.interval);
    for (long n = 1; !cli::StopRequested(); ++n) {
        int32_t r = kExitNoConnect;
        const auto t0 = std::chrono::steady_clock::now();
        // Select_Canal answers 1 at once while connected, and reconnects a dropped channel.
        if (Connect(progress, ch, n == 1 ? ConnectWhat(ch) : "reconnecting to " + ch.label))
            r = Poll(progress, ch, o.nomotion);
        last = r == kExitNoConnect ? kExitNoConnect : ExitOfPoll(r);
        uint32_t pause = interval;
        if (r == kExitNoConnect || r == 4) {
            // Unreachable: said once, then tried again after a growing pause.
            if (!offline) {
                const std::string why =
                    r == 4 ? tarvel::messages::PollFailed(ch.name, r)
                           : tarvel::messages::ConnectFailed(ch.name, ch.connectEnded);
                const char* detail = r == 4 ? Display_Erro(ch.index) : ch.connectDetail.c_str();
                if (o.json) {
                    record.Print(r, ch.index, false);
                    Say(o, why, detail);
                } else {
                    std::printf("%s result=%d offline: %s\n", cli::Timestamp().c_str(), r,
                                why.c_str());
                    std::fflush(stdout);
                    Detail(o, detail);
                }
                offline = true;
            }
            pause = std::max(interval, backoff.Next());
        } else {
            offline = false;
            if (IsReading(r)) {
                backoff.Reset();
                progress.Forget();
            } else if (ElapsedMs(t0) < 100) {
                // A poll that failed without waiting (--nomotion 0, a refused poll): no loop.
                pause = std::max(interval, backoff.Next());
            }
            if (o.json) {
                record.Print(r, ch.index, IsReading(r));
            } else {
                std::string line = cli::Timestamp() + " result=" + std::to_string(r);
                if (IsReading(r)) {
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
            }
        }
        if (o.count > 0 && n >= o.count) return last;
        if (cli::WaitForStop(pause)) break;
    }
    return 0; // stopped by Ctrl-C / SIGTERM
}

int CmdStable(const Options& o, cli::Progress& progress) {
    ChannelHandle ch;
    Recorder record(o);
    if (const int rc = MakeChannel(o, ch); rc != 0) return rc;
    const double seconds = o.seconds > 0 ? static_cast<double>(o.seconds) : 10.0;
    const auto count = static_cast<std::size_t>(o.count > 0 ? o.count : 3);
    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
    auto leftMs = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
            .count();
    };
    tarvel::stable::Run run(count);
    tarvel::Backoff backoff;
    int32_t r = kExitNoConnect;
    const std::string what = "waiting for a stable weight from " + ch.label;
    for (;;) {
        const auto t0 = Clock::now();
        if (!Connect(progress, ch, ConnectWhat(ch))) {
            r = kExitNoConnect;
        } else {
            // Update_Canal takes the next frame, moving or not; for a family that does not
            // report motion Update_NoMotion does the same, within the time left.
            const int64_t left = std::clamp<int64_t>(leftMs(), 1, 0x7FFFFFFF);
            r = cli::Waiting(progress, what, [&] {
                return ch.model->reportsMotion
                           ? Update_Canal(ch.index)
                           : Update_NoMotion(ch.index, static_cast<int32_t>(left));
            });
        }
        if (cli::StopRequested()) return kExitInterrupted;
        record.Take(r, ch.index, IsReading(r));
        if (IsReading(r)) {
            backoff.Reset();
            progress.Forget();
        }
        const bool done = run.Take(tarvel::stable::FromPoll(
            ch.model->name, r, cli::Printable(Estado_EmMovimento(ch.index), false),
            cli::Printable(Estado_Canal(ch.index), false),
            cli::Printable(Net_Canal(ch.index), false)));
        if (done) break;
        const int64_t left = leftMs();
        if (left <= 0) break;
        // Unreachable, or a poll that failed without waiting: a growing pause, no loop.
        if (r == kExitNoConnect || r == 4 || (!IsReading(r) && ElapsedMs(t0) < 100)) {
            if (cli::WaitForStop(static_cast<uint32_t>(std::min<int64_t>(backoff.Next(), left))))
                return kExitInterrupted;
        }
    }
    const bool settled = run.Done();
    // Time up: the last poll's failure, or 2 when the polls gave readings that did not settle.
    const int rc = settled ? 0 : r == 0 ? kExitNotStable : r == kExitNoConnect ? r : ExitOfPoll(r);
    if (o.json) {
        record.Print();
    } else {
        std::printf("model    %s\n", ch.model->name);
        std::printf("channel  %s\n", ch.label.c_str());
        if (settled) {
            std::printf("result   0 stable\n");
            PrintReading(ch);
        } else if (rc == kExitNotStable) {
            std::printf("result   2 not stable in time\n");
            std::printf("last reading (not stable):\n");
            PrintReading(ch);
        } else {
            std::printf("result   %d %s (time ran out)\n", rc, PollWords(rc));
            if (rc == 3) PrintReading(ch);
        }
        std::fflush(stdout);
    }
    if (settled) return 0;
    if (r == kExitNoConnect)
        Say(o, tarvel::messages::ConnectFailed(ch.name, ch.connectEnded), ch.connectDetail.c_str());
    else if (rc == kExitNotStable)
        Say(o, tarvel::messages::NotSettled(ch.name, count, seconds));
    else // the MSI models' polls waited for the time left, the others their own wait
        SayPoll(o, ch, r, ch.model->reportsMotion ? -1 : static_cast<int64_t>(seconds * 1000));
    return rc;
}

std::string Bits(int32_t v) {
    std::string s;
    for (int k = 0; k < 8; ++k)
        s += (v >> k) & 1 ? 'S' : 'N';
    return s;
}

// `dio in [BIT]`, `dio out VALUE`, `dio out BIT STATE`.
int CmdDio(const CommandLine& cl, cli::Progress& progress) {
    const Options& o = cl.o;
    if (cl.Is(cl.dioBit_))
        throw UsageError{"`dio bit` is gone: read an input with `dio in BIT`, set an output with "
                         "`dio out BIT on|off`"};
    if (!cl.Is(cl.dioIn_) && !cl.Is(cl.dioOut_)) throw UsageError{"dio needs in or out"};
    if (o.tcp.empty()) throw UsageError{"dio needs --tcp ADDRESS"};
    const TcpTarget t = ParseTcp(o.tcp, false);

    // Everything is checked before anything is sent.
    enum class Call { InPort, InBit, OutPort, OutPortStr, OutBit } call = Call::InPort;
    long value = 0;
    long bit = 0;
    bool on = false;
    const std::vector<std::string>& w = o.words;
    if (cl.Is(cl.dioIn_)) {
        if (w.size() > 1) throw UsageError{"dio in takes at most one input bit"};
        if (w.size() == 1) {
            bit = Number("the input bit", w[0], 0, 7);
            call = Call::InBit;
        }
    } else if (w.size() == 1) {
        const std::string& v = w[0];
        if (AllDigits(v)) {
            value = Number("the output value", v, 0, 255);
            call = Call::OutPort;
        } else if (!v.empty() && v.size() <= 8 && v.find_first_not_of("SN") == std::string::npos) {
            for (size_t k = 0; k < v.size(); ++k)
                if (v[k] == 'S') value |= 1L << k;
            call = Call::OutPortStr;
        } else {
            throw UsageError{"the output value is a number from 0 to 255 or 1 to 8 characters "
                             "S/N (bit 0 first), not '" +
                             v + "'"};
        }
    } else if (w.size() == 2) {
        bit = Number("the output bit", w[0], 0, 7);
        const std::string state = Lower(w[1]);
        if (state == "on" || state == "1")
            on = true;
        else if (state == "off" || state == "0")
            on = false;
        else
            throw UsageError{"the output state is on or off (or 1, 0), not '" + w[1] + "'"};
        call = Call::OutBit;
    } else {
        throw UsageError{"dio out takes VALUE, or BIT and on|off"};
    }

    const int32_t ip = Seta_Ip(t.address.c_str());
    if (ip < 0) {
        Say(o, "the library refused the address " + t.address);
        return kExitRefused;
    }
    const auto b = static_cast<int32_t>(bit);
    std::string action;
    switch (call) {
    case Call::InPort:
        action = "read the inputs";
        break;
    case Call::InBit:
        action = "read input " + std::to_string(bit);
        break;
    case Call::OutPort:
    case Call::OutPortStr:
        action = "set the outputs to " + std::to_string(value);
        break;
    case Call::OutBit:
        action = "set output " + std::to_string(bit) + (on ? " on" : " off");
        break;
    }
    const auto t0 = std::chrono::steady_clock::now();
    const int32_t r = cli::Waiting(progress, "asking the converter at " + t.address, [&] {
        switch (call) {
        case Call::InPort:
            return DIO_InPort(ip);
        case Call::InBit:
            return DIO_InBit(ip, b);
        case Call::OutPort:
            return DIO_OutPort(ip, static_cast<int32_t>(value));
        case Call::OutPortStr:
            return DIO_OutPortStr(ip, w[0].c_str());
        case Call::OutBit:
            return DIO_OutBit(ip, b, on ? 1 : 0);
        }
        return int32_t{-1};
    });
    if (cli::StopRequested()) return kExitInterrupted;

    const bool input = call == Call::InPort || call == Call::InBit;
    const bool failed = r == TARVEL_FAILED;
    const std::string error =
        failed ? tarvel::messages::DioFailed(action, t.address, input,
                                             tarvel::messages::EndedAfter(ElapsedMs(t0)))
               : std::string();
    if (o.json) {
        tarvel::record::Json j;
        j["converter"] = t.address;
        if (call == Call::InPort) {
            j["value"] = r;
            j["bits"] = failed ? std::string("EEEEEEEE") : Bits(r);
        } else if (call == Call::InBit) {
            j["bit"] = bit;
            j["on"] = failed ? tarvel::record::Json(nullptr) : tarvel::record::Json(r == 1);
        } else {
            j["result"] = r;
        }
        if (failed) j["error"] = error;
        PrintJson(j);
    }
    if (failed) {
        Say(o, error);
        return kExitNoConnect;
    }
    if (o.json) return 0;
    switch (call) {
    case Call::InPort:
        std::printf("inputs %d %s\n", r, Bits(r).c_str());
        break;
    case Call::InBit:
        std::printf("input %ld %s\n", bit, r == 1 ? "on" : "off");
        break;
    case Call::OutPort:
    case Call::OutPortStr:
        std::printf("outputs %ld %s sent\n", value, Bits(static_cast<int32_t>(value)).c_str());
        break;
    case Call::OutBit:
        std::printf("output %ld %s sent\n", bit, on ? "on" : "off");
        break;
    }
    return 0;
}

int CmdVersion() {
    const char* texts[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    FirVer(&texts[0], &texts[1], &texts[2], &texts[3], &texts[4]);
    std::printf("%-8s %s\n", "tarvel", TARVEL_VERSION);
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
    CommandLine cl;
    try {
        cl.Parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(cl.Help().c_str(), stdout);
        return 0;
    }
    const Options& o = cl.o;
    if (o.version) {
        if (cl.Given()) throw UsageError{"--version stands alone"};
        return CmdVersion();
    }
    if (!cl.Given()) {
        // `tarvel` alone is a usage error: the help then goes to stderr.
        std::fputs(WithModels(kMainHelp).c_str(), stderr);
        std::fputs(kExitHelp, stderr);
        return kExitUsage;
    }
    if (cl.Is(cl.help_)) {
        // `help read`: the parser takes `read` as the command it names.
        std::string topic = o.topic;
        for (const CLI::App* c : cl.Commands())
            if (c != cl.help_) topic = c->get_name();
        if (const char* h = HelpOf(topic)) {
            std::fputs(WithModels(h).c_str(), stdout);
        } else {
            std::fputs(WithModels(kMainHelp).c_str(), stdout);
            std::fputs(kExitHelp, stdout);
        }
        return 0;
    }
    if (!o.name.empty() && !o.json) throw UsageError{"--name names the record of --json"};
    cli::InstallStopHandler();
    cli::Progress progress(o.quiet                   ? cli::ProgressMode::Off
                           : cli::StderrIsTerminal() ? cli::ProgressMode::Terminal
                                                     : cli::ProgressMode::Lines);
    if (cl.Is(cl.read_)) return CmdRead(o, progress);
    if (cl.Is(cl.watch_)) return CmdWatch(o, progress);
    if (cl.Is(cl.stable_)) return CmdStable(o, progress);
    if (cl.Is(cl.dio_)) return CmdDio(cl, progress);
    return CmdVersion();
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
