// The address registry and the validators, through the exports, against a model of the two
// tables: Seta_Ip with fuzz-made addresses, the TCP constructors with fuzz-made IP indices and
// channel letters, the serial constructors, Deleta_Canal, Select_Canal, Display_Erro, the
// buffer commands and the digital I/O functions. Calls that would pass their checks and then
// connect to a registered address are replaced by the validators themselves: the fuzz-made
// addresses may well be real ones.
//
// Input: records of one operation byte and a text, each ended by a NUL (the last one may
// end with the input). Each ends with the tables checked against the model; the library is
// unloaded after the last one.
#include "Channels.h"
#include "IoExchange.h"
#include "Messages.h"
#include "Exports.h"
#include "fuzz_check.h"
#include "tarvel6.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using TcpCtor = int32_t(TARVEL_CALL*)(int32_t, const char*);
using SerialCtor = int32_t(TARVEL_CALL*)(int32_t);

struct Model {
    const char* name;
    int32_t deviceType;
    TcpCtor tcp;
    SerialCtor serial;
};
const Model kModels[] = {
    {"5817", 1, W5817, W5817Serial},
    {"5817", 4, W5817C, W5817SerialC},
    {"KRT", 6, WKRT, WKRTSerial},
    {"Ohaus", 2, WOhaus, WOhausSerial},
    {"MSI3360", 3, WMSI3360, WMSI3360Serial},
    {"MSI6260", 5, WMSI6260, WMSI6260Serial},
};

const char* const kUntouched = "(untouched)";
const std::string kBreak = "\n\r";

// The registry as the host should see it.
struct Tables {
    std::vector<std::string> ips;
    std::vector<bool> slots; // occupied or emptied

    bool ValidIp(int32_t i) const {
        return !ips.empty() && i >= 0 && i < static_cast<int32_t>(ips.size());
    }
    bool ValidChannel(int32_t i) const {
        return i >= 0 && i < static_cast<int32_t>(slots.size()) && slots[static_cast<size_t>(i)];
    }

    void CheckIpFailure(int32_t i) const {
        if (ips.empty()) {
            FUZZ_CHECK(LastError == "N\xE3o existe IP registrado !" + kBreak +
                                        "Utilize a fun\xE7\xE3o Seta_Ip.");
            return;
        }
        FUZZ_CHECK(LastError == "O n\xFAmero de IP registrado (" + std::to_string(i) +
                                    ") est\xE1 errado !" + kBreak + "Temos " +
                                    std::to_string(ips.size()) + " IP registrado(s).");
    }
    void CheckChannelFailure(int32_t i) const {
        const std::string number = "O n\xFAmero de Canal registrado (" + std::to_string(i) + ")";
        if (slots.empty())
            FUZZ_CHECK(LastError == "N\xE3o existe Canal registrado !" + kBreak +
                                        "Utilize a fun\xE7\xE3o de acordo com o dispositivo "
                                        "(W5817,W2946, etc.).");
        else if (i < 0 || i >= static_cast<int32_t>(slots.size()))
            FUZZ_CHECK(LastError == number + " est\xE1 errado !" + kBreak + "Temos " +
                                        std::to_string(slots.size()) + " Canal(is) registrado(s).");
        else
            FUZZ_CHECK(LastError == number + " n\xE3o est\xE1 inicializado !" + kBreak);
    }
    // The tables match the model.
    void Check() const {
        FUZZ_CHECK(IpTable.size() == ips.size());
        for (size_t i = 0; i < ips.size(); ++i)
            FUZZ_CHECK(IpTable[i].Text() == ips[i]);
        FUZZ_CHECK(ChannelTable.size() == slots.size());
        for (size_t i = 0; i < slots.size(); ++i)
            FUZZ_CHECK((ChannelTable[i] != nullptr) == slots[i]);
    }
};

std::string Upper(const std::string& s) {
    std::string r = s;
    for (char& c : r)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return r;
}

void CheckLetterFailure(const std::string& upper) {
    FUZZ_CHECK(LastError == "O canal (" + upper + ") n\xE3o existe !" + kBreak +
                                "Utilize os canais seriais A,B,C ou D.");
}

int32_t Index(const std::string& text) {
    return text.empty() ? 0 : static_cast<int8_t>(text[0]);
}

void SetaIp(Tables& t, const std::string& text, bool null) {
    const int32_t r = Seta_Ip(null ? nullptr : text.c_str());
    if (null || text.size() > 16) {
        FUZZ_CHECK(r == -1 &&
                   LastError == "O endere\xE7o de IP informado est\xE1 vazio ou tem mais "
                                "de 16 caracteres !" +
                                    kBreak + "Utilize um endere\xE7o IPv4 (ex.: 192.168.0.10).");
        return;
    }
    FUZZ_CHECK(LastError == kUntouched);
    size_t i = 0;
    while (i < t.ips.size() && t.ips[i] != text)
        ++i;
    if (i == t.ips.size()) t.ips.push_back(text);
    FUZZ_CHECK(r == static_cast<int32_t>(i));
}

