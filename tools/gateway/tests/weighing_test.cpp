// A registration's weighing from the store's reading: the weights as whole numbers of one
// number of places, the frame's bytes and time, and the readings that are never registered.
#include "weighing.h"

#include "tarvelsim.h"

#include <gtest/gtest.h>

namespace {

// The reading the 5817's decoder makes of the frame `p` sends, as the live core reports it.
live::Event Frame(const tsim::Ind5817& p) {
    live::Event e;
    e.frame = true;
    e.status = live::Status::Ok;
    e.timeMs = 1796598772123;
    const std::string bytes = tsim::Frame5817(p);
    FamilyOfModel("5817")->decoder()->FeedAll(
        AsBytes(bytes), [&](const TReading& r) { e.reading = std::make_shared<const TReading>(r); },
        [](const TDecodeFailure&) {});
    EXPECT_TRUE(e.reading) << "the frame does not decode";
    return e;
}

// Net 123.45 kg in net mode, tare 5.05, standing still.
tsim::Ind5817 Settled() {
    tsim::Ind5817 p;
    p.weight = 12345;
    p.tare = 505;
    p.decimalCode = 4; // two places
    p.netMode = true;
    return p;
}

TEST(Weighing, FromASettledReading) {
    gateway::Store store(
        std::vector<gateway::ScaleIdentity>{{"truck1", "5817", FamilyOfModel("5817")}});
    const auto e = Frame(Settled());
    const auto r = store.Publish(e);
    std::string why;
    const auto w = gateway::WeighingOf(*r, "truck ABC-1234", why);
    ASSERT_TRUE(w) << why;
    EXPECT_EQ(w->scale, "truck1");
    EXPECT_EQ(w->model, "5817");
    EXPECT_EQ(w->frame, tsim::Frame5817(Settled())); // the frame's 18 bytes, exactly
    EXPECT_EQ(w->timeMs, 1796598772123);
    EXPECT_EQ(w->decimals, 2);
    EXPECT_EQ(w->gross, 12850);
    EXPECT_EQ(w->net, 12345);
    EXPECT_EQ(w->tare, 505);
    ASSERT_TRUE(w->netText);
    EXPECT_NE(w->netText->find("123"), std::string::npos) << *w->netText;
    EXPECT_EQ(w->unit, "kg");
    EXPECT_EQ(w->stable, true);
    EXPECT_FALSE(w->overload);
    EXPECT_EQ(w->reference, "truck ABC-1234");
    EXPECT_EQ(gateway::Register::Refusal(*w), "");
}

TEST(Weighing, ReadingsNeverRegistered) {
    auto with = [](auto change) {
        tsim::Ind5817 p = Settled();
        change(p);
        return Frame(p);
    };
    const struct {
        const char* what;
        live::Event event;
        const char* why;
    } cases[] = {
        {"motion", with([](tsim::Ind5817& p) { p.motion = true; }), "motion"},
        {"out of range", with([](tsim::Ind5817& p) { p.outOfRange = true; }), "out of range"},
        {"offline",
         [] {
             live::Event e = Frame(Settled());
             e.frame = false;
             e.status = live::Status::Offline;
             e.reason = "gone";
             return e;
         }(),
         "not ok"},
        {"no frame",
         [] {
             live::Event e = Frame(Settled());
             e.reading.reset();
             return e;
         }(),
         "no"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        gateway::Store store(
            std::vector<gateway::ScaleIdentity>{{"truck1", "5817", FamilyOfModel("5817")}});
        std::string why;
        EXPECT_FALSE(gateway::WeighingOf(*store.Publish(c.event), "", why));
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
}

} // namespace
