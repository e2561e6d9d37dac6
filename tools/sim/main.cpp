// tarvel-sim: runs a simulated network converter and/or pseudo-terminal indicators.
#include "tarvelsim.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

Simulates weighing indicators for the library: a network converter whose serial
channels A..D listen on TCP ports BASE+1..BASE+4 (and an IO port on BASE), and/or
indicators on pseudo-terminals.

options:
  --ip ADDR        converter address (default 127.0.0.1)
  --base-port N    IO port; the channels use N+1..N+4 (default 8880)
  --a SPEC         indicator behind serial channel A (likewise --b, --c, --d)
  --io             serve the IO port too
  --in N           input port value answered to "IN" (default 0)
  --io-mode MODE   normal, silent, flood, hangup or refuse (default normal)
  --io-reply TEXT  answer every IO command with TEXT (escapes as below)
  --pty SPEC       run an indicator on a new pseudo-terminal (repeatable); its
                   device path is printed on stdout, one line per pty
  --seconds N      stop after N seconds (default: run until SIGINT/SIGTERM)
  --verbose        report IO commands, Ohaus requests and pty line settings
  --help           this text

A converter runs when --a..--d, --io or --ip is given, or when there is no --pty.

SPEC is MODEL[:key=value,...]; a flag key alone means key=1. Values may use the
escapes \r \n \t \\ \, and \xHH.
  5817 / krt   weight=DIGITS tare=DIGITS dec=0..7 inc=1|2|5 unit=kg|lb
               net neg over motion print  (5817 only: badcheck)
  msi3360      gross=TEXT net=TEXT tare=TEXT unit=TEXT  (each right-aligned, 8 chars)
  msi6260      gross=TEXT tare=TEXT net=TEXT unit=KG|LB  (a ticket; period 500 ms)
  ohaus        weight=NUMBER dec=N | text=TEXT; unit=kg motion delay=MS silent
               (answers every "P" CR LF request with one line)
  raw          text=BYTES  (sent as is every period)
  silent       sends nothing
  stream keys  period=MS (default 50) gap=MS (byte by byte) garbage=BYTES cut=N

example:
  tarvel-sim --ip 127.0.0.1 --a 5817:weight=1234,tare=100,dec=3 --b ohaus:weight=-1.5 \
             --io --in 5 --pty krt:weight=500,motion
)";

[[noreturn]] void Usage(const std::string& why) {
    std::fprintf(stderr, "tarvel-sim: %s (see --help)\n", why.c_str());
    std::exit(2);
}

struct Args {
    std::string ip = "127.0.0.1";
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

long ToNumber(const std::string& opt, const char* v) {
    char* end = nullptr;
    long n = std::strtol(v, &end, 10);
    if (*v == '\0' || *end != '\0') Usage(opt + " needs an integer");
    return n;
}

Args Parse(int argc, char** argv) {
    Args a;
    bool explicitConverter = false;
    for (int i = 1; i < argc; ++i) {
        std::string opt = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) Usage(opt + " needs a value");
            return argv[++i];
        };
        if (opt == "--help" || opt == "-h") {
            std::fputs(kHelp, stdout);
            std::exit(0);
        } else if (opt == "--ip") {
            a.ip = value();
            explicitConverter = true;
        } else if (opt == "--base-port") {
            a.base = static_cast<int>(ToNumber(opt, value()));
        } else if (opt == "--a" || opt == "--b" || opt == "--c" || opt == "--d") {
            a.channel[opt[2] - 'a'] = value();
            explicitConverter = true;
        } else if (opt == "--io") {
            a.io = true;
            explicitConverter = true;
        } else if (opt == "--in") {
            a.input = static_cast<int>(ToNumber(opt, value()));
        } else if (opt == "--io-mode") {
            a.ioMode = value();
        } else if (opt == "--io-reply") {
            a.reply = value();
            a.hasReply = true;
        } else if (opt == "--pty") {
            a.ptys.push_back(value());
        } else if (opt == "--seconds") {
            char* end = nullptr;
            const char* v = value();
            a.seconds = std::strtod(v, &end);
            if (*v == '\0' || *end != '\0' || a.seconds < 0) Usage("--seconds needs a number");
        } else if (opt == "--verbose" || opt == "-v") {
            a.verbose = true;
        } else {
            Usage("unknown option " + opt);
        }
    }
    a.converter = explicitConverter || a.ptys.empty();
    return a;
}

tsim::IoMode IoModeOf(const std::string& m) {
    if (m == "normal") return tsim::IoMode::Normal;
    if (m == "silent") return tsim::IoMode::Silent;
    if (m == "flood") return tsim::IoMode::Flood;
    if (m == "hangup") return tsim::IoMode::Hangup;
    if (m == "refuse") return tsim::IoMode::Refuse;
    Usage("unknown --io-mode " + m);
}

int Run(const Args& a) {
    std::unique_ptr<tsim::Converter> conv;
    if (a.converter) {
        conv = std::make_unique<tsim::Converter>(a.ip, a.io, a.base);
        for (int i = 0; i < 4; ++i)
            if (!a.channel[i].empty()) tsim::Configure(conv->Channel(i + 1), a.channel[i]);
        auto& io = conv->Io();
        io.SetInput(a.input);
        if (a.io) {
            if (a.hasReply) io.SetCustomReply(tsim::Unescape(a.reply));
            if (a.ioMode != "normal") io.SetMode(IoModeOf(a.ioMode));
        }
        std::fprintf(stderr, "tarvel-sim: converter on %s, channels on ports %d-%d%s\n",
                     a.ip.c_str(), a.base + 1, a.base + 4,
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

    std::size_t commandsSeen = 0;
    int requestsSeen[4] = {0, 0, 0, 0};
    std::vector<std::string> lines(ptys.size());
    const auto start = std::chrono::steady_clock::now();
    while (!g_stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (a.seconds >= 0 &&
            std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(a.seconds))
            break;
        if (!a.verbose) continue;
        if (conv) {
            auto cmds = conv->Io().Commands();
            for (; commandsSeen < cmds.size(); ++commandsSeen)
                std::fprintf(stderr, "io: %s (outputs %s)\n", cmds[commandsSeen].c_str(),
                             conv->Io().OutputText().c_str());
            for (int i = 0; i < 4; ++i) {
                int r = conv->Channel(i + 1).Requests();
                if (r != requestsSeen[i])
                    std::fprintf(stderr, "channel %c: %d requests\n", 'A' + i, r);
                requestsSeen[i] = r;
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
