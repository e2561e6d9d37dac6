#include "W_MSI6260.h"

#include "Trace.h"
#include "W_MSI3360.h"
#include "platform.h"

namespace {

const char* const kTotal = "TOTAL ";
const char* const kGross = "GROSS ";
const char* const kNet = "  NET ";
const char* const kTare = " TARE ";
const char* const kMissing = "EEEEEEE";

} // namespace

void TMSI6260Bal::Arm() {
    RxBuffer.clear();
    SkipLine = false;
    ByteHandler = [this](uint8_t b) { CollectLine(b); };
}

void TMSI6260Bal::CollectLine(uint8_t b) {
    if (!KeepLineByte(b)) return; // a line too long to be a print line
    RxBuffer.push_back(static_cast<char>(b));
    if (b != static_cast<uint8_t>(Definir::LF)) return;
    const auto has = [this](const char* label) {
        return RxBuffer.find(label) != std::string::npos;
    };
    if (!has(kTotal) && !has(kGross) && !has(kTare) && !has(kNet)) {
        // Headers and blank lines of a ticket: not readings, and not faults either.
        if (trace::On()) trace::Line(Label() + ": line without a label skipped");
        RxBuffer.clear();
        return;
    }
    const TReading r = ParseFrame(RxBuffer);
    RxBuffer.clear();
    Decoded(r);
}

TReading TMSI6260Bal::ParseFrame(const std::string& text) {
    const std::string t = WithLocaleSeparator(text);
    const std::string unit = t.find("KG") != std::string::npos ? "KG" : "LB";
    TReading r;
    r.Status = TStatusFlags::UnitOnly(unit);
    r.Total = ExtractValue(t, kTotal, unit);
    r.Gross = ExtractValue(t, kGross, unit);
    r.Net = ExtractValue(t, kNet, unit);
    r.Tare = ExtractValue(t, kTare, unit);
    return r;
}

std::string TMSI6260Bal::ExtractValue(const std::string& text, const std::string& label,
                                      const std::string& unit) {
    const size_t p = text.find(label);
    if (p == std::string::npos) return kMissing;
    const size_t q = text.find(unit);
    if (q == std::string::npos) return kMissing;
    // The label, one more character, then the value; it ends two characters before the
    // unit (the character just before the unit belongs to neither).
    const size_t start = p + 7;
    if (q < start + 1) return "";
    return text.substr(start, q - 1 - start);
}

// 5000 ms plain wait, 600 ms to open the serial port; the indicator reports no motion, so a
// host time-out only sets the wait.
extern const Family kFamilyMSI6260{.model = "msi6260",
                                   .modelText = "MSI6260",
                                   .deviceType = 5,
                                   .baud = 1200,
                                   .dataBits = 7,
                                   .parity = plat::ParityMark,
                                   .stopBits = 1,
                                   .modemLines = false,
                                   .defaultWaitMs = 5000,
                                   .portLimitMs = 600,
                                   .reportsMotion = false,
                                   .pollStartGrossTare = "0",
                                   .keepsPortOpen = false,
                                   .request = {},
                                   .tcpReadsDuringPollOnly = false,
                                   .make = &MakeDriver<TMSI6260Bal>};
