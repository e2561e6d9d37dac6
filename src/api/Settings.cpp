// Serial settings of a channel, the converter's buffer commands and the version texts.
#include "tarvel6.h"

#include "Channels.h"
#include "Guarded.h"
#include "Messages.h"

namespace {

// ClrBufRx and ClrBufTx: "R" or "W" + the converter channel's letter.
int32_t ClearBuffer(int32_t ipIndex, const char* letter, const char* command) {
    if (!Valida_Ip(ipIndex)) return TARVEL_FAILED;
    const std::string text = UpperText(letter);
    if (!Valida_CanalSerial(text)) return TARVEL_FAILED;
    return IoCommand(ipIndex, command + text);
}

} // namespace

extern "C" {

// Result: 1 once the new settings are in place (the port closed, reopened by the channel's
// next poll); 0 when the index names no channel or the channel has no serial port, and
// then nothing changes.
int32_t TARVEL_CALL ProgSerial(int32_t channel, int32_t baud, uint32_t dataBits, int32_t parity,
                               uint32_t stopBits) {
    return Guarded<int32_t>(
        "ProgSerial", 0,
        [&]() -> int32_t {
            TClDunor* ch = ChannelAt(channel);
            if (ch == nullptr || !ch->SerialModule) return 0;
            auto& com = ch->SerialModule->SerCom;
            com.SetOpen(false);
            com.Settings.baud = baud;
            com.Settings.dataBits = static_cast<uint16_t>(dataBits & 0xFFFFu);
            com.Settings.stopBits = static_cast<uint16_t>(stopBits & 0xFFFFu);
            com.Settings.parity = parity == 1   ? plat::ParityOdd
                                  : parity == 2 ? plat::ParityEven
                                                : plat::ParityNone;
            return 1;
        },
        channel, baud, dataBits, parity, stopBits);
}

int32_t TARVEL_CALL ClrBufRx(int32_t ipIndex, const char* letter) {
    return Guarded<int32_t>(
        "ClrBufRx", TARVEL_FAILED, [&] { return ClearBuffer(ipIndex, letter, "R"); }, ipIndex,
        letter);
}

int32_t TARVEL_CALL ClrBufTx(int32_t ipIndex, const char* letter) {
    return Guarded<int32_t>(
        "ClrBufTx", TARVEL_FAILED, [&] { return ClearBuffer(ipIndex, letter, "W"); }, ipIndex,
        letter);
}

void TARVEL_CALL FirVer(const char** product, const char** version, const char** p3,
                        const char** p4, const char** name) {
    GuardedVoid("FirVer", [&] {
        if (product != nullptr) *product = "TARVEL";
        if (version != nullptr) *version = "2.0.15";
        if (p3 != nullptr) *p3 = "";
        if (p4 != nullptr) *p4 = "";
        if (name != nullptr) *name = "Tarvel6";
    });
}

} // extern "C"
