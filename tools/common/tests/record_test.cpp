// The reading record against the rules of docs/library.md, model by model.
#include "record.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using tarvel::record::Json;
using tarvel::record::Meta;
using tarvel::record::Texts;

TEST(WeightNumber, ReadmeRules) {
    struct Case {
        const char* text;
        std::optional<double> want;
    };
    const Case cases[] = {
        {"    128.45", 128.45},
        {"      5.00", 5.0},
        {"    -250.0", -250.0},
        {"  -0001.50", -1.5},
        {"12,34", 12.34},
        {"+7", 7.0},
        {"12.", 12.0},
        {".5", 0.5},
        {"   12.50 ", 12.5},
        {"0", 0.0},
        {"-0.00", 0.0},
        {"999999999999999999", 1e18 - 1},
        {"EEEEEEEEEE", {}},
        {"EEEEEEE", {}},
        {"--------", {}},
        {"- 1.5", {}},
        {"1 2", {}},
        {"1.2.3", {}},
        {"1,2.3", {}},
        {"", {}},
        {"    ", {}},
        {"-", {}},
        {".", {}},
        {"1e3", {}},
        {"\t1", {}},
        {"1234567890123456789", {}},
    };
    for (const Case& c : cases) {
        const auto got = tarvel::record::WeightNumber(c.text);
        ASSERT_EQ(got.has_value(), c.want.has_value()) << "'" << c.text << "'";
        if (!got) continue;
        EXPECT_EQ(*got, *c.want) << "'" << c.text << "'"; // exactly the nearest double
        EXPECT_FALSE(std::signbit(*got) && *got == 0.0) << "'" << c.text << "' gave -0";
    }
    // Printed as the shortest text that reads back, with a point.
    EXPECT_EQ(Json(*tarvel::record::WeightNumber("    128.45")).dump(), "128.45");
    EXPECT_EQ(Json(*tarvel::record::WeightNumber("  0,1")).dump(), "0.1");
}

TEST(FormatTime, UtcWithMilliseconds) {
    const std::pair<int64_t, const char*> cases[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {1796598772123, "2026-12-06T23:12:52.123Z"},
        {1709208000001, "2024-02-29T12:00:00.001Z"},
        {-1, "1969-12-31T23:59:59.999Z"},
        {253402300799999, "9999-12-31T23:59:59.999Z"},
        {253402300800000, "10000-01-01T00:00:00.000Z"},
        {-62167219200000, "0000-01-01T00:00:00.000Z"},
        {-62167219200001, "-001-12-31T23:59:59.999Z"},
    };
    for (const auto& [ms, want] : cases)
        EXPECT_EQ(tarvel::record::FormatTime(ms), want) << ms;
    // No value overflows.
    EXPECT_FALSE(tarvel::record::FormatTime(INT64_MIN).empty());
    EXPECT_FALSE(tarvel::record::FormatTime(INT64_MAX).empty());
}

