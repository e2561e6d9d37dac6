// The exported channel functions: registry, constructors, lifecycle, polling and values.
#include "tarvel6.h"

#include "Definir.h"
#include "Exports.h"
#include "Guarded.h"
#include "TBal.h"
#include "W_5817.h"
#include "W_KRT.h"
#include "W_MSI3360.h"
#include "W_MSI6260.h"
#include "W_Ohaus.h"
#include "platform.h"

#include <algorithm>
#include <cstring>

namespace {

const char* const kNoValue = "EEEEEEEEEE";
constexpr uint32_t kConnectLimitMs = 10000;

std::unique_ptr<TBal> NewDriver(int32_t deviceType, TClDunor* ch, int32_t index) {
    switch (deviceType) {
    case kDevice5817:
    case kDevice5817C:
        return std::make_unique<T5817Bal>(ch, index);
    case kDeviceOhaus:
        return std::make_unique<TOhausBal>(ch, index);
    case kDeviceMSI3360:
        return std::make_unique<TMSI3360Bal>(ch, index);
    case kDeviceMSI6260:
        return std::make_unique<TMSI6260Bal>(ch, index);
    case kDeviceKRT:
        return std::make_unique<TKRTBal>(ch, index);
    default:
        return nullptr;
    }
}

const char* ModelText(int32_t deviceType) {
    switch (deviceType) {
    case kDevice5817:
    case kDevice5817C:
        return "5817";
    case kDeviceOhaus:
        return "Ohaus";
    case kDeviceMSI3360:
        return "MSI3360";
    case kDeviceMSI6260:
        return "MSI6260";
    case kDeviceKRT:
        return "KRT";
    default:
        return "";
    }
}

// Appends a slot with a new channel of `deviceType`: `attach` gives it its transport, then
// its driver is created and `fill` completes it. A failure anywhere removes the slot
// again, so the table is as before the call.
template <class Attach, class Fill>
int32_t AppendChannel(int32_t deviceType, Attach&& attach, Fill&& fill) {
    const auto n = static_cast<int32_t>(ChannelTable.size());
    ChannelTable.emplace_back();
    try {
        auto ch = std::make_shared<TClDunor>();
        ChannelTable.back() = ch;
        attach(*ch);
        ch->Driver = NewDriver(deviceType, ch.get(), n);
        if (!ch->Driver) throw std::runtime_error("no driver for this device type");
        fill(*ch);
        ch->ModelName = ModelText(deviceType);
        ch->DeviceType = deviceType;
        ch->ChannelState = kStateIdle;
        return n;
    } catch (...) {
        ChannelTable.resize(static_cast<size_t>(n));
        return -1;
    }
}

struct SerialLine {
    int32_t baud;
    uint16_t dataBits;
    int parity;
    uint16_t stopBits;
    bool clearDtrRts;
};

SerialLine LineOf(int32_t deviceType) {
    switch (deviceType) {
    case kDeviceOhaus:
        return {9600, 7, plat::ParityEven, 2, false};
    case kDeviceMSI3360:
        return {9600, 8, plat::ParityNone, 1, true};
    case kDeviceMSI6260:
        return {1200, 7, plat::ParityMark, 1, true};
    default:
        return {4800, 7, plat::ParityEven, 1, true}; // 5817 and KRT
    }
}

} // namespace

// NewTcpChannel: the path of every TCP constructor.
int32_t NewTcpChannel(int32_t ipIndex, const char* letter, int32_t deviceType) {
    if (!Valida_Ip(ipIndex)) return -1;
    const std::string text = UpperText(letter);
    if (!Valida_CanalSerial(text)) return -1;
    return AppendChannel(
        deviceType, [](TClDunor& ch) { ch.TcpModule = std::make_unique<TDMDLL>(); },
        [&](TClDunor& ch) {
            ch.IpIndex = ipIndex;
            ch.ConverterChannel = text[0] - 'A' + 1;
            ch.TcpPort = ch.ConverterChannel + 8880;
            // The Ohaus driver reads its connection itself, once per pass of its wait.
            if (deviceType != kDeviceOhaus) {
                TBal* drv = ch.Driver.get();
                ch.TcpModule->SocLeitura->OnRead = [drv] { drv->SocketRead(); };
            }
        });
}

