// The code the tools share besides the record: the stable rule, the retry pause, local times
// and the English messages.
#include "backoff.h"
#include "clock.h"
#include "messages.h"
#include "stable.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

using tarvel::record::Json;
using tarvel::stable::Facts;
using tarvel::stable::FromPoll;
using tarvel::stable::FromRecord;
using StableRun = tarvel::stable::Run;
using tarvel::stable::Settles;

TEST(Stable, WhichReadingsSettle) {
    struct Case {
        const char* what;
        Facts facts;
        bool settles;
    };
    const Case cases[] = {
        {"still, in range", {true, false, false, 12.5}, true},
        {"motion not told (MSI)", {true, std::nullopt, std::nullopt, 12.5}, true},
        {"moving", {true, true, false, 12.5}, false},
        {"out of range", {true, false, true, 12.5}, false},
        {"no net weight (raw 5817)", {true, std::nullopt, std::nullopt, std::nullopt}, false},
        {"no reading", {false, false, false, 12.5}, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Settles(c.facts), c.settles) << c.what;
}

TEST(Stable, FactsOfRecordsAndPolls) {
    struct Case {
        const char* record;
        bool settles;
    };
    const Case records[] = {
        {R"({"status":"ok","net":123.45,"stable":true,"overload":false})", true},
        {R"({"status":"ok","net":10.5,"stable":null,"overload":null})", true},
        {R"({"status":"ok","net":123.45,"stable":false,"overload":false})", false},
        {R"({"status":"ok","net":999999.0,"stable":true,"overload":true})", false},
        {R"({"status":"ok","net":null,"stable":null,"overload":null})", false},
        {R"({"status":"stale","net":123.45,"stable":true,"overload":false})", false},
        {R"({"net":123.45,"stable":true})", false},
        {R"([1,2])", false},
    };
    for (const Case& c : records)
        EXPECT_EQ(Settles(FromRecord(Json::parse(c.record))), c.settles) << c.record;

    struct Poll {
        const char* model;
        int32_t result;
        const char* motion;
        const char* status;
        const char* net;
        bool settles;
    };
    const Poll polls[] = {
        {"5817", 0, "N", "1SNNNkgN", "    123.45", true},
        {"5817", 0, "S", "1NNNSkgN", "    150.0", false},
        {"5817", 3, "N", "1NNSNkgN", "    999999", false},
        {"krt", 0, "N", "1NSNNkgN", "    -250,0", true},
        {"krt", 1, "N", "1NNNNkgN", "         0", false},
        {"ohaus", 0, "N", "EENENEEE", "  -0001.50", true},
        {"ohaus", 0, "S", "EENESEEE", "  -0001.50", false},
        {"msi3360", 0, "E", "EEEEEkgE", "   10.50", true},
        {"msi6260", 0, "E", "EEEEEKGE", "EEEEEEE", false},
        {"5817c", 0, "E", "EEEEEEEE", "0", false},
    };
    for (const Poll& p : polls)
        EXPECT_EQ(Settles(FromPoll(p.model, p.result, p.motion, p.status, p.net)), p.settles)
            << p.model << " " << p.status;
    EXPECT_EQ(FromPoll("krt", 0, "N", "1NSNNkgN", "    -250,0").net, -250.0);
}

// The load cycle of a weighbridge: empty, a truck driving on (the same net in several moving
// frames), weighed, driving off. Only the still stretch settles.
TEST(Stable, RunOverALoadCycle) {
    struct Step {
        double net;
        bool moving;
        bool done; // after this reading, with count 3
    };
    const std::vector<Step> steps = {
        {0, false, false},     {0, false, false},    {2150, true, false},  {2150, true, false},
        {2150, true, false},   {2150, true, false},  {9800, true, false},  {18460, false, false},
        {18460, false, false}, {18460, false, true}, {18460, false, true}, {7200, true, false},
        {950, true, false},    {950, false, false},  {950, false, false},  {951, false, false},
        {951, false, false},   {951, false, true},
    };
    StableRun run(3);
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        EXPECT_EQ(run.Take({true, s.moving, false, s.net}), s.done) << "reading " << i;
    }
    // Missed readings break the run; a failed poll does too.
    StableRun broken(2);
    EXPECT_FALSE(broken.Take({true, false, false, 5.0}));
    broken.Break();
    EXPECT_FALSE(broken.Take({true, false, false, 5.0}));
    EXPECT_FALSE(broken.Take({false, false, false, 5.0}));
    EXPECT_FALSE(broken.Take({true, false, false, 5.0}));
    EXPECT_TRUE(broken.Take({true, false, false, 5.0}));
    // A count of 0 is taken as 1: one settled reading is enough.
    StableRun one(0);
    EXPECT_EQ(one.Count(), 1u);
    EXPECT_TRUE(one.Take({true, std::nullopt, std::nullopt, 1.0}));
}

TEST(Backoff, HalfASecondDoublingToThirty) {
    tarvel::Backoff b;
    std::vector<uint32_t> got;
    for (int i = 0; i < 9; ++i)
        got.push_back(b.Next());
    EXPECT_EQ(got,
              (std::vector<uint32_t>{500, 1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000}));
    b.Reset();
    EXPECT_EQ(b.Next(), 500u);
}