// Texts as the library hands them out after a reading of each model.
// Texts as the library hands them out after a reading of each model: the record's numbers,
// unit and flags read from them; the texts themselves go in as they are (shown once, with
// the raw variant's control and Windows-1252 characters).
TEST(Record, PerModel) {
    struct Case {
        const char* model;
        Texts texts;
        const char* want; // everything after "time":...,"status":"ok", up to "texts"
    };
    const Case cases[] = {
        {"5817",
         {"    128.45", "    123.45", "      5.00", "", "", "1SNNNkgN", "N"},
         R"("gross":128.45,"net":123.45,"tare":5.0,"unit":"kg","stable":true,"overload":false,)"
         R"("negative":false)"},
        {"krt",
         {"    -250,0", "    -250,0", "     0,000", "", "", "1NSSSlbN", "S"},
         R"("gross":-250.0,"net":-250.0,"tare":0.0,"unit":"lb","stable":false,"overload":true,)"
         R"("negative":true)"},
        {"5817c",
         {"0", "0", "0", "",
          "\x02"
          "1 \xB0"
          "012345000500\r",
          "EEEEEEEE", "E"},
         R"("gross":null,"net":null,"tare":null,"unit":null,"stable":null,"overload":null,)"
         R"("negative":null,"texts":{"gross":"0","net":"0","tare":"0","total":"","counter":)"
         R"("\u00021 °012345000500\r","status":"EEEEEEEE","motion":"E"}})"},
        {"ohaus",
         {"EEEEEEEEEE", "  -0001.50", "EEEEEEEEEE", "", "", "EESENEEE", "N"},
         R"("gross":null,"net":-1.5,"tare":null,"unit":null,"stable":true,"overload":null,)"
         R"("negative":true)"},
        {"msi3360",
         {"   12.50", "   10.50", "    2.00", "", "", "EEEEE gE", "E"},
         R"("gross":12.5,"net":10.5,"tare":2.0,"unit":"g","stable":null,"overload":null,)"
         R"("negative":null)"},
        {"msi6260",
         {"  10.00", "EEEEEEE", "EEEEEEE", "EEEEEEE", "", "EEEEEKGE", "E"},
         R"("gross":10.0,"net":null,"tare":null,"unit":"KG","stable":null,"overload":null,)"
         R"("negative":null)"},
    };
    for (const Case& c : cases) {
        Meta m;
        m.scale = "truck1";
        m.model = c.model;
        m.seq = 42;
        m.timeMs = 1796598772123;
        std::string line = tarvel::record::Line(tarvel::record::Make(m, c.texts));
        if (std::string(c.model) != "5817c") line.resize(line.find(R"(,"texts":)"));
        EXPECT_EQ(line, std::string(R"({"scale":"truck1","model":")") + c.model +
                            R"(","seq":42,"time":"2026-12-06T23:12:52.123Z","status":"ok",)" +
                            c.want)
            << c.model;
    }
}

TEST(Record, BeforeTheFirstReadingAndStatusChanges) {
    Meta m;
    m.scale = "s";
    m.model = "msi3360";
    EXPECT_EQ(tarvel::record::Line(tarvel::record::Make(m, Texts{})),
              R"({"scale":"s","model":"msi3360","seq":0,"time":null,"status":"ok","gross":null,)"
              R"("net":null,"tare":null,"unit":null,"stable":null,"overload":null,)"
              R"("negative":null,"texts":{"gross":null,"net":null,"tare":null,"total":null,)"
              R"("counter":null,"status":null,"motion":null}})");
    m.seq = 3;
    m.timeMs = 1000;
    m.status = "offline";
    m.reason = "could not connect";
    const Json noSince = tarvel::record::Make(m, Texts{});
    EXPECT_TRUE(noSince["since"].is_null());
    m.status = "stale";
    m.sinceMs = 0;
    m.reason = "no frame in time";
    const Json r = tarvel::record::Make(m, Texts{"1", "2", "3", "", "", "1SNNNkgN", "N"});
    std::vector<std::string> keys;
    for (const auto& item : r.items())
        keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"scale", "model", "seq", "time", "status", "since",
                                              "reason", "gross", "net", "tare", "unit", "stable",
                                              "overload", "negative", "texts"}));
    EXPECT_EQ(r["since"], "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(r["reason"], "no frame in time");
    EXPECT_EQ(r["net"], 2.0); // a status change keeps the last weights
}

TEST(Record, OddInputNeverThrows) {
    Meta m;
    m.scale = "bad \xFF\xFE name"; // not UTF-8, e.g. from a command line
    m.model = "5817";
    m.seq = 1;
    const Texts t{"\x80\x81", "", "", "", "", "1S", "SS"};
    std::string line;
    ASSERT_NO_THROW(line = tarvel::record::Line(tarvel::record::Make(m, t)));
    const Json back = Json::parse(line);
    EXPECT_EQ(back["scale"], "bad \xEF\xBF\xBD\xEF\xBF\xBD name");
    EXPECT_EQ(back["texts"]["gross"], "\xE2\x82\xAC\xC2\x81"); // euro sign, U+0081
    EXPECT_TRUE(back["unit"].is_null());                       // status too short
    EXPECT_TRUE(back["stable"].is_null());                     // motion not one character
}

// The numbers with a point under a comma locale: the cli_json test, which builds the locale
// rather than relying on one being installed.

} // namespace
