// The converter's digital inputs and outputs over its IO command connection (port 8880).
#include "tarvel6.h"

#include "Channels.h"
#include "Guarded.h"
#include "IoExchange.h"
#include "Messages.h"

#include <array>
#include <string>

namespace {

const char* const kNoPortText = "EEEEEEEE";

// The text DIO_InPortStr hands out; it stays as it is until that function's next call.
std::array<char, 9> g_inPortText{};

const char* InPortText(const char* text) {
    std::string(text).copy(g_inPortText.data(), 8);
    g_inPortText[8] = '\0';
    return g_inPortText.data();
}

} // namespace

bool IoExchange(int32_t ipIndex, const std::string& command, std::string& reply) {
    reply.clear();
    const std::optional<std::string> address = IpAddressOf(ipIndex);
    if (!address) return true;
    const IoReply r = IoExchangeWith(*address, command);
    reply = r.text;
    return r.ok;
}

int32_t IoCommand(int32_t ipIndex, const std::string& command) {
    const std::optional<std::string> address = IpAddressOf(ipIndex);
    if (!address) return -1;
    const IoReply r = IoExchangeWith(*address, command);
    // Without a connection nothing was sent: that is a failure, as a failed send is. The
    // reply itself is not examined.
    return r.connected && r.ok ? 0 : -1;
}

int32_t InPortValue(int32_t ipIndex) {
    std::string reply;
    if (!IoExchange(ipIndex, "IN", reply)) return -1;
    return InPortOfReply(reply);
}

namespace {

int32_t InPort(int32_t ipIndex) {
    if (!Valida_Ip(ipIndex)) return TARVEL_FAILED;
    return InPortValue(ipIndex);
}

int32_t InBit(int32_t ipIndex, int32_t bit) {
    const int32_t v = InPort(ipIndex);
    if (v == TARVEL_FAILED) return TARVEL_FAILED;
    return (static_cast<uint32_t>(v) >> (static_cast<uint32_t>(bit) & 31u)) & 1u;
}

int32_t OutPort(int32_t ipIndex, int32_t value) {
    if (!Valida_Ip(ipIndex)) return TARVEL_FAILED;
    return IoCommand(ipIndex, "OP" + std::to_string(value));
}

int32_t OutBit(int32_t ipIndex, const std::string& state, int32_t bit) {
    if (!Valida_Ip(ipIndex)) return TARVEL_FAILED;
    return IoCommand(ipIndex, "OB" + state + std::to_string(bit));
}

} // namespace

extern "C" {

int32_t TARVEL_CALL DIO_InPort(int32_t ipIndex) {
    return Guarded<int32_t>(
        "DIO_InPort", TARVEL_FAILED, [&] { return InPort(ipIndex); }, ipIndex);
}

const char* TARVEL_CALL DIO_InPortStr(int32_t ipIndex) {
    return Guarded<const char*>(
        "DIO_InPortStr", kNoPortText,
        [&]() -> const char* {
            const int32_t v = InPort(ipIndex);
            if (v == TARVEL_FAILED) return InPortText(kNoPortText);
            return InPortText(PortBits(v).c_str());
        },
        ipIndex);
}

int32_t TARVEL_CALL DIO_InBit(int32_t ipIndex, int32_t bit) {
    return Guarded<int32_t>(
        "DIO_InBit", TARVEL_FAILED, [&] { return InBit(ipIndex, bit); }, ipIndex, bit);
}

int32_t TARVEL_CALL DIO_InBitStr(int32_t ipIndex, int32_t bit) {
    return Guarded<int32_t>(
        "DIO_InBitStr", TARVEL_FLAG_UNKNOWN,
        [&]() -> int32_t {
            if (!Valida_Ip(ipIndex)) return TARVEL_FLAG_UNKNOWN;
            switch (InBit(ipIndex, bit)) {
            case 1:
                return TARVEL_FLAG_YES;
            case 0:
                return TARVEL_FLAG_NO;
            default:
                return TARVEL_FLAG_UNKNOWN;
            }
        },
        ipIndex, bit);
}

int32_t TARVEL_CALL DIO_OutPort(int32_t ipIndex, int32_t value) {
    return Guarded<int32_t>(
        "DIO_OutPort", TARVEL_FAILED, [&] { return OutPort(ipIndex, value); }, ipIndex, value);
}

int32_t TARVEL_CALL DIO_OutPortStr(int32_t ipIndex, const char* bits) {
    return Guarded<int32_t>(
        "DIO_OutPortStr", TARVEL_FAILED,
        [&] {
            // Position i (from 1) stands for 2^(i-1), in 32-bit arithmetic: positions past
            // 32 add nothing.
            uint32_t value = 0;
            const std::string text = bits != nullptr ? bits : "";
            for (size_t i = 0; i < text.size() && i < 32; ++i)
                if (text[i] == TARVEL_FLAG_YES) value += 1u << i;
            return OutPort(ipIndex, static_cast<int32_t>(value));
        },
        ipIndex, bits);
}

int32_t TARVEL_CALL DIO_OutBit(int32_t ipIndex, int32_t bit, int32_t state) {
    return Guarded<int32_t>(
        "DIO_OutBit", TARVEL_FAILED, [&] { return OutBit(ipIndex, std::to_string(state), bit); },
        ipIndex, bit, state);
}

int32_t TARVEL_CALL DIO_OutBitStr(int32_t ipIndex, int32_t bit, const char* state) {
    return Guarded<int32_t>(
        "DIO_OutBitStr", TARVEL_FAILED,
        [&] {
            const bool on = state != nullptr && std::string(state) == "S";
            return OutBit(ipIndex, on ? "1" : "0", bit);
        },
        ipIndex, bit, state);
}

} // extern "C"
