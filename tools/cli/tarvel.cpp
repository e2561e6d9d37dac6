// tarvel: reads weighing indicators and the converter's digital I/O from the command line.
//
// It is also an example host: everything it does goes through the exported C functions of
// tarvel6.h (Seta_Ip, a constructor, Select_Canal, Update_Canal / Update_NoMotion /
// LePesoConsecutivo, the value functions, Close_Canal, Deleta_Canal; the DIO_ functions;
// FirVer), in the order a host application would call them. Run `tarvel --help`.
#include "tarvel6.h"

#include "console.h"
#include "record.h"
#include "text.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
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

const char* const kMainHelp = R"help(usage: tarvel COMMAND [OPTIONS]

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
  --model MODEL          {models}
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

--json (read, watch, stable, dio) prints one JSON object per line on stdout instead
of the text: for read, watch and stable the reading record described in the README
("The reading record (JSON)"), named by --name NAME (default: the model).

)help";

const char* const kReadHelp =
    R"(usage: tarvel read --model MODEL (--tcp ADDRESS:LETTER | --serial N|DEVICE)
                  [--nomotion MS] [--json [--name NAME]] [--quiet]

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
  --quiet                no progress line on stderr

With --json the record's "seq" counts polls from 1 and "time" is when the poll
returned (UTC). "status" is "ok" for results 0 and 3, "stale" for 1 and 2, and
"offline" for 4 and for a connection that failed, with "since" (when that status
began) and "reason"; "texts" and the numbers are null when no frame was read yet.
For example:
  {"scale":"5817","model":"5817","seq":1,"time":"2024-05-01T10:00:00.123Z",
   "status":"ok","gross":128.45,"net":123.45,"tare":5.0,"unit":"kg","stable":true,
   "overload":false,"negative":false,"texts":{"gross":"    128.45",...}}

The exit status is the poll's result (0..4), see `tarvel help`.
)";

const char* const kWatchHelp =
    R"(usage: tarvel watch --model MODEL (--tcp ADDRESS:LETTER | --serial N|DEVICE)
                   [--interval MS] [--count N] [--nomotion MS]
                   [--json [--name NAME]] [--quiet]

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
  --json           one reading record (JSON) per poll instead of the line; a failed
                   poll keeps the last weights and counts in "seq" too
  --model, --tcp, --serial, --name, --quiet   as for `tarvel read`
)";

const char* const kStableHelp =
    R"(usage: tarvel stable --model MODEL (--tcp ADDRESS:LETTER | --serial N|DEVICE)
                    [--seconds S] [--count N] [--json [--name NAME]] [--quiet]

Calls LePesoConsecutivo: polls until the net weight was read the same COUNT times
within SECONDS, then prints the result and the last reading.

  --seconds S      time limit in seconds (default 0: the library's 10)
  --count N        equal readings needed (default 0: the library's 10)
  --json           the last reading as a reading record (JSON); "status" is "ok" when
                   the polls succeeded (settled or not), otherwise as for `tarvel read`
  --model, --tcp, --serial, --name, --quiet   as for `tarvel read`

Exit status: 0 stable; 2 the weight did not settle in time (LePesoConsecutivo's 7);
otherwise the last poll's failure (1, 3 or 4) when time ran out.
)";

const char* const kDioHelp = R"(usage: tarvel dio in  --tcp ADDRESS [--json]
       tarvel dio out VALUE --tcp ADDRESS [--json]
       tarvel dio bit N [STATE] --tcp ADDRESS [--json]

The converter's digital I/O over its command port (TCP 8880); a channel letter
after the address (ADDRESS:A) is accepted and ignored.

  in          reads the input port (DIO_InPort) and prints its value and its bits as
              S/N, bit 0 first, e.g. `inputs 5 SNSNNNNN`
  out VALUE   writes the output port: a number (DIO_OutPort) or S/N characters, bit 0
              first (DIO_OutPortStr; SNS sets bits 0 and 2)
  bit N       reads input bit N, 0..31 (DIO_InBit), printed as S or N
  bit N STATE sets output bit N: 1/on or 0/off (DIO_OutBit), S or N (DIO_OutBitStr)
  --json      one line of JSON instead of the text: `in` prints
              {"converter":"ADDRESS","value":5,"bits":"SNSNNNNN"} (value -1 and bits
              "EEEEEEEE" when there was no valid reply); `out` and `bit` print
              {"converter":"ADDRESS","result":R} with the library's result R (bit N
              without STATE: 1 on, 0 off, -1 no valid reply; outputs: 0 sent, -1 not)
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
    std::string model, tcp, serial, name;
    long nomotion = -1;
    long interval = 500;
    long count = -1;
    long seconds = 0;
    bool quiet = false;
    bool json = false;
    // dio
    std::string value; // dio out VALUE
    long bit = 0;      // dio bit N
    std::string state; // dio bit N STATE, empty when not given
    std::string topic; // help COMMAND
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
        stable_->add_option("--seconds", o.seconds)->transform(Decimal(0, 2000000));
        stable_->add_option("--count", o.count)->transform(Decimal(0, 0x7FFFFFFF));
        Record(stable_);

        // dio in | out VALUE | bit N [STATE]; --tcp and --json anywhere after `dio`.
        dio_ = Command("dio", kDioHelp);
        dio_->fallthrough();
        dio_->add_option("--tcp", o.tcp);
        dio_->add_flag("--json", o.json);
        dioIn_ = Command("in", kDioHelp, dio_);
        dioOut_ = Command("out", kDioHelp, dio_);
        dioOut_->add_option("VALUE", o.value)->required();
        dioBit_ = Command("bit", kDioHelp, dio_);
        dioBit_->add_option("N", o.bit)->required()->transform(Decimal(0, 31));
        dioBit_->add_option("STATE", o.state);

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
};