// NewSerialChannel: the path of every serial constructor; it validates nothing.
int32_t NewSerialChannel(int32_t comNumber, int32_t deviceType) {
    return AppendChannel(
        deviceType, [](TClDunor& ch) { ch.SerialModule = std::make_unique<TDMSerialDll>(); },
        [&](TClDunor& ch) {
            const SerialLine line = LineOf(deviceType);
            auto& com = ch.SerialModule->SerCom;
            com.Settings.baud = line.baud;
            com.Settings.dataBits = line.dataBits;
            com.Settings.parity = line.parity;
            com.Settings.comNumber = static_cast<uint16_t>(comNumber & 0xFFFF);
            com.Settings.stopBits = line.stopBits;
            if (line.clearDtrRts) {
                com.Settings.dtr = false;
                com.Settings.rts = false;
            }
            com.AutoOpen = false;
        });
}

namespace {

// Converts a weight text the way the drivers wrote it: blanks around, a sign directly
// before the first digit, the system decimal separator. Anything else fails (0.0).
double WeightValue(const std::string& text) {
    const char sep = TBal::Sep();
    size_t b = text.find_first_not_of(' ');
    size_t e = text.find_last_not_of(' ');
    if (b == std::string::npos) return 0.0;
    std::string t = text.substr(b, e - b + 1);
    bool neg = false;
    size_t i = 0;
    if (t[0] == '-' || t[0] == '+') {
        neg = t[0] == '-';
        i = 1;
    }
    double value = 0.0, scale = 1.0;
    bool digits = false, afterSep = false;
    for (; i < t.size(); ++i) {
        const char c = t[i];
        if (c >= '0' && c <= '9') {
            digits = true;
            if (afterSep) {
                scale /= 10.0;
                value += (c - '0') * scale;
            } else {
                value = value * 10.0 + (c - '0');
            }
        } else if (c == sep && !afterSep) {
            afterSep = true;
        } else {
            return 0.0;
        }
    }
    if (!digits) return 0.0;
    return neg ? -value : value;
}

// The channel whose values can be read: it exists, has a transport and is not closed.
const TClDunor* ValueChannel(int32_t channel) {
    const TClDunor* ch = ChannelAt(channel);
    if (ch == nullptr || (!ch->SerialModule && !ch->TcpModule)) return nullptr;
    return ch->ChannelState == kStateClosed ? nullptr : ch;
}

const char* ValueText(int32_t channel, std::string TClDunor::*field) {
    const TClDunor* ch = ValueChannel(channel);
    return ch != nullptr ? (ch->*field).c_str() : kNoValue;
}

double ValueFloat(int32_t channel, std::string TClDunor::*field) {
    const TClDunor* ch = ValueChannel(channel);
    return ch != nullptr ? WeightValue(ch->*field) : 0.0;
}

} // namespace

// ---- connect and poll, shared with LePesoConsecutivo -----------------------------------

int32_t SelectChannel(int32_t channel, uint32_t limitMs) {
    if (!Valida_Canal(channel)) return 0;
    TClDunor* ch = ChannelAt(channel);
    if (!ch->TcpModule) return 1;
    if (ch->TcpModule->SocLeitura->Active()) return 1;
    if (ch->IpIndex < 0 || static_cast<size_t>(ch->IpIndex) >= IpTable.size()) return 0;
    ChannelUse use(ch);
    auto& sock = *ch->TcpModule->SocLeitura;
    const std::string address = IpTable[static_cast<size_t>(ch->IpIndex)].Text();
    sock.Open(address, ch->TcpPort);
    const uint32_t start = plat::TickCount();
    for (;;) {
        if (use.Released()) return 0;
        if (sock.Active()) return 1;
        const uint32_t elapsed = plat::TickCount() - start;
        if (sock.ConnectFailed() || elapsed >= limitMs) {
            const bool refused = sock.ConnectFailed();
            sock.Close();
            ch->PendingErrorText = "N\xE3o foi poss\xEDvel conectar ao conversor " + address +
                                   " porta " + std::to_string(ch->TcpPort) +
                                   (refused ? " (conex\xE3o recusada)." : " (tempo esgotado).");
            return 0;
        }
        plat::ProcessMessages();
        if (sock.Active() || sock.ConnectFailed() || use.Released()) continue;
        plat::WaitMessages(std::min<uint32_t>(limitMs - elapsed, 1000));
    }
}