TEST(Clock, LocalTimesCarryTheirOffset) {
    using tarvel::clock::FormatLocal;
    EXPECT_EQ(FormatLocal(0, 0), "1970-01-01T00:00:00.000+00:00");
    EXPECT_EQ(FormatLocal(1714557600123, 120), "2024-05-01T12:00:00.123+02:00");
    EXPECT_EQ(FormatLocal(1714557600123, -210), "2024-05-01T06:30:00.123-03:30");
    EXPECT_EQ(FormatLocal(1704067199999, 60), "2024-01-01T00:59:59.999+01:00");

    // The machine's own offset, from the time zone of the environment.
    const char* saved = std::getenv("TZ");
    const std::string before = saved != nullptr ? saved : "";
    struct Zone {
        const char* tz;
        int minutes;
    };
    for (const Zone z : {Zone{"UTC0", 0}, Zone{"XYZ-2", 120}, Zone{"ABC+3:30", -210}}) {
        setenv("TZ", z.tz, 1);
        tzset();
        EXPECT_EQ(tarvel::clock::LocalOffsetMinutes(1714557600123), z.minutes) << z.tz;
    }
    setenv("TZ", "XYZ-2", 1);
    tzset();
    EXPECT_EQ(tarvel::clock::LocalTimestamp(1714557600123), "2024-05-01T12:00:00.123+02:00");
    if (saved != nullptr)
        setenv("TZ", before.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(Messages, SayWhatToCheck) {
    using namespace tarvel::messages;
    const Channel tcp{"5817", "127.0.0.120", 'A', ""};
    const Channel serial{"ohaus", "", 'A', "COM1 (/dev/ttyUSB0)"};
    struct Case {
        std::string got, want;
    };
    const Case cases[] = {
        {ConnectFailed(tcp, Ended::AtOnce),
         "nothing listens on 127.0.0.120 port 8881: is the converter on, and is its channel A "
         "set to TCP server?"},
        {ConnectFailed({"krt", "10.0.0.5", 'C', ""}, Ended::AfterTimeOut),
         "10.0.0.5 port 8883 did not accept a connection within 10 s: is the converter on and "
         "reachable from this machine (address, cable, firewall)?"},
        {PollFailed(tcp, 1),
         "no frame from 127.0.0.120:A within 10 s: is the indicator on and cabled to the "
         "converter's channel A, and is that channel set to 4800 baud, 7 data bits, even "
         "parity, 1 stop bit?"},
        {PollFailed(serial, 1),
         "no frame from COM1 (/dev/ttyUSB0) within 5 s: is the indicator on and cabled to this "
         "port, and does it send at 9600 baud, 7 data bits, even parity, 2 stop bits?"},
        {PollFailed(tcp, 2, 2500),
         "no frame without motion from 127.0.0.120:A within 2.5 s: the weight kept moving, or "
         "the indicator sent nothing"},
        {PollFailed(serial, 4),
         "the serial port COM1 (/dev/ttyUSB0) did not open: is the device there and not in use "
         "by another program, and may this user open it (on Linux: the dialout group)?"},
        {OutOfRange(tcp), "the indicator on 127.0.0.120:A reports out of range: is the load "
                          "within the scale's capacity?"},
        {NotSettled(tcp, 3, 10),
         "the weight on 127.0.0.120:A did not settle within 10 s: 3 readings in a row without "
         "motion, within range and with the same net weight were needed"},
        {NotSettled({"5817c", "127.0.0.120", 'A', ""}, 3, 10),
         "the raw 5817 variant (5817c) carries no weight, so it never settles: use the model "
         "5817 for a stable read"},
        {DioFailed("set output 3 on", "127.0.0.120", false, Ended::AtOnce),
         "could not set output 3 on: nothing listens on 127.0.0.120 port 8880, or the converter "
         "broke the exchange off: is the converter on, and is its IO port enabled?"},
        {DioFailed("set the outputs to 5", "127.0.0.120", false, Ended::AfterTimeOut),
         "could not set the outputs to 5: 127.0.0.120 port 8880 did not accept a connection "
         "within 10 s: is the converter on and reachable from this machine (address, cable, "
         "firewall)?"},
        {DioFailed("read the inputs", "127.0.0.120", true, Ended::AtOnce),
         "could not read the inputs: nothing listens on 127.0.0.120 port 8880, or its reply "
         "held no input value: is the converter on, and is its IO port enabled?"},
        {DioFailed("read input 2", "127.0.0.120", true, Ended::AfterTimeOut),
         "could not read input 2: no valid reply from 127.0.0.120 port 8880 within 10 s: is the "
         "converter on and reachable from this machine (address, cable, firewall)?"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.got, c.want);
    EXPECT_EQ(EndedAfter(40), Ended::AtOnce);
    EXPECT_EQ(EndedAfter(10004), Ended::AfterTimeOut);
    EXPECT_EQ(Seconds(0.3), "0.3 s");
    for (const char* model : {"5817", "5817c", "krt", "ohaus", "msi3360", "msi6260"})
        EXPECT_FALSE(LineSettings(model).empty()) << model;
}

} // namespace
