// Each family's decoder on its own: no channel, no transport, no clock. The same bytes fed
// whole, one byte at a time and in random pieces give the same readings and failures in the
// same order, and the readings say what the frames say: the numbers, the flags, the unit, the
// exact bytes, and the texts the value functions make of them.
#include "frames.h"
#include "tarvel6_internal.h"
#include "tarvelsim.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using t6test::FrameOf;

namespace {

// What one decoder gave, one line per reading or failure.
using Outcome = std::vector<std::string>;

std::string Flags(const TReading& r) {
    std::string s = r.hasStatus ? StatusText(r, ',') : "raw";
    return s + " motion " + FlagChar(r.motion) + " unit \"" + r.unit + "\"";
}

std::string Number(const TWeightField& f) {
    if (f.form == TWeightField::Form::None) return "-";
    if (!f.value) return "NaN";
    return std::to_string(f.value->counts) + "e-" + std::to_string(f.value->decimals);
}

// The bytes with control characters as \xNN.
std::string Escaped(const std::string& bytes) {
    std::string s;
    for (const char c : bytes) {
        if (c >= 0x20 && c < 0x7F) {
            s += c;
            continue;
        }
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
        s += hex;
    }
    return s;
}

std::string Describe(const Family& family, const TReading& r) {
    const TValueTexts t = TextsOf(r, family.pollStartGrossTare, ',');
    return "reading [" + Escaped(r.bytes) + "] gross " + Number(r.gross) + " net " + Number(r.net) +
           " tare " + Number(r.tare) + " total " + Number(r.total) + " " + Flags(r) + " texts " +
           Escaped(t.GrossText + "|" + t.NetText + "|" + t.TareText + "|" + t.TotalText + "|" +
                   t.CounterText + "|" + t.StatusText + "|" + t.MotionText);
}

// Feeds `bytes` in the pieces `cuts` gives (piece sizes, used in turn) to a new decoder.
Outcome FeedInPieces(const Family& family, const std::string& bytes,
                     const std::function<size_t()>& piece) {
    auto decoder = family.decoder();
    Outcome out;
    size_t at = 0;
    while (at < bytes.size()) {
        const size_t n = std::min(piece(), bytes.size() - at);
        std::span<const uint8_t> rest = AsBytes(std::string_view(bytes).substr(at, n));
        at += n;
        while (!rest.empty()) {
            const TDecoder::Step s = decoder->Feed(rest);
            EXPECT_GT(s.used, 0u); // every call takes at least one byte
            EXPECT_LE(s.used, rest.size());
            EXPECT_FALSE(s.reading != nullptr && s.failure != nullptr);
            rest = rest.subspan(s.used);
            if (s.reading != nullptr) out.push_back(Describe(family, *s.reading));
            if (s.failure != nullptr) out.push_back("failure " + s.failure->Text());
            EXPECT_LE(decoder->Pending(), TDecoder::kMaxFrame + 2);
        }
    }
    return out;
}

// The readings and failures of `bytes`, checked to be the same fed whole, byte by byte and in
// random pieces (several seeds).
Outcome Decode(const Family& family, const std::string& bytes) {
    const Outcome whole = FeedInPieces(family, bytes, [&] { return bytes.size() + 1; });
    EXPECT_EQ(FeedInPieces(family, bytes, [] { return size_t{1}; }), whole) << "byte by byte";
    for (unsigned seed = 1; seed <= 5; ++seed) {
        std::mt19937 rng(seed);
        std::uniform_int_distribution<size_t> size(1, 40);
        EXPECT_EQ(FeedInPieces(family, bytes, [&] { return size(rng); }), whole)
            << "random pieces, seed " << seed;
    }
    return whole;
}

const Family& Fam(const char* model) {
    const Family* f = FamilyOfModel(model);
    if (f == nullptr) throw std::logic_error(model);
    return *f;
}

tsim::Ind5817 Ind(long weight, long tare = 0, int decimalCode = 0) {
    tsim::Ind5817 r;
    r.weight = weight;
    r.tare = tare;
    r.decimalCode = decimalCode;
    return r;
}

} // namespace

