// tarvel-sim: runs a simulated network converter and/or pseudo-terminal indicators.
#include "tarvelsim.h"

#include <CLI/CLI.hpp>

#include <arpa/inet.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

const char* kHelp = R"(usage: tarvel-sim [options]

Plays the far end of the weighing library's connections: a network converter
whose serial channels A..D each carry one simulated indicator, and/or
indicators on pseudo-terminals standing in for serial ports.

Options:
  --ip ADDR        converter address (default 127.0.0.1); ADDR-N (e.g.
                   127.0.1.1-64) is one converter on each address from ADDR
                   up to last number N, all alike; repeatable
  --base-port N    IO port number BASE (default 8880); see Ports
  --a SPEC         indicator behind channel A; likewise --b, --c, --d
  --io             also serve the IO command port
  --in N           input value answered to "IN" (default 0)
  --io-mode MODE   normal (default), silent (never answers), flood (endless
                   bytes, at most 1 MiB per connection), hangup (resets the
                   connection after the command) or refuse (nothing listens)
  --io-reply TEXT  answer every IO command with TEXT (escapes as in SPEC)
  --pty SPEC       an indicator on a new pseudo-terminal (repeatable); its
                   device path is printed on stdout, one line per --pty,
                   flushed at once; nothing else goes to stdout
  --seconds N      stop after N seconds (default: until SIGINT or SIGTERM)
  --verbose, -v    report IO commands, Ohaus requests and pty line settings
                   on stderr
  --help, -h       this text

A converter runs when --a..--d, --io or --ip is given, or when there is no
--pty. A channel without SPEC accepts connections and sends nothing. With
several addresses, every converter has the channels and IO port given.

Ports (TCP on ADDR):
  BASE+1..BASE+4   channels A..D (8881..8884 by default). Up to 64 clients
                   at once per port (any more are closed at once), connecting
                   and reconnecting at will; each gets every frame.
  BASE             with --io, the IO command port: commands end in CR;
                   "IN" is answered "IN" + the input as 3 digits + " OK\n\r",
                   "OPn" sets the outputs, "OBsb" sets bit b on (s not 0) or
                   off, every other command gets " OK\n\r".

SPEC is MODEL[:key=value,...]. A flag key alone means key=1 (also 1/0,
yes/no, on/off). Values may use the escapes \r \n \t \\ \, and \xHH.

Models and what they send:
  5817     every period: STX, status A, B, C, the weight and the tare as six
           digits each, CR and a check character (18 bytes).
             weight=DIGITS  displayed weight without decimal point,
                            -999999..999999 (negative sets the sign bit)
             tare=DIGITS    0..999999
             dec=0..7       status A decimal code: 3 is one place ... 7 five,
                            0..2 none
             inc=1|2|5      increment;  unit=kg|lb
             flags          net neg over motion print; badcheck sends a wrong
                            check character
  krt      as 5817 without the check character (17 bytes), no badcheck.
  msi3360  every period: STX, gross, net, tare (8 characters each) and the
           unit (2), ETX.
             text form      gross=TEXT net=TEXT tare=TEXT, each right-aligned
                            in 8 or cut ("--------" is the no-value form);
                            unit=TEXT (default kg)
             number form    with weight= or any mode but constant: the weight
                            is the gross, tare=NUMBER (default 0),
                            net = gross - tare, each with dec=0..6 decimals
                            (default 2); gross= and net= are refused
  msi6260  every period (default 500 ms) a ticket: a header line, a blank
           line, "GROSS ", " TARE " and "  NET " lines (label, blank, value,
           blank, unit, CR LF) and a blank line.
             gross= tare= net= texts, or the number form as for msi3360;
             unit=KG|LB (default KG)
  ohaus    answers every request ("P", any CRs, LF) with one line: a sign
           column, the weight in 7 columns, blank, unit, " ?" when moving,
           CR LF.
             weight=NUMBER with dec=0..6 (default 2), or text=TEXT (the weight
             columns as they are); unit=TEXT (default kg); motion;
             delay=MS before each reply; silent counts requests, never answers
  raw      text=BYTES, sent as they are every period.
  silent   sends nothing.

