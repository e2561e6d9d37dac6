// The store's readings: the JSON line of each, whether built in full or from the one before.
#include "store.h"

#include <gtest/gtest.h>

namespace {

using json = tarvel::record::Json;

live::Event Frame(size_t scale, int64_t timeMs, const std::string& net) {
    live::Event e;
    e.scale = scale;
    e.frame = true;
    e.status = live::Status::Ok;
    e.timeMs = timeMs;
    e.hasTexts = true;
    // (Each text is built in place: GCC 12 warns wrongly about assigning short literals.)
    e.texts.GrossText = std::string(4, ' ') + "128.45";
    e.texts.NetText = net;
    e.texts.TareText = std::string(6, ' ') + "5.00";
    e.texts.StatusText = std::string("1SNNNkgN", 8);
    e.texts.MotionText = std::string(1, 'N');
    return e;
}

live::Event Change(size_t scale, live::Status status, int64_t timeMs, const std::string& reason) {
    live::Event e = Frame(scale, timeMs, "    123.45");
    e.frame = false;
    e.status = status;
    e.sinceMs = timeMs;
    e.reason = reason;
    return e;
}

// Each reading is checked against the one before: what changed must be exactly what the
// event changed, and the line must be what a full build of that record gives.
TEST(Store, ReadingLinesMatchAFullBuild) {
    gateway::Store store({{"truck1", "5817"}, {"bench", "krt"}});
    const int64_t t0 = 1796598772123; // 2026-12-06T23:12:52.123Z
    const struct {
        live::Event event;
        uint64_t seq;
        const char* status;
        const char* net;
        bool changed; // more than seq and time: what goes out over MQTT at once
    } steps[] = {
        {Change(0, live::Status::Stale, t0, "connected, no frame yet"), 0, "stale", nullptr, true},
        {Frame(0, t0 + 100, "    123.45"), 1, "ok", "    123.45", true},
        {Frame(0, t0 + 200, "    123.45"), 2, "ok", "    123.45", false}, // only seq and time
        {Frame(0, t0 + 300, "    123.45"), 3, "ok", "    123.45", false},
        {Frame(0, t0 + 400, "    124.00"), 4, "ok", "    124.00", true}, // a new weight
        {Frame(0, t0 + 500, "    124.00"), 5, "ok", "    124.00", false},
        {Change(0, live::Status::Stale, t0 + 2500, "no frame for 2000 ms"), 6, "stale",
         "    123.45", true},
        {Frame(0, t0 + 2600, "    124.00"), 7, "ok", "    124.00", true},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.seq);
        const gateway::ReadingPtr published = store.Publish(step.event);
        const gateway::ReadingPtr r = store.Latest(0);
        ASSERT_TRUE(r);
        EXPECT_EQ(published, r);
        EXPECT_EQ(r->changed, step.changed);
        EXPECT_EQ(r->seq, step.seq);
        const std::string line(r->Line());
        const json j = json::parse(line);
        EXPECT_EQ(line, tarvel::record::Line(j)) << "the line is not the record's own form";
        EXPECT_EQ(j["seq"], step.seq);
        EXPECT_EQ(j["status"], step.status);
        if (step.seq > 0)
            EXPECT_EQ(j["time"], tarvel::record::FormatTime(step.event.timeMs));
        else
            EXPECT_TRUE(j["time"].is_null());
        if (step.status == std::string("ok")) {
            EXPECT_FALSE(j.contains("since"));
            EXPECT_EQ(j["texts"]["net"], step.net);
        } else {
            EXPECT_EQ(j["reason"], step.event.reason);
            EXPECT_EQ(j["since"], tarvel::record::FormatTime(step.event.sinceMs));
        }
        std::string event = "event: reading\nid: truck1:";
        event += std::to_string(step.seq);
        event += "\ndata: ";
        event += line;
        event += "\n\n";
        EXPECT_EQ(r->event, event);
    }
    // The other scale was left alone.
    EXPECT_EQ(store.Latest(1)->seq, 0u);
    EXPECT_EQ(json::parse(store.Latest(1)->Line())["status"], "offline");
}

} // namespace