// Every family of the table, on a stream of its frames between noise, bad frames and texts
// without an end. (The texts: with a comma as the separator.)
TEST(Decoders, EveryFamilyDecodesItsFramesWhateverPiecesTheyArriveIn) {
    auto negative = Ind(120, 30, 3);
    negative.negative = negative.netMode = true;
    negative.incrementBits = 0x10;
    auto pounds = Ind(123456, 0, 7);
    pounds.kg = false;
    pounds.motion = true;
    const std::string endless = "\x02" + std::string(3 * TDecoder::kMaxFrame, 'x');
    const std::string f5817 = tsim::Frame5817(negative);
    struct Case {
        const char* model;
        std::string bytes;
        Outcome expected;
    };
    const Case cases[] = {
        {"5817",
         "noise\r" + tsim::Frame5817(Ind(1), true) + f5817 + endless + tsim::Frame5817Raw("ab"),
         {"failure check character 0x41, expected 0x40",
          "reading [\\x0233 000120000030\\x0D%] gross -90e-1 net -120e-1 tare 30e-1 total - "
          "2SSNNkgN motion N unit \"kg\" texts       -9,0|     -12,0|       3,0|||2SSNNkgN|N",
          "failure no end of frame within 512 bytes", "failure frame too short (3 characters)"}},
        // The raw variant takes any frame whose check character is right, as it is.
        {"5817c",
         "\r\n" + tsim::Frame5817Raw("ab") + tsim::Frame5817Raw("x", true),
         {"reading [\\x02ab\\x0D.] gross - net - tare - total - raw motion E unit \"\" "
          "texts 0|0|0||ab\\x0D||",
          "failure check character 0x7A, expected 0x79"}},
        {"krt",
         "\r\n99" + tsim::FrameKrt(pounds) + "\x55" + tsim::FrameKrtRaw("short"),
         {"reading [\\x02'( 123456000000\\x0D] gross 123456e-5 net 123456e-5 tare 0e-5 total - "
          "1NNNSlbN motion S unit \"lb\" texts    1,23456|   1,23456|   0,00000|||1NNNSlbN|S",
          "failure frame of 6 characters, not 16"}},
        {"msi3360",
         "0000kg\x03" + tsim::FrameMsi3360("  12.500", "--------", "   0,500", "lb") +
             tsim::FrameMsi3360Raw(std::string(25, '1')) + tsim::FrameMsi3360("1.2.3", "", "x"),
         {"reading [\\x02  12.500--------   0,500lb\\x03] gross 12500e-3 net 12500e-3 tare "
          "500e-3 total - EEEEElbE motion E unit \"lb\" texts   12,500|  12,500|   0,500|||"
          "EEEEElbE|E",
          "failure frame of 25 characters, not 26",
          "reading [\\x02   1.2.3               xkg\\x03] gross NaN net NaN tare NaN total - "
          "EEEEEkgE motion E unit \"kg\" texts    1,2,3|        |       x|||EEEEEkgE|E"}},
        {"msi6260",
         tsim::Msi6260Text("  WEIGHT TICKET") + tsim::Msi6260Line(tsim::kMsiNet, "   7.25") +
             std::string(600, 'y') + "\n" + tsim::Msi6260Line(tsim::kMsiTotal, "1.234,5", "LB"),
         {"reading [  NET     7.25 KG\\x0D\\x0A] gross NaN net 725e-2 tare NaN total NaN "
          "EEEEEKGE motion E unit \"KG\" texts EEEEEEE|   7,25|EEEEEEE|EEEEEEE||EEEEEKGE|E",
          "failure no end of line within 512 bytes",
          "reading [TOTAL  1.234,5 LB\\x0D\\x0A] gross NaN net NaN tare NaN total NaN EEEEELBE "
          "motion E unit \"LB\" texts EEEEEEE|EEEEEEE|EEEEEEE|1,234,5||EEEEELBE|E"}},
        // CRs anywhere are dropped, an empty line is none; the unit is the word after the run.
        {"ohaus",
         "\r\n" + tsim::OhausLine("-   1.50", "kg", true) + std::string(600, '9') + "\n" +
             "  1\r2.5 lb\r\n" + "kg -12\r\n",
         {"reading [-   1.50 kg ?\\x0D\\x0A] gross - net -150e-2 tare - total - EESESEEE "
          "motion S unit \"kg\" texts EEEEEEEEEE| -0001,50 |EEEEEEEEEE|||EESESEEE|S",
          "failure no end of line within 512 bytes",
          "reading [  1\\x0D2.5 lb\\x0D\\x0A] gross - net 125e-1 tare - total - EENENEEE motion N "
          "unit \"lb\" texts EEEEEEEEEE|     12,5 |EEEEEEEEEE|||EENENEEE|N",
          "reading [kg -12\\x0D\\x0A] gross - net NaN tare - total - EESENEEE motion N unit "
          "\"kg\" texts EEEEEEEEEE|          |EEEEEEEEEE|||EESENEEE|N"}},
    };
    std::vector<std::string> seen;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        seen.push_back(c.model);
        EXPECT_EQ(Decode(Fam(c.model), c.bytes), c.expected);
    }
    for (const Family* f : Families())
        EXPECT_NE(std::find(seen.begin(), seen.end(), f->model), seen.end())
            << f->model << " has no case here";
}

// A stream of many frames, each cut at every place: the same readings as whole.
TEST(Decoders, AFrameCutAnywhereGivesTheSameReading) {
    for (const Family* f : Families()) {
        SCOPED_TRACE(f->model);
        std::string stream;
        for (long w = 1; w <= 40; ++w)
            stream += FrameOf(*f, w * 37);
        const Outcome whole = Decode(*f, stream);
        EXPECT_EQ(whole.size(), 40u);
        const std::string one = FrameOf(*f, 1234);
        for (size_t cut = 1; cut < one.size(); ++cut) {
            size_t piece = 0;
            EXPECT_EQ(FeedInPieces(*f, one, [&] { return piece++ == 0 ? cut : one.size(); }),
                      FeedInPieces(*f, one, [&] { return one.size(); }))
                << "cut at " << cut;
        }
    }
}