Stream keys (every model but ohaus and silent): period=MS (default 50,
msi6260 500), gap=MS (bytes one at a time with this pause), garbage=BYTES
(sent before every frame), cut=N (every Nth frame only its first half).

Weight modes (5817, krt, msi3360, msi6260, ohaus). A weight N is the model's
number: whole display digits for 5817 and krt, a decimal number for ohaus
and the gross of the msi models.
  mode=constant   (default) weight= all the time.
  mode=ramp       from=N (default 0), to=N (1000), step=N (10, above 0): the
                  weight moves by step each frame (each reply for ohaus, each
                  ticket for msi6260) from `from` to `to` and back, endlessly;
                  both ends show once per turn, e.g. from=0,to=30,step=10:
                  0 10 20 30 20 10 0 10 ... No motion.
  mode=oscillate  amp=N (default 20): the weight swings around weight= by up
                  to +-amp, one full swing every 16 frames (replies, tickets),
                  with motion: the 5817/krt motion bit, the ohaus " ?" (the
                  msi protocols have no motion mark: the weight only swings).
  mode=over       out of range, showing weight=:
                    5817, krt  status B over bit (the library's poll gives 3)
                    msi3360    gross and net "--------" (no out-of-range form:
                               the library reads 0)
                    msi6260    GROSS and NET values "--------"
                    ohaus      weight columns "      OL" (no out-of-range
                               form: the library reads a blank weight)
  mode=script     file=PATH: one step per line, "MS WEIGHT [motion] [over]",
                  each held MS milliseconds (1..86400000); the script loops.
                  '#' starts a comment; blank lines are skipped; motion and
                  over act as in the modes above. The script follows the clock
                  from the start of tarvel-sim, not the frames: a step shorter
                  than the period may not be seen. A file that is missing,
                  empty, larger than 1 MiB or has a bad line is a SPEC error.
  Flags given as keys (motion, over, net, ...) stay on in every mode.
  Ramps and swings count the frames of each connection from its first, so
  every client, and every reconnect, starts at the beginning; a --pty counts
  from the start of tarvel-sim, whether or not the line is open.

Corruption (5817, krt, msi3360, msi6260, ohaus):
  corrupt=N       every Nth frame (reply, ticket) of each connection, counted
                  from its first, is damaged:
                    5817     the first weight digit changes: the check fails
                    krt      the first weight digit becomes CR: too short
                    msi3360  the first gross character becomes ETX: too short
                    msi6260  every label loses its upper case ("GrOSS "):
                             no line of that ticket is taken
                    ohaus    the first character becomes '*': the line holds
                             no weight (the library reads a blank weight)
                  cut= applies on top, by its own count.

Exit status: 0 after SIGINT, SIGTERM or --seconds; 1 when a port cannot be
bound or a SPEC is wrong (a bad script file included), with a message on
stderr; 2 for a bad option.

Plant scale: one process serves many converters. 256 indicators, 64
converters with a 5817, a KRT, an MSI 3360 and an MSI 6260 each, 10 frames
a second per client:
  tarvel-sim --ip 127.0.1.1-64 --a 5817:weight=12345,dec=4,period=100 \
             --b krt:mode=ramp,to=5000,step=5,period=100 \
             --c msi3360:weight=12.5,tare=2,period=100 \
             --d msi6260:weight=10,period=100 --io

Examples:
  # channel A: a 5817 ramping 0.000..5.000 and back; B: a swinging Ohaus
  tarvel-sim --a 5817:mode=ramp,from=0,to=5000,step=50,dec=5 \
             --b ohaus:mode=oscillate,weight=2.5,amp=0.2
  # a KRT on a pseudo-terminal following load.txt, every 10th frame damaged
  printf '1000 0\n2000 1500 motion\n3000 1500\n1000 999999 over\n' >load.txt
  tarvel-sim --pty krt:mode=script,file=load.txt,corrupt=10,dec=3
  # an MSI 3360 over range on C, an MSI 6260 with numbers on D, IO input 5
  tarvel-sim --c msi3360:mode=over,tare=1.5 \
             --d msi6260:weight=12.5,tare=2,dec=1 --io --in 5 --seconds 60
)";

