// The live core against real peers: the simulator's converter channels and pseudo-terminals.
// Addresses 127.0.5.x.
#include "helpers.h"

#include "LiveCore.h"

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <random>

using namespace t6test;

namespace {

std::string Ip5(int n) {
    return "127.0.5." + std::to_string(n);
}

// Collects the core's events, as a store would.
class Events {
  public:
    live::Core::Sink Sink() {
        return [this](const live::Event& e) {
            std::lock_guard<std::mutex> lock(m_);
            all_.push_back(e);
            cv_.notify_all();
        };
    }
    // Waits until an event of scale `i` after the `from`th satisfies `pred`; returns it.
    std::optional<live::Event> Wait(size_t i, const std::function<bool(const live::Event&)>& pred,
                                    int timeoutMs = 8000, size_t* from = nullptr) {
        std::unique_lock<std::mutex> lock(m_);
        size_t k = from != nullptr ? *from : 0;
        std::optional<live::Event> found;
        cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            for (; k < all_.size(); ++k)
                if (all_[k].scale == i && pred(all_[k])) {
                    found = all_[k];
                    ++k;
                    return true;
                }
            return false;
        });
        if (from != nullptr) *from = k;
        return found;
    }
    std::optional<live::Event> WaitStatus(size_t i, live::Status s, size_t& from,
                                          int timeoutMs = 8000) {
        return Wait(
            i, [s](const live::Event& e) { return e.status == s; }, timeoutMs, &from);
    }

    std::vector<live::Event> All() {
        std::lock_guard<std::mutex> lock(m_);
        return all_;
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<live::Event> all_;
};

live::ScaleConfig TcpScale(const std::string& name, const char* model, const std::string& ip,
                           char letter, uint32_t staleAfterMs = 2000) {
    live::ScaleConfig c;
    c.name = name;
    c.family = FamilyOfModel(model);
    c.address = ip;
    c.port = *ConverterPort(letter);
    c.staleAfterMs = staleAfterMs;
    return c;
}

bool Frame(const live::Event& e) {
    return e.frame;
}

// The value texts of the event's reading, as a channel of `model` shows them.
TValueTexts Texts(const live::Event& e, const char* model) {
    if (!e.reading) return {};
    return TextsOf(*e.reading, FamilyOfModel(model)->pollStartGrossTare, plat::DecimalSeparator());
}

} // namespace

// Every family through the core gives exactly the texts the exported poll gives for the same
// frame: one decoder serves both.
TEST_F(LibraryTest, LiveCoreDecodesEveryFamilyAsTheExportsDo) {
    struct Case {
        const char* model;
        int32_t(TARVEL_CALL* ctor)(int32_t, const char*);
        std::string frame; // streamed, or the reply of an asking indicator
    };
    const Case cases[] = {
        {"5817", W5817, tsim::Frame5817(Reading(12345, 500, 4))},
        {"5817c", W5817C, tsim::Frame5817(Reading(12345, 500, 4))},
        {"krt", WKRT, tsim::FrameKrt(Reading(2500, 0, 3))},
        {"msi3360", WMSI3360, tsim::FrameMsi3360("   12.50", "--------", "    0.50")},
        {"msi6260", WMSI6260, tsim::Msi6260Line(tsim::kMsiGross, "  12.50")},
        {"ohaus", WOhaus, tsim::OhausLine("-   1.50")},
    };
    std::vector<std::unique_ptr<tsim::Converter>> convs;
    std::vector<live::ScaleConfig> scales;
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::string ip = Ip5(10 + static_cast<int>(i));
        convs.push_back(std::make_unique<tsim::Converter>(ip, false));
        for (char letter : {'A', 'B'}) {
            if (std::string(cases[i].model) == "ohaus")
                convs.back()->Channel(letter).OnRequest(cases[i].frame);
            else
                convs.back()->Channel(letter).Stream(cases[i].frame, Every(40));
        }
        scales.push_back(TcpScale(cases[i].model, cases[i].model, ip, 'A'));
        scales.back().requestIntervalMs = 300;
    }
    Events events;
    live::Core core(scales, events.Sink());
    core.Start();
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].model);
        const auto e = events.Wait(i, Frame);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->status, live::Status::Ok);
        ASSERT_TRUE(e->reading);
        EXPECT_GT(e->timeMs, 0);
        // The same frame through the exported API, on channel B of the same converter.
        const int32_t ch = cases[i].ctor(Seta_Ip(Ip5(10 + static_cast<int>(i)).c_str()), "B");
        ASSERT_EQ(Select_Canal(ch), TARVEL_SELECT_OK);
        ASSERT_EQ(Update_Canal(ch), TARVEL_POLL_OK);
        const TValueTexts t = Texts(*e, cases[i].model);
        EXPECT_EQ(t.GrossText, Gross_Canal(ch));
        EXPECT_EQ(t.NetText, Net_Canal(ch));
        EXPECT_EQ(t.TareText, Tare_Canal(ch));
        EXPECT_EQ(t.TotalText, Total_Canal(ch));
        EXPECT_EQ(t.CounterText, Contadora_Canal(ch));
        EXPECT_EQ(t.StatusText, Estado_Canal(ch));
        EXPECT_EQ(t.MotionText, Estado_EmMovimento(ch));
        EXPECT_EQ(e->reading->unit, Unidade_Canal(ch));
    }
    // Frames keep coming (continuous families re-armed, the Ohaus asked again and again).
    Pump(700);
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_GE(core.Counters(i).frames.load(), 3u) << cases[i].model;
    EXPECT_GE(convs.back()->Channel('A').Requests(), 2);
}