namespace {
uint32_t g_pollCount = 0;
}

uint32_t PollCount() {
    return g_pollCount;
}

int32_t PollChannel(int32_t channel, int32_t timeOut) {
    TClDunor* ch = ChannelAt(channel);
    try {
        // An empty slot, a closed channel, a poll of it already waiting further up the stack
        // (state 0), or a serial channel closed without its driver: refused.
        if (ch == nullptr || ch->ChannelState != kStateIdle || !ch->Driver) return 1;
        TBal* drv = ch->Driver.get();
        const auto t = static_cast<uint32_t>(timeOut);
        // Runs the poll of the driver class chosen below. Closed or deleted from inside its
        // own wait, the poll ends with its failure value.
        const auto run = [&](auto* driver) -> int32_t {
            ChannelUse use(ch);
            ++g_pollCount;
            const int32_t result = driver->Poll(channel, t);
            return use.Released() ? 1 : result;
        };
        // The driver class by device type; any other type is refused.
        switch (ch->DeviceType) {
        case kDevice5817:
        case kDevice5817C:
            return run(static_cast<T5817Bal*>(drv));
        case kDeviceOhaus:
            return run(static_cast<TOhausBal*>(drv));
        case kDeviceMSI3360:
            return run(static_cast<TMSI3360Bal*>(drv));
        case kDeviceMSI6260:
            return run(static_cast<TMSI6260Bal*>(drv));
        case kDeviceKRT:
            return run(static_cast<TKRTBal*>(drv));
        default:
            return 1;
        }
    } catch (...) {
        if (ChannelAt(channel) == ch && ch != nullptr && ch->ChannelState == kStatePolling)
            ch->ChannelState = kStateIdle;
        return 1;
    }
}

// ---- exports -----------------------------------------------------------------------------