[[noreturn]] void Usage(const std::string& why) {
    std::fprintf(stderr, "tarvel-sim: %s (see --help)\n", why.c_str());
    std::exit(2);
}

struct Args {
    std::vector<std::string> ips;
    int base = 8880;
    bool converter = false;
    std::string channel[4];
    bool io = false;
    int input = 0;
    std::string ioMode = "normal";
    bool hasReply = false;
    std::string reply;
    std::vector<std::string> ptys;
    double seconds = -1;
    bool verbose = false;
};

// The help is the fixed text above.
class FixedHelp : public CLI::FormatterBase {
  public:
    std::string make_help(const CLI::App*, std::string, CLI::AppFormatMode) const override {
        return kHelp;
    }
};

// Decimal integers only (CLI11 alone would read 010 as octal).
CLI::Validator Decimal() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            char* end = nullptr;
            errno = 0;
            const long n = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || errno != 0 || n < -2147483647L || n > 2147483647L)
                return "needs an integer";
            text = std::to_string(n);
            return {};
        },
        "");
}

Args Parse(int argc, char** argv) {
    Args a;
    CLI::App app{"", "tarvel-sim"};
    app.formatter(std::make_shared<FixedHelp>());
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    auto* ip = app.add_option("--ip", a.ips)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--base-port", a.base)->transform(Decimal());
    const char* const letters[4] = {"--a", "--b", "--c", "--d"};
    std::vector<CLI::Option*> channels;
    for (int i = 0; i < 4; ++i)
        channels.push_back(app.add_option(letters[i], a.channel[i]));
    auto* io = app.add_flag("--io", a.io);
    app.add_option("--in", a.input)->transform(Decimal());
    app.add_option("--io-mode", a.ioMode)
        ->check(CLI::IsMember({"normal", "silent", "flood", "hangup", "refuse"}));
    auto* reply = app.add_option("--io-reply", a.reply);
    app.add_option("--pty", a.ptys)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--seconds", a.seconds)->check([](const std::string& text) {
        char* end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        return text.empty() || *end != '\0' || !(v >= 0) ? "needs a number" : "";
    });
    app.add_flag("-v,--verbose", a.verbose);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(kHelp, stdout);
        std::exit(0);
    } catch (const CLI::ParseError& e) {
        Usage(e.what());
    }
    bool explicitConverter = ip->count() > 0 || io->count() > 0;
    for (auto* c : channels)
        explicitConverter = explicitConverter || c->count() > 0;
    a.converter = explicitConverter || a.ptys.empty();
    if (a.ips.empty()) a.ips.push_back("127.0.0.1");
    a.hasReply = reply->count() > 0;
    return a;
}

// "--ip" values: ADDR, or ADDR-N for the addresses from ADDR up to last number N.
std::vector<std::string> Addresses(const std::vector<std::string>& ips) {
    std::vector<std::string> out;
    for (const auto& text : ips) {
        const size_t dash = text.find('-');
        if (dash == std::string::npos) {
            out.push_back(text);
            continue;
        }
        const std::string first = text.substr(0, dash);
        in_addr addr{};
        char* end = nullptr;
        const long last = std::strtol(text.c_str() + dash + 1, &end, 10);
        const size_t dot = first.rfind('.');
        if (::inet_pton(AF_INET, first.c_str(), &addr) != 1 || dot == std::string::npos ||
            *end != '\0' || end == text.c_str() + dash + 1)
            Usage("--ip needs ADDR or ADDR-N such as 127.0.1.1-64, not '" + text + "'");
        const long from = std::strtol(first.c_str() + dot + 1, nullptr, 10);
        if (last < from || last > 255)
            Usage("--ip " + text + ": the last number must be from " + std::to_string(from) +
                  " to 255");
        for (long n = from; n <= last; ++n)
            out.push_back(first.substr(0, dot + 1) + std::to_string(n));
    }
    return out;
}

tsim::IoMode IoModeOf(const std::string& m) {
    if (m == "normal") return tsim::IoMode::Normal;
    if (m == "silent") return tsim::IoMode::Silent;
    if (m == "flood") return tsim::IoMode::Flood;
    if (m == "hangup") return tsim::IoMode::Hangup;
    if (m == "refuse") return tsim::IoMode::Refuse;
    Usage("unknown --io-mode " + m);
}

