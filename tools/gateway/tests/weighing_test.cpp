// A registration's weighing from the store's reading: the weights as whole numbers of one
// number of places, the frame's bytes and time, and the readings that are never registered.
#include "weighing.h"

#include <gtest/gtest.h>

namespace {

live::Event Frame(const std::string& gross, const std::string& net, const std::string& tare,
                  const std::string& status, char motion) {
    live::Event e;
    e.frame = true;
    e.status = live::Status::Ok;
    e.timeMs = 1796598772123;
    e.hasTexts = true;
    e.texts.GrossText = gross;
    e.texts.NetText = net;
    e.texts.TareText = tare;
    e.texts.StatusText = status;
    e.texts.MotionText = std::string(1, motion);
    e.frameBytes = std::string("\x02"
                               "1SN0123450005000\r\x7f",
                               19);
    return e;
}

TEST(Weighing, CountsOfIndicatorTexts) {
    const struct {
        const char* text;
        std::optional<std::pair<int64_t, int>> counts;
    } cases[] = {
        {"    128.45", std::pair<int64_t, int>{12845, 2}},
        {"  -0,5", std::pair<int64_t, int>{-5, 1}},
        {"1000", std::pair<int64_t, int>{1000, 0}},
        {" 0.000", std::pair<int64_t, int>{0, 3}},
        {"123456789012345678", std::pair<int64_t, int>{123456789012345678, 0}},
        {"1234567890123456789", std::nullopt}, // 19 digits
        {"EEEEEEEEEE", std::nullopt},
        {"--------", std::nullopt},
        {"1.2.3", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(gateway::CountsOf(c.text), c.counts);
    }
}

TEST(Weighing, FromASettledReading) {
    gateway::Store store(std::vector<gateway::ScaleIdentity>{{"truck1", "5817"}});
    // Gross shown with one place, net and tare with two: all three in hundredths.
    const auto r = store.Publish(Frame("    128.5", "    123.45", "      5.05", "1SNNNkgN", 'N'));
    std::string why;
    const auto w = gateway::WeighingOf(*r, "truck ABC-1234", why);
    ASSERT_TRUE(w) << why;
    EXPECT_EQ(w->scale, "truck1");
    EXPECT_EQ(w->model, "5817");
    EXPECT_EQ(w->frame.size(), 19u);
    EXPECT_EQ(w->timeMs, 1796598772123);
    EXPECT_EQ(w->decimals, 2);
    EXPECT_EQ(w->gross, 12850);
    EXPECT_EQ(w->net, 12345);
    EXPECT_EQ(w->tare, 505);
    EXPECT_EQ(w->netText, "    123.45");
    EXPECT_EQ(w->unit, "kg");
    EXPECT_EQ(w->stable, true);
    EXPECT_FALSE(w->overload);
    EXPECT_EQ(w->reference, "truck ABC-1234");
    EXPECT_EQ(gateway::Register::Refusal(*w), "");
}

TEST(Weighing, ReadingsNeverRegistered) {
    const struct {
        const char* what;
        live::Event event;
        const char* why;
    } cases[] = {
        {"motion", Frame("1", "1", "0", "1SNNSkgN", 'S'), "motion"},
        {"out of range", Frame("1", "1", "0", "1SNSNkgN", 'N'), "out of range"},
        {"no net", Frame("1", "EEEEEEEEEE", "0", "1SNNNkgN", 'N'), "no net weight"},
        {"offline",
         [] {
             live::Event e = Frame("1", "1", "0", "1SNNNkgN", 'N');
             e.frame = false;
             e.status = live::Status::Offline;
             e.reason = "gone";
             return e;
         }(),
         "not ok"},
        {"no frame",
         [] {
             live::Event e = Frame("1", "1", "0", "1SNNNkgN", 'N');
             e.frameBytes.clear();
             return e;
         }(),
         "no frame"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        gateway::Store store(std::vector<gateway::ScaleIdentity>{{"truck1", "5817"}});
        std::string why;
        EXPECT_FALSE(gateway::WeighingOf(*store.Publish(c.event), "", why));
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
}

} // namespace