extern "C" {

int32_t TARVEL_CALL Seta_Ip(const char* address) {
    return Guarded<int32_t>(-1, [&]() -> int32_t {
        const size_t len = address != nullptr ? std::strlen(address) : 0;
        if (address == nullptr || len > 16) {
            LastError = SetaIpRejected();
            return -1;
        }
        const std::string text(address, len);
        for (size_t i = 0; i < IpTable.size(); ++i)
            if (IpTable[i].Text() == text) return static_cast<int32_t>(i);
        TIpProg rec;
        std::copy(text.begin(), text.end(), rec.IpAddress.begin());
        IpTable.push_back(rec);
        return static_cast<int32_t>(IpTable.size() - 1);
    });
}

const char* TARVEL_CALL Display_Erro(int32_t channel) {
    return Guarded<const char*>("", [&]() -> const char* {
        TClDunor* ch = ChannelAt(channel);
        if (ch == nullptr) return "";
        ch->ErrorText = ch->PendingErrorText;
        ch->PendingErrorText.clear();
        return ch->ErrorText.c_str();
    });
}

#define TARVEL_TCP_CTOR(name, type)                                                                \
    int32_t TARVEL_CALL name(int32_t ipIndex, const char* letter) {                                \
        return Guarded<int32_t>(-1, [&] { return NewTcpChannel(ipIndex, letter, type); });         \
    }
#define TARVEL_SERIAL_CTOR(name, type)                                                             \
    int32_t TARVEL_CALL name(int32_t comNumber) {                                                  \
        return Guarded<int32_t>(-1, [&] { return NewSerialChannel(comNumber, type); });            \
    }

TARVEL_TCP_CTOR(W5817, kDevice5817)
TARVEL_TCP_CTOR(W5817C, kDevice5817C)
TARVEL_SERIAL_CTOR(W5817Serial, kDevice5817)
TARVEL_SERIAL_CTOR(W5817SerialC, kDevice5817C)
TARVEL_TCP_CTOR(WKRT, kDeviceKRT)
TARVEL_SERIAL_CTOR(WKRTSerial, kDeviceKRT)
TARVEL_TCP_CTOR(WOhaus, kDeviceOhaus)
TARVEL_SERIAL_CTOR(WOhausSerial, kDeviceOhaus)
TARVEL_TCP_CTOR(WMSI3360, kDeviceMSI3360)
TARVEL_SERIAL_CTOR(WMSI3360Serial, kDeviceMSI3360)
TARVEL_TCP_CTOR(WMSI6260, kDeviceMSI6260)
TARVEL_SERIAL_CTOR(WMSI6260Serial, kDeviceMSI6260)

int32_t TARVEL_CALL Select_Canal(int32_t channel) {
    return Guarded<int32_t>(0, [&] { return SelectChannel(channel, kConnectLimitMs); });
}

void TARVEL_CALL Close_Canal(int32_t channel) {
    Guarded<int>(0, [&] {
        CloseChannel(channel);
        return 0;
    });
}

void TARVEL_CALL Deleta_Canal(int32_t channel) {
    Guarded<int>(0, [&] {
        DeleteChannel(channel);
        return 0;
    });
}

int32_t TARVEL_CALL Update_Canal(int32_t channel) {
    return Guarded<int32_t>(1, [&] { return PollChannel(channel, -1); });
}

int32_t TARVEL_CALL Update_NoMotion(int32_t channel, int32_t timeoutMs) {
    return Guarded<int32_t>(1, [&] { return PollChannel(channel, timeoutMs); });
}

#define TARVEL_TEXT(name, field)                                                                   \
    const char* TARVEL_CALL name(int32_t channel) {                                                \
        return Guarded<const char*>(kNoValue, [&] { return ValueText(channel, field); });          \
    }
#define TARVEL_FLOAT(name, field)                                                                  \
    double TARVEL_CALL name(int32_t channel) {                                                     \
        return Guarded<double>(0.0, [&] { return ValueFloat(channel, field); });                   \
    }

TARVEL_TEXT(Gross_Canal, &TClDunor::GrossText)
TARVEL_TEXT(Net_Canal, &TClDunor::NetText)
TARVEL_TEXT(Tare_Canal, &TClDunor::TareText)
TARVEL_TEXT(Total_Canal, &TClDunor::TotalText)
TARVEL_TEXT(Contadora_Canal, &TClDunor::CounterText)
TARVEL_TEXT(Estado_Canal, &TClDunor::StatusText)
TARVEL_TEXT(Estado_EmMovimento, &TClDunor::MotionText)
TARVEL_FLOAT(Gross_Canal_Float, &TClDunor::GrossText)
TARVEL_FLOAT(Net_Canal_Float, &TClDunor::NetText)
TARVEL_FLOAT(Tare_Canal_Float, &TClDunor::TareText)

int32_t TARVEL_CALL LePesoConsecutivo(int32_t channel, int32_t seconds, int32_t count) {
    return Guarded<int32_t>(1, [&]() -> int32_t {
        if (seconds == 0) seconds = 10;
        if (count == 0) count = 10;
        if (channel == -1) return -1;
        int32_t result = 7;
        const uint32_t start = plat::TickCount();
        const uint32_t limit = static_cast<uint32_t>(seconds) * 1000u;
        auto elapsed = [&] { return static_cast<uint32_t>(plat::TickCount() - start); };
        double reference = 0.0;
        int32_t run = 0;
        while (elapsed() <= limit) {
            plat::ProcessMessages();
            plat::WaitMessages(1);
            // Reconnect a dropped connection, but never wait past this call's own limit.
            const uint32_t left = elapsed() <= limit ? limit - elapsed() : 0;
            SelectChannel(channel, std::min(kConnectLimitMs, std::max<uint32_t>(left, 1)));
            result = PollChannel(channel, -1);
            if (result != 0) continue;
            const double value = ValueFloat(channel, &TClDunor::NetText);
            if (value == reference) {
                if (++run >= count) {
                    result = 0;
                    break;
                }
            } else {
                run = 0;
                reference = value;
            }
        }
        if (elapsed() > limit && result == 0) result = 7;
        return result;
    });
}

} // extern "C"