const Model kModels[] = {
    {"5817", W5817, W5817Serial},
    {"5817c", W5817C, W5817SerialC},
    {"krt", WKRT, WKRTSerial},
    {"ohaus", WOhaus, WOhausSerial},
    {"msi3360", WMSI3360, WMSI3360Serial},
    {"msi6260", WMSI6260, WMSI6260Serial},
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

// ---- the reading record (--json) -----------------------------------------------------------

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
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
    void Print(int32_t r, int32_t channel, bool reading) {
        const int64_t now = NowMs();
        if (reading) {
            auto copy = [](const char* t) {
                return t != nullptr ? std::optional<std::string>(t) : std::nullopt;
            };
            texts_ = {copy(Gross_Canal(channel)),       copy(Net_Canal(channel)),
                      copy(Tare_Canal(channel)),        copy(Total_Canal(channel)),
                      copy(Contadora_Canal(channel)),   copy(Estado_Canal(channel)),
                      copy(Estado_EmMovimento(channel))};
            unit_ = copy(Unidade_Canal(channel));
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
        std::printf("%s\n",
                    tarvel::record::Line(tarvel::record::Make(meta_, texts_, unit_)).c_str());
        std::fflush(stdout);
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
    const int32_t r = Poll(o, progress, ch);
    if (cli::StopRequested()) return kExitInterrupted;
    if (o.json) {
        record.Print(r, ch.index, r == 0 || r == 3);
        return ExitOfPoll(r);
    }
    std::printf("model    %s\n", Lower(o.model).c_str());
    std::printf("channel  %s\n", ch.label.c_str());
    std::printf("result   %d %s\n", r, PollWords(r));
    if (r == 0 || r == 3) PrintReading(ch);
    std::fflush(stdout);
    return ExitOfPoll(r);
}

int CmdWatch(const Options& o, cli::Progress& progress) {
    ChannelHandle ch;
    Recorder record(o);
    if (const int rc = OpenChannel(o, progress, ch); rc != 0) {
        if (o.json && rc == kExitNoConnect) record.Print(rc, ch.index, false);
        return rc;
    }
    int last = 0;
    for (long n = 1; !cli::StopRequested(); ++n) {
        int32_t r = kExitNoConnect;
        // Select_Canal answers 1 at once while connected, and reconnects a dropped channel.
        const bool connected = !ch.tcp || cli::Waiting(progress, "reconnecting to " + ch.label,
                                                       [&] { return Select_Canal(ch.index); }) == 1;
        if (connected) r = Poll(o, progress, ch);
        last = r == kExitNoConnect ? kExitNoConnect : ExitOfPoll(r);
        if (o.json) {
            record.Print(r, ch.index, r == 0 || r == 3);
            if (o.count > 0 && n >= o.count) return last;
            if (cli::WaitForStop(static_cast<uint32_t>(o.interval))) break;
            continue;
        }
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
        if (o.count > 0 && n >= o.count) return last;
        if (cli::WaitForStop(static_cast<uint32_t>(o.interval))) break;
    }
    return 0; // stopped by Ctrl-C / SIGTERM
}

int CmdStable(const Options& o, cli::Progress& progress) {
    ChannelHandle ch;
    Recorder record(o);
    if (const int rc = OpenChannel(o, progress, ch); rc != 0) {
        if (o.json && rc == kExitNoConnect) record.Print(rc, ch.index, false);
        return rc;
    }
    const auto seconds = static_cast<int32_t>(o.seconds);
    const auto count = static_cast<int32_t>(o.count < 0 ? 0 : o.count);
    const int32_t r = cli::Waiting(progress, "waiting for a stable weight from " + ch.label,
                                   [&] { return LePesoConsecutivo(ch.index, seconds, count); });
    if (cli::StopRequested()) return kExitInterrupted;
    if (o.json) {
        // 7: the polls succeeded but the weight did not settle; the reading is still one.
        const bool reading = r == 0 || r == 3 || r == 7;
        record.Print(reading ? 0 : r, ch.index, reading);
        return r == 0 ? 0 : r == 7 ? kExitNotStable : ExitOfPoll(r);
    }
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

// `dio in`, `dio out VALUE`, `dio bit N [STATE]`.
int CmdDio(const CommandLine& cl, cli::Progress& progress) {
    const Options& o = cl.o;
    if (!cl.Is(cl.dioIn_) && !cl.Is(cl.dioOut_) && !cl.Is(cl.dioBit_))
        throw UsageError{"dio needs in, out or bit"};
    if (o.tcp.empty()) throw UsageError{"dio needs --tcp ADDRESS"};
    const TcpTarget t = ParseTcp(o.tcp, false);

    // Checked before anything is sent.
    enum class Call { InPort, OutPort, OutPortStr, InBit, OutBit, OutBitStr } call = Call::InPort;
    long value = 0;
    bool on = false;
    const auto bit = static_cast<int32_t>(o.bit);
    if (cl.Is(cl.dioOut_)) {
        const std::string& v = o.value;
        if (AllDigits(v) || (v.size() > 1 && v[0] == '-' && AllDigits(v.substr(1)))) {
            value = Number("the output value", v, -2147483647L - 1, 2147483647L);
            call = Call::OutPort;
        } else if (!v.empty() && v.find_first_not_of("SN") == std::string::npos && v.size() <= 32) {
            call = Call::OutPortStr;
        } else {
            throw UsageError{"the output value is a number or S/N characters, not '" + v + "'"};
        }
    } else if (cl.Is(cl.dioBit_)) {
        const std::string state = Lower(o.state);
        if (o.state.empty()) {
            call = Call::InBit;
        } else if (state == "1" || state == "on" || state == "0" || state == "off") {
            on = state == "1" || state == "on";
            call = Call::OutBit;
        } else if (o.state == "S" || o.state == "N") {
            on = o.state == "S";
            call = Call::OutBitStr;
        } else {
            throw UsageError{"the bit state is 1, 0, on, off, S or N, not '" + o.state + "'"};
        }
    }

    const int32_t ip = Seta_Ip(t.address.c_str());
    if (ip < 0) {
        std::fprintf(stderr, "tarvel: the library refused the address %s\n", t.address.c_str());
        return kExitRefused;
    }
    const std::string where = "the converter at " + t.address;
    const int32_t r = cli::Waiting(progress, "asking " + where, [&] {
        switch (call) {
        case Call::InPort:
            return DIO_InPort(ip);
        case Call::OutPort:
            return DIO_OutPort(ip, static_cast<int32_t>(value));
        case Call::OutPortStr:
            return DIO_OutPortStr(ip, o.value.c_str());
        case Call::InBit:
            return DIO_InBit(ip, bit);
        case Call::OutBit:
            return DIO_OutBit(ip, bit, on ? 1 : 0);
        case Call::OutBitStr:
            return DIO_OutBitStr(ip, bit, o.state.c_str());
        }
        return int32_t{-1};
    });
    if (cli::StopRequested()) return kExitInterrupted;

    const bool input = call == Call::InPort || call == Call::InBit;
    const bool failed = input ? r < 0 : r != 0;
    if (o.json) {
        tarvel::record::Json j;
        j["converter"] = t.address;
        if (call == Call::InPort) {
            j["value"] = r;
            j["bits"] = r < 0 ? std::string("EEEEEEEE") : Bits(r);
        } else {
            j["result"] = r;
        }
        PrintJson(j);
    }
    if (failed) {
        std::fprintf(stderr, "tarvel: %s %s\n",
                     input ? "no valid input reply from" : "could not send the outputs to",
                     where.c_str());
        return kExitNoConnect;
    }
    if (o.json) return 0;
    switch (call) {
    case Call::InPort:
        std::printf("inputs %d %s\n", r, Bits(r).c_str());
        break;
    case Call::OutPort:
        std::printf("outputs %ld sent\n", value);
        break;
    case Call::OutPortStr:
        std::printf("outputs %s sent\n", o.value.c_str());
        break;
    case Call::InBit:
        std::printf("input %d %s\n", bit, r == 1 ? "S" : "N");
        break;
    case Call::OutBit:
    case Call::OutBitStr:
        std::printf("output %d %s sent\n", bit, on ? "S" : "N");
        break;
    }
    return 0;
}

int CmdVersion() {
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
    CommandLine cl;
    try {
        cl.Parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(cl.Help().c_str(), stdout);
        return 0;
    }
    const Options& o = cl.o;
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
    cli::Progress progress(!o.quiet && cli::StderrIsTerminal());
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
