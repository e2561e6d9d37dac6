// Weight modes, scripts and corruption as a client sees them on real loopback connections.
// Addresses 127.0.77.6 to 127.0.77.10 belong to these tests.
#include "tarvelsim.h"
#include "sim_client.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using simtest::Client;
using simtest::Clock;

// Cuts a connection's byte stream into frames of a fixed size (every model's frames here
// have one), from the connection's first byte on.
class Frames {
  public:
    Frames(Client& c, std::size_t size) : c_(c), size_(size) {}
    std::string Next() {
        if (buf_.size() < size_) buf_ += c_.ReadBytes(size_ - buf_.size(), 5s);
        if (buf_.size() < size_) return {};
        std::string f = buf_.substr(0, size_);
        buf_.erase(0, size_);
        return f;
    }

  private:
    Client& c_;
    std::size_t size_;
    std::string buf_;
};

// Decoded 5817/KRT frame: signed weight and the status B flags.
struct Shown {
    long weight = 0;
    bool over = false;
    bool motion = false;
    bool checkOk = false;
};

Shown Decode5817(const std::string& f) {
    Shown s;
    if (f.size() < 17) return s;
    s.weight = std::strtol(f.substr(4, 6).c_str(), nullptr, 10);
    if (f[2] & 0x02) s.weight = -s.weight;
    s.over = (f[2] & 0x04) != 0;
    s.motion = (f[2] & 0x08) != 0;
    s.checkOk = f.size() == 18 && f[17] == tsim::CheckChar5817(f.substr(1, 16));
    return s;
}

std::string Ask(Client& c) {
    c.Write("P\r\n");
    return c.ReadUntil("\n", 5s);
}

