// The store's readings: the JSON line of each, whether built in full or from the one before.
#include "store.h"

#include <gtest/gtest.h>

namespace {

using json = tarvel::record::Json;

// The reading of a 5817 frame in net mode with two decimals, tare 5.00 and the given net
// (six digits): status "1SNNNkgN", as the 5817's decoder gives it.
std::shared_ptr<const TReading> Reading5817(const std::string& netDigits) {
    std::string body = std::string("$1 ") + netDigits + "000500\r";
    int sum = 2;
    for (const char c : body)
        sum += c & 0x7F;
    const std::string frame = "\x02" + body + static_cast<char>(((~sum & 0x7F) + 1) & 0x7F);
    std::shared_ptr<const TReading> r;
    FamilyOfModel("5817")->decoder()->FeedAll(
        AsBytes(frame), [&](const TReading& x) { r = std::make_shared<const TReading>(x); },
        [](const TDecodeFailure&) {});
    EXPECT_TRUE(r) << "the frame does not decode";
    return r;
}

live::Event Frame(size_t scale, int64_t timeMs, const std::string& netDigits) {
    live::Event e;
    e.scale = scale;
    e.frame = true;
    e.status = live::Status::Ok;
    e.timeMs = timeMs;
    e.reading = Reading5817(netDigits);
    return e;
}

live::Event Change(size_t scale, live::Status status, int64_t timeMs, const std::string& reason) {
    live::Event e = Frame(scale, timeMs, "012345");
    e.frame = false;
    e.status = status;
    e.sinceMs = timeMs;
    e.reason = reason;
    return e;
}

// Each reading is checked against the one before: what changed must be exactly what the
// event changed, and the line must be what a full build of that record gives.
TEST(Store, ReadingLinesMatchAFullBuild) {
    gateway::Store store(
        {{"truck1", "5817", FamilyOfModel("5817")}, {"bench", "krt", FamilyOfModel("krt")}});
    const int64_t t0 = 1796598772123; // 2026-12-06T23:12:52.123Z
    const struct {
        live::Event event;
        uint64_t seq;
        const char* status;
        const char* net;
        bool changed; // more than seq and time: what goes out over MQTT at once
    } steps[] = {
        {Change(0, live::Status::Stale, t0, "connected, no frame yet"), 0, "stale", nullptr, true},
        {Frame(0, t0 + 100, "012345"), 1, "ok", "    123.45", true},
        {Frame(0, t0 + 200, "012345"), 2, "ok", "    123.45", false}, // only seq and time
        {Frame(0, t0 + 300, "012345"), 3, "ok", "    123.45", false},
        {Frame(0, t0 + 400, "012400"), 4, "ok", "    124.00", true}, // a new weight
        {Frame(0, t0 + 500, "012400"), 5, "ok", "    124.00", false},
        {Change(0, live::Status::Stale, t0 + 2500, "no frame for 2000 ms"), 6, "stale",
         "    123.45", true},
        {Frame(0, t0 + 2600, "012400"), 7, "ok", "    124.00", true},
    };
    gateway::ReadingPtr before;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.seq);
        const gateway::ReadingPtr published = store.Publish(step.event);
        const gateway::ReadingPtr r = store.Latest(0);
        ASSERT_TRUE(r);
        EXPECT_EQ(published, r);
        EXPECT_EQ(r->changed, step.changed);
        // A reading that says the same as the one before is not built again: it shares its text.
        if (before && !step.changed) {
            EXPECT_EQ(r->text, before->text);
        }
        before = r;
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
        EXPECT_EQ(r->Event(), event);
    }
    // The other scale was left alone.
    EXPECT_EQ(store.Latest(1)->seq, 0u);
    EXPECT_EQ(json::parse(store.Latest(1)->Line())["status"], "offline");
}

} // namespace