// A converter that is not there, comes up, falls silent, sends garbage, and goes away: the
// scale is offline (with the system's reason), ok, stale, in error, offline and ok again,
// each state with the time it began, and other scales are not held up meanwhile.
TEST_F(LibraryTest, LiveCoreStatesFollowTheLink) {
    const std::string ip = Ip5(30);
    Events events;
    live::Core core({TcpScale("yard", "5817", ip, 'C', 400)}, events.Sink());
    size_t k = 0;
    core.Start();
    auto e = events.WaitStatus(0, live::Status::Offline, k);
    ASSERT_TRUE(e);
    e = events.Wait(
        0, [](const live::Event& x) { return x.reason.find("refused") != std::string::npos; }, 4000,
        &k);
    ASSERT_TRUE(e) << "the refusal is reported";
    EXPECT_EQ(e->reason, "no connection to " + ip + ":8883: Connection refused");
    EXPECT_FALSE(e->reading);

    auto conv = std::make_unique<tsim::Converter>(ip, false);
    conv->Channel('C').Stream(tsim::Frame5817(Reading(100, 0)), Every(40));
    e = events.WaitStatus(0, live::Status::Ok, k, 6000); // re-opened after the back-off
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->frame);
    EXPECT_EQ(Texts(*e, "5817").NetText, "       100");

    conv->Channel('C').Silent();
    e = events.WaitStatus(0, live::Status::Stale, k);
    ASSERT_TRUE(e);
    EXPECT_FALSE(e->frame);
    EXPECT_EQ(Texts(*e, "5817").NetText, "       100"); // the last weights stay
    EXPECT_EQ(e->reason, "no frame for 400 ms");
    EXPECT_EQ(e->sinceMs, e->timeMs);

    conv->Channel('C').Stream(tsim::Frame5817(Reading(1, 0), true), Every(20)); // bad checks
    e = events.WaitStatus(0, live::Status::Error, k);
    ASSERT_TRUE(e);
    EXPECT_NE(e->reason.find("no frame decodes"), std::string::npos) << e->reason;
    EXPECT_NE(e->reason.find("check character"), std::string::npos) << e->reason;

    conv->Channel('C').Stream(tsim::Frame5817(Reading(200, 0)), Every(40));
    ASSERT_TRUE(events.WaitStatus(0, live::Status::Ok, k));

    conv.reset(); // the converter goes away
    e = events.WaitStatus(0, live::Status::Offline, k);
    ASSERT_TRUE(e);
    const int64_t since = e->sinceMs;
    EXPECT_EQ(Texts(*e, "5817").NetText, "       200");
    // Still offline while it retries: the state's start does not move.
    e = events.Wait(
        0, [](const live::Event& x) { return x.reason.find("refused") != std::string::npos; }, 4000,
        &k);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->status, live::Status::Offline);
    EXPECT_EQ(e->sinceMs, since);

    conv = std::make_unique<tsim::Converter>(ip, false);
    conv->Channel('C').Stream(tsim::Frame5817(Reading(300, 0)), Every(40));
    e = events.WaitStatus(0, live::Status::Ok, k, 8000);
    ASSERT_TRUE(e);
    EXPECT_EQ(Texts(*e, "5817").NetText, "       300");
    EXPECT_GE(core.Counters(0).reconnects.load(), 1u);
    EXPECT_GE(core.Counters(0).dropped.load(), 1u);
}

