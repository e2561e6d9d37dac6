#include "W_MSI6260.h"

#include "W_MSI3360.h"

namespace {

const char* const kTotal = "TOTAL ";
const char* const kGross = "GROSS ";
const char* const kNet = "  NET ";
const char* const kTare = " TARE ";
const char* const kMissing = "EEEEEEE";

} // namespace

int TMSI6260Bal::Poll(int32_t channelIndex, uint32_t timeOut) {
    StartPoll(channelIndex);
    return PollUnitOnly(*this, timeOut);
}

void TMSI6260Bal::StartPoll(int32_t) {
    RxBuffer.clear();
    SkipLine = false;
    StartPollWith("0", "0", [this](uint8_t b) { CollectLine(b); });
}

void TMSI6260Bal::CollectLine(uint8_t b) {
    if (!KeepLineByte(b)) return; // a line too long to be a print line
    RxBuffer.push_back(static_cast<char>(b));
    if (b != static_cast<uint8_t>(Definir::LF)) return;
    const auto has = [this](const char* label) {
        return RxBuffer.find(label) != std::string::npos;
    };
    if (has(kTotal) || has(kGross) || has(kTare) || has(kNet)) {
        ParseFrame(RxBuffer);
        FrameTaken();
        return;
    }
    RxBuffer.clear(); // headers, blank lines: dropped
}

void TMSI6260Bal::ParseFrame(const std::string& text) {
    const std::string t = WithLocaleSeparator(text);
    TClDunor& ch = Ch();
    SetUnitOnlyStatus(*this, ch, t.find("KG") != std::string::npos ? "KG" : "LB");
    ch.TotalText = ExtractValue(t, kTotal);
    ch.GrossText = ExtractValue(t, kGross);
    ch.NetText = ExtractValue(t, kNet);
    ch.TareText = ExtractValue(t, kTare);
    RxBuffer.clear();
}

std::string TMSI6260Bal::ExtractValue(const std::string& text, const std::string& label) const {
    const size_t p = text.find(label);
    if (p == std::string::npos) return kMissing;
    const size_t q = text.find(WeightUnit);
    if (q == std::string::npos) return kMissing;
    // The label, one more character, then the value; it ends two characters before the
    // unit (the character just before the unit belongs to neither).
    const size_t start = p + 7;
    if (q < start + 1) return "";
    return text.substr(start, q - 1 - start);
}