std::string WriteFile(const std::string& text) {
    std::string path = ::testing::TempDir() + "tarvelsim_script_XXXXXX";
    int fd = ::mkstemp(path.data());
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

TEST(Modes, RampClimbsTurnsAndStartsOverForEveryClient) {
    tsim::Converter conv("127.0.77.6", false);
    tsim::Configure(conv.Channel('A'), "5817:mode=ramp,from=0,to=30,step=10,dec=3,period=10");
    // Downwards through zero with a step that does not divide the span: the end still shows.
    tsim::Configure(conv.Channel('B'), "krt:mode=ramp,from=5,to=-7,step=5,period=10");
    tsim::Configure(conv.Channel('C'), "ohaus:mode=ramp,from=1,to=2,step=0.5,dec=1");

    for (int client = 0; client < 2; ++client) {
        Client c("127.0.77.6", 8881);
        ASSERT_TRUE(c.Ok()) << c.Error();
        Frames frames(c, 18);
        std::vector<long> seen;
        for (int i = 0; i < 8; ++i) {
            Shown s = Decode5817(frames.Next());
            EXPECT_TRUE(s.checkOk);
            EXPECT_FALSE(s.motion);
            EXPECT_FALSE(s.over);
            seen.push_back(s.weight);
        }
        EXPECT_EQ(seen, (std::vector<long>{0, 10, 20, 30, 20, 10, 0, 10})) << "client " << client;
    }

    Client k("127.0.77.6", 8882);
    ASSERT_TRUE(k.Ok());
    Frames krt(k, 17);
    std::vector<long> seen;
    for (int i = 0; i < 7; ++i)
        seen.push_back(Decode5817(krt.Next()).weight);
    EXPECT_EQ(seen, (std::vector<long>{5, 0, -5, -7, -5, 0, 5}));

    // The Ohaus weight moves once per reply, not per unit of time.
    Client o("127.0.77.6", 8883);
    ASSERT_TRUE(o.Ok());
    std::vector<std::string> lines;
    for (int i = 0; i < 6; ++i)
        lines.push_back(Ask(o));
    EXPECT_EQ(lines,
              (std::vector<std::string>{"     1.0 kg\r\n", "     1.5 kg\r\n", "     2.0 kg\r\n",
                                        "     1.5 kg\r\n", "     1.0 kg\r\n", "     1.5 kg\r\n"}));
}

TEST(Modes, OscillateSwingsWithMotionAndOverShowsEachModelsForm) {
    tsim::Converter conv("127.0.77.7", false);
    tsim::Configure(conv.Channel('A'), "5817:mode=oscillate,weight=100,amp=20,period=10");
    tsim::Configure(conv.Channel('B'), "ohaus:mode=oscillate,weight=3,amp=0.5");
    tsim::Configure(conv.Channel('C'), "krt:mode=over,weight=1234,period=10");
    tsim::Configure(conv.Channel('D'), "ohaus:mode=over");

    Client a("127.0.77.7", 8881);
    ASSERT_TRUE(a.Ok());
    Frames frames(a, 18);
    long lo = 1000000, hi = -1000000;
    for (int i = 0; i < 32; ++i) {
        Shown s = Decode5817(frames.Next());
        EXPECT_TRUE(s.checkOk);
        EXPECT_TRUE(s.motion) << "frame " << i + 1;
        EXPECT_FALSE(s.over);
        lo = std::min(lo, s.weight);
        hi = std::max(hi, s.weight);
    }
    EXPECT_EQ(lo, 80);
    EXPECT_EQ(hi, 120);

    Client b("127.0.77.7", 8882);
    ASSERT_TRUE(b.Ok());
    std::vector<std::string> lines;
    for (int i = 0; i < 8; ++i) {
        std::string line = Ask(b);
        EXPECT_TRUE(line.ends_with(" kg ?\r\n")) << line;
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    EXPECT_GT(std::unique(lines.begin(), lines.end()) - lines.begin(), 2);

    Client c("127.0.77.7", 8883);
    ASSERT_TRUE(c.Ok());
    Shown s = Decode5817(Frames(c, 17).Next());
    EXPECT_TRUE(s.over);
    EXPECT_FALSE(s.motion);
    EXPECT_EQ(s.weight, 1234);

    Client d("127.0.77.7", 8884);
    ASSERT_TRUE(d.Ok());
    EXPECT_EQ(Ask(d), "      OL kg\r\n");

    // The MSI models have no flag for it: gross and net show the no-value form.
    tsim::Indicator msi;
    tsim::Configure(msi, "msi3360:mode=over,tare=1.5");
    EXPECT_EQ(msi.Frame(), tsim::FrameMsi3360("--------", "--------", "    1.50"));
    tsim::Configure(msi, "msi6260:mode=over,dec=1");
    EXPECT_EQ(msi.Frame(), tsim::Msi6260Ticket("--------", "     0.0", "--------"));
    // ... and in the other modes the weight is the gross, net = gross - tare.
    tsim::Configure(msi, "msi3360:weight=12.5,tare=2.25");
    EXPECT_EQ(msi.Frame(), tsim::FrameMsi3360("   12.50", "   10.25", "    2.25"));
    tsim::Configure(msi, "msi6260:mode=ramp,from=-1,to=4,step=1,tare=1,dec=0,unit=LB");
    EXPECT_EQ(msi.Frame(), tsim::Msi6260Ticket("      -1", "       1", "      -2", "LB"));
}

TEST(Modes, ScriptIsFollowedAndLoops) {
    const std::string path = WriteFile("# load cycle\n"
                                       "500 100\n"
                                       "\n"
                                       "500 200 motion   # settling\n"
                                       "  500 300 over\n");
    tsim::Converter conv("127.0.77.8", false);
    tsim::Configure(conv.Channel('A'), "5817:mode=script,file=" + path + ",period=20");
    std::remove(path.c_str()); // read once, when configured

    Client c("127.0.77.8", 8881);
    ASSERT_TRUE(c.Ok());
    Frames frames(c, 18);
    std::vector<long> runs; // weights in the order shown, repeats folded
    auto end = Clock::now() + 15s;
    while (runs.size() < 6 && Clock::now() < end) {
        std::string f = frames.Next();
        ASSERT_FALSE(f.empty());
        Shown s = Decode5817(f);
        ASSERT_TRUE(s.checkOk);
        ASSERT_TRUE(s.weight == 100 || s.weight == 200 || s.weight == 300) << s.weight;
        EXPECT_EQ(s.motion, s.weight == 200);
        EXPECT_EQ(s.over, s.weight == 300);
        if (runs.empty() || runs.back() != s.weight) runs.push_back(s.weight);
    }
    ASSERT_EQ(runs.size(), 6u);
    // Each step follows the one before it, and after 300 the script starts over at 100.
    for (std::size_t i = 1; i < runs.size(); ++i)
        EXPECT_EQ(runs[i], runs[i - 1] == 300 ? 100 : runs[i - 1] + 100) << "step " << i;
}

TEST(Modes, CorruptDamagesExactlyEveryNthFrame) {
    tsim::Converter conv("127.0.77.9", false);
    tsim::Configure(conv.Channel('A'), "5817:weight=4711,tare=9,corrupt=3,period=10");
    tsim::Configure(conv.Channel('B'), "krt:mode=ramp,to=90,corrupt=2,period=10");
    tsim::Configure(conv.Channel('C'), "msi3360:gross=1.00,net=1.00,corrupt=4,period=10");
    tsim::Configure(conv.Channel('D'), "ohaus:weight=2,corrupt=2");

    Client a("127.0.77.9", 8881);
    ASSERT_TRUE(a.Ok());
    Frames fa(a, 18);
    tsim::Ind5817 p;
    p.weight = 4711;
    p.tare = 9;
    const std::string good = tsim::Frame5817(p);
    for (int n = 1; n <= 12; ++n) {
        std::string f = fa.Next();
        Shown s = Decode5817(f);
        if (n % 3 == 0) {
            EXPECT_FALSE(s.checkOk) << "frame " << n;
            ASSERT_EQ(f.size(), good.size());
            int differ = 0;
            for (std::size_t i = 0; i < f.size(); ++i)
                differ += f[i] != good[i];
            EXPECT_EQ(differ, 1) << "frame " << n; // one byte, inside the weight
            EXPECT_NE(f[4], good[4]);
        } else {
            EXPECT_EQ(f, good) << "frame " << n;
        }
    }

    // Without a check character the KRT frame is cut short by a CR among the digits; the
    // ramp still counts the damaged frames.
    Client b("127.0.77.9", 8882);
    ASSERT_TRUE(b.Ok());
    Frames fb(b, 17);
    for (int n = 1; n <= 8; ++n) {
        std::string f = fb.Next();
        ASSERT_EQ(f.size(), 17u);
        EXPECT_EQ(f[4] == tsim::kCr, n % 2 == 0) << "frame " << n;
        if (n % 2 == 1) {
            EXPECT_EQ(Decode5817(f).weight, (n - 1) * 10);
        }
    }

    Client c("127.0.77.9", 8883);
    ASSERT_TRUE(c.Ok());
    Frames fc(c, 28);
    for (int n = 1; n <= 8; ++n) {
        std::string f = fc.Next();
        ASSERT_EQ(f.size(), 28u);
        EXPECT_EQ(f[1] == tsim::kEtx, n % 4 == 0) << "frame " << n;
        EXPECT_EQ(f.substr(2), tsim::FrameMsi3360("1.00", "1.00", "0").substr(2));
    }

    Client d("127.0.77.9", 8884);
    ASSERT_TRUE(d.Ok());
    for (int n = 1; n <= 4; ++n)
        EXPECT_EQ(Ask(d), n % 2 == 0 ? "*   2.00 kg\r\n" : "    2.00 kg\r\n") << "reply " << n;

    // The MSI 6260 ticket loses every label's upper case, so none of its lines is taken.
    conv.Channel('D').Silent();
    tsim::Configure(conv.Channel('D'), "msi6260:weight=5,corrupt=2,period=10");
    Client t("127.0.77.9", 8884);
    ASSERT_TRUE(t.Ok());
    const std::string ticket = tsim::Msi6260Ticket("    5.00", "    0.00", "    5.00");
    Frames ft(t, ticket.size());
    for (int n = 1; n <= 4; ++n) {
        std::string f = ft.Next();
        if (n % 2 == 1) {
            EXPECT_EQ(f, ticket);
        } else {
            for (auto label : {tsim::kMsiGross, tsim::kMsiTare, tsim::kMsiNet})
                EXPECT_EQ(f.find(label), std::string::npos) << label;
            EXPECT_NE(f.find("GrOSS "), std::string::npos);
        }
    }
}

// Runs the program, returns its exit status and what it wrote on stderr.
int RunProgram(const std::string& args, std::string* err) {
    std::string cmd = std::string(TARVELSIM_PROGRAM) + " " + args + " 2>&1 >/dev/null";
    FILE* f = ::popen(cmd.c_str(), "r");
    if (!f) return -1;
    char buf[512];
    while (std::fgets(buf, sizeof buf, f))
        *err += buf;
    int status = ::pclose(f);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Modes, BadScriptsAndMisplacedKeysAreRefused) {
    tsim::Indicator ind;
    auto refusal = [&](const std::string& spec) -> std::string {
        try {
            tsim::Configure(ind, spec);
        } catch (const std::invalid_argument& e) {
            return e.what();
        }
        ADD_FAILURE() << "accepted: " << spec;
        return {};
    };
    struct Case {
        std::string text, says;
    };
    const Case scripts[] = {
        {"# nothing but a comment\n\n", "no steps"},
        {"100 5\nabc 5\n", "line 2"},
        {"100\n", "line 1"},
        {"0 5\n", "MS must be"},
        {"100 1.5\n", "WEIGHT must be a whole number"},
        {"100 5 moving\n", "unexpected \"moving\""},
        {"100 5 motion motion\n", "unexpected \"motion\""},
    };
    for (const auto& c : scripts) {
        const std::string path = WriteFile(c.text);
        std::string why = refusal("5817:mode=script,file=" + path);
        EXPECT_NE(why.find(c.says), std::string::npos) << why;
        EXPECT_NE(why.find(path), std::string::npos) << why;
        std::remove(path.c_str());
    }
    EXPECT_NE(refusal("krt:mode=script,file=/nonexistent/load.txt").find("cannot open"),
              std::string::npos);
    EXPECT_NE(refusal("ohaus:mode=script").find("file=PATH"), std::string::npos);

    EXPECT_NE(refusal("5817:from=3").find("mode=ramp"), std::string::npos);
    EXPECT_NE(refusal("5817:mode=ramp,weight=3").find("weight"), std::string::npos);
    EXPECT_NE(refusal("5817:mode=ramp,step=0").find("step"), std::string::npos);
    EXPECT_NE(refusal("ohaus:amp=1").find("mode=oscillate"), std::string::npos);
    EXPECT_NE(refusal("msi3360:mode=wobble").find("unknown mode"), std::string::npos);
    EXPECT_NE(refusal("msi3360:mode=ramp,gross=1").find("gross"), std::string::npos);
    EXPECT_NE(refusal("5817:mode=oscillate,weight=999990,amp=20").find("six digits"),
              std::string::npos);
    EXPECT_NE(refusal("krt:corrupt=-1").find("corrupt"), std::string::npos);
    EXPECT_NE(refusal("raw:corrupt=2").find("unknown key"), std::string::npos);

    // The program reports a bad SPEC with exit status 1 before it takes any port.
    const std::string path = WriteFile("100 5 sideways\n");
    std::string err;
    EXPECT_EQ(
        RunProgram("--ip 127.0.77.10 --a 5817:mode=script,file=" + path + " --seconds 5", &err), 1);
    EXPECT_NE(err.find("line 1"), std::string::npos) << err;
    std::remove(path.c_str());
    err.clear();
    EXPECT_EQ(RunProgram("--help", &err), 0);
    err.clear();
    EXPECT_EQ(RunProgram("--no-such-option", &err), 2);
}

// A change of behaviour reaches a connected client at once, long before the sessions' idle
// wait (5 s) would notice it.
TEST(Sessions, AChangeWakesTheClientsAtOnce) {
    tsim::Converter conv("127.0.77.200", false);
    conv.Channel('A').Silent();
    simtest::Client c("127.0.77.200", conv.Port('A'));
    ASSERT_TRUE(c.Ok());
    ASSERT_TRUE(conv.Channel('A').WaitClients(1, 5s));
    const auto start = std::chrono::steady_clock::now();
    tsim::StreamOptions slow;
    slow.period = 10000ms;
    conv.Channel('A').Stream(tsim::Frame5817Raw("X"), slow);
    EXPECT_NE(c.ReadUntil("X", 10s).find('X'), std::string::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
}

// One program serves a range of converter addresses, every channel streaming to its client.
TEST(Program, ServesAnAddressRange) {
    std::string err;
    int status = -1;
    std::thread program([&] {
        status = RunProgram("--ip 127.0.77.201-204 --a 5817:weight=11,period=100 "
                            "--d msi3360:weight=2.5,period=100 --io --seconds 5",
                            &err);
    });
    for (const char* ip : {"127.0.77.201", "127.0.77.204"}) {
        for (const auto& [port, needle] : {std::pair{8881, "000011"}, {8884, "2.50"}}) {
            std::unique_ptr<simtest::Client> c;
            for (int tries = 0; tries < 100 && !(c && c->Ok()); ++tries) {
                if (c) std::this_thread::sleep_for(50ms); // not listening yet
                c = std::make_unique<simtest::Client>(ip, port);
            }
            ASSERT_TRUE(c->Ok()) << ip << ":" << port;
            const std::string got = c->ReadUntil(needle, 5s);
            EXPECT_NE(got.find(needle), std::string::npos) << ip << ":" << port << " sent " << got;
        }
    }
    program.join();
    EXPECT_EQ(status, 0) << err;
    for (const char* bad : {"127.0.77.204-201", "127.0.77.1-256", "127.0.77-3", "127.0.77.1-x"}) {
        err.clear();
        EXPECT_EQ(RunProgram(std::string("--ip ") + bad + " --seconds 0", &err), 2) << bad;
    }
}

} // namespace