// Every SPEC is checked before any port is taken, so a wrong one costs nothing.
void CheckSpecs(const Args& a) {
    tsim::Indicator trial;
    for (const auto& spec : a.channel)
        if (!spec.empty()) tsim::Configure(trial, spec);
    for (const auto& spec : a.ptys)
        tsim::Configure(trial, spec);
}

int Run(const Args& a) {
    CheckSpecs(a);
    const std::vector<std::string> addresses =
        a.converter ? Addresses(a.ips) : std::vector<std::string>{};
    std::vector<std::unique_ptr<tsim::Converter>> convs;
    for (const auto& ip : addresses) {
        auto conv = std::make_unique<tsim::Converter>(ip, a.io, a.base);
        for (int i = 0; i < 4; ++i)
            if (!a.channel[i].empty()) tsim::Configure(conv->Channel(i + 1), a.channel[i]);
        auto& io = conv->Io();
        io.SetInput(a.input);
        if (a.io) {
            if (a.hasReply) io.SetCustomReply(tsim::Unescape(a.reply));
            if (a.ioMode != "normal") io.SetMode(IoModeOf(a.ioMode));
        }
        convs.push_back(std::move(conv));
    }
    if (!convs.empty()) {
        const std::string where = convs.size() == 1
                                      ? addresses[0]
                                      : addresses.front() + " ... " + addresses.back() + " (" +
                                            std::to_string(convs.size()) + " addresses)";
        std::fprintf(stderr, "tarvel-sim: converter on %s, channels on ports %d-%d%s\n",
                     where.c_str(), a.base + 1, a.base + 4,
                     a.io ? (", IO port " + std::to_string(a.base)).c_str() : "");
    }
    std::vector<std::unique_ptr<tsim::PtyIndicator>> ptys;
    for (const auto& spec : a.ptys) {
        auto p = std::make_unique<tsim::PtyIndicator>();
        tsim::Configure(p->Ind(), spec);
        std::printf("%s\n", p->Path().c_str());
        std::fflush(stdout);
        std::fprintf(stderr, "tarvel-sim: %s on %s\n", spec.c_str(), p->Path().c_str());
        ptys.push_back(std::move(p));
    }

    // What --verbose has reported so far, per converter.
    struct Seen {
        std::size_t commands = 0;
        int requests[4] = {0, 0, 0, 0};
    };
    std::vector<Seen> seen(convs.size());
    std::vector<std::string> lines(ptys.size());
    const auto start = std::chrono::steady_clock::now();
    while (!g_stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (a.seconds >= 0 &&
            std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(a.seconds))
            break;
        if (!a.verbose) continue;
        for (std::size_t k = 0; k < convs.size(); ++k) {
            auto& conv = *convs[k];
            // With several converters each line starts with the address.
            const std::string who = convs.size() > 1 ? conv.Ip() + " " : "";
            auto cmds = conv.Io().Commands();
            for (; seen[k].commands < cmds.size(); ++seen[k].commands)
                std::fprintf(stderr, "%sio: %s (outputs %s)\n", who.c_str(),
                             cmds[seen[k].commands].c_str(), conv.Io().OutputText().c_str());
            for (int i = 0; i < 4; ++i) {
                int r = conv.Channel(i + 1).Requests();
                if (r != seen[k].requests[i])
                    std::fprintf(stderr, "%schannel %c: %d requests\n", who.c_str(), 'A' + i, r);
                seen[k].requests[i] = r;
            }
        }
        for (std::size_t i = 0; i < ptys.size(); ++i) {
            std::string d = ptys[i]->Line().Describe();
            if (d != lines[i]) std::fprintf(stderr, "%s: %s\n", ptys[i]->Path().c_str(), d.c_str());
            lines[i] = d;
        }
    }
    std::fprintf(stderr, "tarvel-sim: stopping\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Args a = Parse(argc, argv);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return Run(a);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvel-sim: %s\n", e.what());
        return 1;
    }
}