void TcpChannel(Tables& t, const Model& m, const std::string& text) {
    const int32_t ip = Index(text);
    const std::string letter = text.empty() ? "" : text.substr(1);
    const int32_t r = m.tcp(ip, letter.c_str());
    if (!t.ValidIp(ip)) {
        FUZZ_CHECK(r == -1);
        t.CheckIpFailure(ip);
        return;
    }
    const std::string upper = Upper(letter);
    if (upper != "A" && upper != "B" && upper != "C" && upper != "D") {
        FUZZ_CHECK(r == -1);
        CheckLetterFailure(upper);
        return;
    }
    FUZZ_CHECK(LastError == kUntouched);
    FUZZ_CHECK(r == static_cast<int32_t>(t.slots.size()));
    t.slots.push_back(true);
    const TClDunor& ch = *ChannelAt(r);
    FUZZ_CHECK(ch.TcpModule && !ch.SerialModule && ch.Driver);
    FUZZ_CHECK(ch.IpIndex == ip && ch.ConverterChannel == upper[0] - 'A' + 1);
    FUZZ_CHECK(ch.TcpPort == 8880 + ch.ConverterChannel);
    FUZZ_CHECK(ch.DeviceType == m.deviceType && ch.ModelName == m.name);
    FUZZ_CHECK(ch.ChannelState == kStateIdle);
}

void SerialChannel(Tables& t, const Model& m, const std::string& text) {
    uint32_t com = 0;
    std::memcpy(&com, text.data(), std::min<size_t>(text.size(), sizeof com));
    const int32_t r = m.serial(static_cast<int32_t>(com));
    FUZZ_CHECK(LastError == kUntouched); // nothing is checked
    FUZZ_CHECK(r == static_cast<int32_t>(t.slots.size()));
    t.slots.push_back(true);
    const TClDunor& ch = *ChannelAt(r);
    FUZZ_CHECK(ch.SerialModule && !ch.TcpModule && ch.Driver);
    FUZZ_CHECK(ch.SerialModule->SerCom.Settings.comNumber == (com & 0xFFFF));
    FUZZ_CHECK(!ch.SerialModule->SerCom.Open()); // opened by the first poll only
    FUZZ_CHECK(ch.DeviceType == m.deviceType && ch.ChannelState == kStateIdle);
}

void Delete(Tables& t, int32_t i) {
    Deleta_Canal(i);
    if (i >= 0 && i < static_cast<int32_t>(t.slots.size())) t.slots[static_cast<size_t>(i)] = false;
    bool any = false;
    for (bool s : t.slots)
        any = any || s;
    if (!any) t.slots.clear();
}

void Select(const Tables& t, int32_t i) {
    if (t.ValidChannel(i)) {
        // Select_Canal would connect: only its check.
        FUZZ_CHECK(Valida_Canal(i) && LastError == kUntouched);
        return;
    }
    FUZZ_CHECK(Select_Canal(i) == 0);
    t.CheckChannelFailure(i);
}

void ClearBuffer(const Tables& t, bool rx, const std::string& text) {
    const int32_t ip = Index(text);
    const std::string letter = text.empty() ? "" : text.substr(1);
    const std::string upper = Upper(letter);
    const bool letterOk = upper == "A" || upper == "B" || upper == "C" || upper == "D";
    if (t.ValidIp(ip) && letterOk) {
        // The command would go to the converter: only the checks.
        FUZZ_CHECK(Valida_Ip(ip) && Valida_CanalSerial(upper) && LastError == kUntouched);
        return;
    }
    FUZZ_CHECK((rx ? ClrBufRx(ip, letter.c_str()) : ClrBufTx(ip, letter.c_str())) == -1);
    if (!t.ValidIp(ip))
        t.CheckIpFailure(ip);
    else
        CheckLetterFailure(upper);
}

void DigitalIo(const Tables& t, int kind, const std::string& text) {
    const int32_t ip = Index(text);
    if (t.ValidIp(ip)) {
        FUZZ_CHECK(Valida_Ip(ip) && LastError == kUntouched);
        return;
    }
    switch (kind % 4) {
    case 0:
        FUZZ_CHECK(DIO_InPort(ip) == -1);
        break;
    case 1:
        FUZZ_CHECK(std::strcmp(DIO_InPortStr(ip), "EEEEEEEE") == 0);
        break;
    case 2:
        FUZZ_CHECK(DIO_InBitStr(ip, 3) == 'E');
        break;
    case 3:
        FUZZ_CHECK(DIO_OutPortStr(ip, text.c_str()) == -1);
        break;
    }
    t.CheckIpFailure(ip);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FUZZ_CHECK(IpTable.empty() && ChannelTable.empty() && LastError.empty());
    Tables t;
    size_t pos = 0;
    while (pos < size) {
        const uint8_t op = data[pos++];
        const char* start = reinterpret_cast<const char*>(data) + pos;
        const size_t len = ::strnlen(start, size - pos);
        const std::string text(start, len); // a NUL-terminated text for the exports
        pos += len + 1;

        LastError = kUntouched;
        const Model& model = kModels[(op >> 3) % 6];
        switch (op % 8) {
        case 0:
            SetaIp(t, text, text.empty() && (op & 0x80) != 0);
            break;
        case 1:
            TcpChannel(t, model, text);
            break;
        case 2:
            SerialChannel(t, model, text);
            break;
        case 3:
            Delete(t, Index(text));
            break;
        case 4:
            Select(t, Index(text));
            break;
        case 5:
            ClearBuffer(t, (op & 0x08) != 0, text);
            break;
        case 6: {
            const char* e = Display_Erro(Index(text));
            FUZZ_CHECK(e != nullptr && *e == '\0'); // no connection failed
            break;
        }
        case 7:
            DigitalIo(t, op >> 3, text);
            break;
        }
        t.Check();
    }

    for (int32_t i = static_cast<int32_t>(ChannelTable.size()) - 1; i >= 0; --i)
        Deleta_Canal(i);
    FUZZ_CHECK(ChannelTable.empty());
    UnloadLibrary();
    FUZZ_CHECK(IpTable.empty() && LastError.empty());
    return 0;
}