// A serial scale whose device is unplugged and plugged in again under the same name (a
// link, as udev makes them), and an asking indicator on a port asked at its interval.
TEST_F(LibraryTest, LiveCoreSerialPortsComeAndGo) {
    const auto dir = std::filesystem::temp_directory_path() / ("tarvel-live-" + Ip5(40));
    std::filesystem::create_directories(dir);
    const std::string link = (dir / "scale0").string();
    auto pty = std::make_unique<tsim::PtyIndicator>();
    std::filesystem::remove(link);
    std::filesystem::create_symlink(pty->Path(), link);
    pty->Ind().Stream(tsim::FrameKrt(Reading(4321, 0, 3)), Every(40));
    tsim::PtyIndicator ohaus;
    ohaus.Ind().OnRequest(tsim::OhausLine("   7.5"));

    std::vector<live::ScaleConfig> scales(2);
    for (auto& [c, model, device] :
         {std::tuple{&scales[0], "krt", link}, std::tuple{&scales[1], "ohaus", ohaus.Path()}}) {
        c->name = model;
        c->family = FamilyOfModel(model);
        c->serial = true;
        c->line.device = device;
        c->line = SerialLine(*c->family, c->line);
        c->requestIntervalMs = 400;
    }
    Events events;
    live::Core core(scales, events.Sink());
    size_t k = 0, k1 = 0;
    core.Start();
    auto e = events.WaitStatus(0, live::Status::Ok, k);
    ASSERT_TRUE(e);
    EXPECT_EQ(Texts(*e, "krt").NetText, "     432.1");
    e = events.WaitStatus(1, live::Status::Ok, k1);
    ASSERT_TRUE(e);
    EXPECT_EQ(Texts(*e, "ohaus").NetText, "      7.5 ");
    EXPECT_EQ(Texts(*e, "ohaus").GrossText, "EEEEEEEEEE");
    EXPECT_EQ(e->reading->unit, "kg"); // the word after the weight

    pty.reset(); // unplugged
    e = events.WaitStatus(0, live::Status::Offline, k);
    ASSERT_TRUE(e);
    EXPECT_NE(e->reason.find("serial port"), std::string::npos) << e->reason;
    pty = std::make_unique<tsim::PtyIndicator>();
    pty->Ind().Stream(tsim::FrameKrt(Reading(1234, 0, 3)), Every(40));
    std::filesystem::remove(link);
    std::filesystem::create_symlink(pty->Path(), link);
    e = events.WaitStatus(0, live::Status::Ok, k, 8000);
    ASSERT_TRUE(e);
    EXPECT_EQ(Texts(*e, "krt").NetText, "     123.4");

    // The Ohaus was asked about every 400 ms all along, by the request's own steps.
    const int asked = ohaus.Ind().Requests();
    Pump(1200);
    EXPECT_GE(ohaus.Ind().Requests() - asked, 2);
    EXPECT_LE(ohaus.Ind().Requests() - asked, 5);
    EXPECT_EQ(ohaus.Ind().Received().substr(0, 3), "P\r\n");
    std::filesystem::remove_all(dir);
}

// Noise on a channel: random 5817-shaped frames (one in 128 passes the check character) and a
// flood of garbage are errors whose stray frames are never published, and the flood is read
// at a capped rate; a real indicator with one bad frame in a hundred stays ok throughout.
TEST_F(LibraryTest, LiveCoreNoiseIsAnErrorAndAnOccasionalBadFrameIsNot) {
    const std::string ip = Ip5(50);
    tsim::Converter conv(ip, false);
    auto random = std::make_shared<std::mt19937>(7);
    auto mutex = std::make_shared<std::mutex>();
    conv.Channel('A').StreamNumbered(
        [random, mutex](long) {
            std::lock_guard<std::mutex> lock(*mutex);
            std::string f = "\x02";
            for (int i = 0; i < 3; ++i)
                f += static_cast<char>(0x20 | ((*random)() & 0x1F));
            for (int i = 0; i < 12; ++i)
                f += static_cast<char>('0' + (*random)() % 10);
            f += '\r';
            f += static_cast<char>((*random)() & 0x7F);
            return f;
        },
        Every(2));
    conv.Channel('B').StreamNumbered(
        [](long n) { return tsim::Frame5817(Reading(500, 0), n % 100 == 0); }, Every(5));
    tsim::StreamOptions flood = Every(1);
    flood.garbage = std::string(8192, 'x');
    conv.Channel('C').Stream(tsim::Frame5817(Reading(1, 0), true), flood);
    Events events;
    live::Core core({TcpScale("noise", "5817", ip, 'A'), TcpScale("real", "5817", ip, 'B'),
                     TcpScale("flood", "5817", ip, 'C')},
                    events.Sink());
    core.Start();
    size_t k = 0;
    ASSERT_TRUE(events.WaitStatus(0, live::Status::Error, k));
    k = 0;
    ASSERT_TRUE(events.WaitStatus(2, live::Status::Error, k));
    Pump(3000);
    core.Stop();

    const auto all = events.All();
    bool noiseInError = false, floodInError = false;
    size_t realFrames = 0;
    for (const auto& e : all) {
        if (e.scale == 0) {
            if (e.status == live::Status::Error) noiseInError = true;
            // Once the noise is known, nothing of it is served as a reading.
            EXPECT_FALSE(noiseInError && e.status == live::Status::Ok) << "noise served as ok";
        } else if (e.scale == 1) {
            EXPECT_NE(e.status, live::Status::Error) << e.reason;
            realFrames += e.frame && e.status == live::Status::Ok;
        } else {
            if (e.status == live::Status::Error) floodInError = true;
            EXPECT_FALSE(floodInError && e.status == live::Status::Ok) << "flood served as ok";
        }
    }
    EXPECT_GT(core.Counters(0).noiseFrames.load(), 0u) << "no random frame passed its check";
    EXPECT_GT(realFrames, 100u);
    EXPECT_GE(core.Counters(1).dropped.load(), 1u);
    // The flood's bytes beyond the budget were thrown away undecoded.
    EXPECT_GT(core.Counters(2).discarded.load(), 0u);
}

// A paced core: eight indicators sending every 5 ms reach it in passes at most one per pace,
// each taking the frames of many; every frame is still decoded, and the pass hook runs once
// per pass that delivered something, never for an empty one.
TEST_F(LibraryTest, LiveCorePacedTakesManyFramesPerPassAndLosesNone) {
    constexpr int kScales = 8;
    constexpr auto kPace = std::chrono::milliseconds(25);
    auto conv = std::make_unique<tsim::Converter>(Ip5(60), false);
    auto conv2 = std::make_unique<tsim::Converter>(Ip5(61), false);
    std::vector<live::ScaleConfig> scales;
    for (int i = 0; i < kScales; ++i) {
        tsim::Converter& c = i < 4 ? *conv : *conv2;
        tsim::StreamOptions so = Every(5);
        so.phase = tsim::Ms{i};
        c.Channel(i % 4 + 1).Stream(tsim::Frame5817(Reading(100 + i, 0)), so);
        std::string name = "s";
        name += std::to_string(i);
        scales.push_back(
            TcpScale(name, "5817", Ip5(i < 4 ? 60 : 61), static_cast<char>('A' + i % 4)));
    }
    std::atomic<long> events{0};
    std::mutex m;
    std::vector<long> atPass; // events delivered when each pass ended
    live::Core core(scales, [&](const live::Event&) { ++events; });
    core.SetPace(kPace, [&] {
        std::lock_guard<std::mutex> lock(m);
        atPass.push_back(events.load());
    });
    core.Start();
    // Every scale connected and sending.
    for (int i = 0; i < 100; ++i) {
        int up = 0;
        for (int k = 0; k < kScales; ++k)
            up += core.Counters(static_cast<size_t>(k)).frames.load() > 0;
        if (up == kScales) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const auto sent = [&] {
        long n = 0;
        for (int k = 1; k <= 4; ++k)
            n += conv->Channel(k).FramesSent() + conv2->Channel(k).FramesSent();
        return n;
    };
    size_t passes0;
    {
        std::lock_guard<std::mutex> lock(m);
        passes0 = atPass.size();
    }
    const long sent0 = sent();
    long frames0 = 0;
    for (size_t k = 0; k < kScales; ++k)
        frames0 += static_cast<long>(core.Counters(k).frames.load());
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const long sentIn = sent() - sent0;
    size_t passes;
    {
        std::lock_guard<std::mutex> lock(m);
        passes = atPass.size() - passes0;
    }
    std::this_thread::sleep_for(kPace * 4); // what was sent is taken by now
    core.Stop();
    long frames = 0;
    for (size_t k = 0; k < kScales; ++k)
        frames += static_cast<long>(core.Counters(k).frames.load());
    std::lock_guard<std::mutex> lock(m);
    // At most one pass per pace (a slower machine makes fewer, never more).
    EXPECT_LE(static_cast<double>(passes), elapsed / 0.025 + 3);
    EXPECT_GT(passes, 5u);
    // Many frames per pass, and none lost: what was sent meanwhile was decoded.
    EXPECT_GT(sentIn, static_cast<long>(passes) * 4);
    EXPECT_GE(frames - frames0, sentIn);
    EXPECT_EQ(core.Counters(0).dropped.load(), 0u);
    for (size_t i = 1; i < atPass.size(); ++i)
        ASSERT_GT(atPass[i], atPass[i - 1]) << "a pass that delivered nothing ran the hook";
}
