// The exported channel functions: registry, constructors, lifecycle, polling and values.
#include "tarvel6.h"

#include "Channels.h"
#include "Exports.h"
#include "Family.h"
#include "Guarded.h"
#include "IoExchange.h"
#include "Messages.h"
#include "TBal.h"
#include "Trace.h"
#include "platform.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

const Family& FamilyNamed(const char* model) {
    const Family* f = FamilyOfModel(model);
    if (f == nullptr) throw std::logic_error("no such family");
    return *f;
}

// Appends a slot with a new channel of `family`: `attach` gives it its transport, then its
// driver is created and `fill` completes it. A failure anywhere removes the slot again, so
// the table is as before the call.
template <class Attach, class Fill>
int32_t AppendChannel(const Family& family, Attach&& attach, Fill&& fill) {
    const auto n = static_cast<int32_t>(ChannelTable.size());
    ChannelTable.emplace_back();
    try {
        auto ch = std::make_shared<TClDunor>();
        ChannelTable.back() = ch;
        attach(*ch);
        ch->Driver = MakeDriver(family, *ch, n);
        fill(*ch);
        ch->ModelName = family.modelText;
        ch->DeviceType = family.deviceType;
        ch->ChannelState = kStateIdle;
        return n;
    } catch (...) {
        ChannelTable.resize(static_cast<size_t>(n));
        return -1;
    }
}

} // namespace

// NewTcpChannel: the path of every TCP constructor.
int32_t NewTcpChannel(int32_t ipIndex, const char* letter, const Family& family) {
    if (!Valida_Ip(ipIndex)) return -1;
    const std::string text = UpperText(letter);
    if (!Valida_CanalSerial(text)) return -1;
    return AppendChannel(
        family, [](TClDunor& ch) { ch.TcpModule = std::make_unique<TDMDLL>(); },
        [&](TClDunor& ch) {
            ch.IpIndex = ipIndex;
            ch.ConverterChannel = text[0] - 'A' + 1;
            ch.TcpPort = ConverterPort(text[0]).value_or(0);
            // An asking indicator's driver reads its connection only while its poll waits for
            // the reply; the others take every byte as it arrives.
            if (!family.tcpReadsDuringPollOnly) {
                TBal* drv = ch.Driver.get();
                ch.TcpModule->SocLeitura->OnRead = [drv] { drv->SocketRead(); };
            }
        });
}

// NewSerialChannel: the path of every serial constructor; it validates nothing.
int32_t NewSerialChannel(int32_t comNumber, const Family& family) {
    return AppendChannel(
        family, [](TClDunor& ch) { ch.SerialModule = std::make_unique<TDMSerialDll>(); },
        [&](TClDunor& ch) {
            auto& line = ch.SerialModule->SerCom.Settings;
            line.comNumber = static_cast<uint16_t>(comNumber & 0xFFFF);
            line = SerialLine(family, line);
        });
}

namespace {

// The channel whose values can be read: it exists, has a transport and is not closed.
const TClDunor* ValueChannel(int32_t channel) {
    const TClDunor* ch = ChannelAt(channel);
    if (ch == nullptr || (!ch->SerialModule && !ch->TcpModule)) return nullptr;
    return ch->ChannelState == kStateClosed ? nullptr : ch;
}

const char* ValueText(int32_t channel, std::string TValueTexts::*field) {
    const TClDunor* ch = ValueChannel(channel);
    return ch != nullptr ? (ch->*field).c_str() : kNoValueText;
}

// The number of a weight text, as the reading gave it (0.0 when the text is not a number).
double ValueFloat(int32_t channel, std::optional<TWeight> TClDunor::*field) {
    const TClDunor* ch = ValueChannel(channel);
    if (ch == nullptr || !(ch->*field)) return 0.0;
    return (ch->*field)->Value();
}

} // namespace

// ---- connect and poll, shared with LePesoConsecutivo -----------------------------------

int32_t SelectChannel(int32_t channel, uint32_t limitMs) {
    if (!Valida_Canal(channel)) return 0;
    TClDunor* ch = ChannelAt(channel);
    if (!ch->TcpModule) return 1;
    if (ch->TcpModule->SocLeitura->Active()) return 1;
    const std::optional<std::string> registered = IpAddressOf(ch->IpIndex);
    if (!registered) return 0;
    ChannelUse use(ch);
    auto& sock = *ch->TcpModule->SocLeitura;
    const std::string& address = *registered;
    if (ch->Driver) ch->Driver->Reconnected();
    sock.Open(address, ch->TcpPort);
    const uint32_t start = plat::TickCount();
    for (;;) {
        if (use.Released()) return 0;
        if (sock.Active()) return 1;
        const uint32_t elapsed = plat::TickCount() - start;
        if (sock.ConnectFailed() || elapsed >= limitMs) {
            const bool refused = sock.ConnectFailed();
            if (trace::On())
                trace::Line("channel " + std::to_string(channel) + ": connection to " + address +
                            ":" + std::to_string(ch->TcpPort) + " failed: " +
                            (refused ? sock.FailureText()
                                     : "not made within " + std::to_string(limitMs) + " ms"));
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
        // An empty slot, a closed channel, a device type of no family, a poll of it already
        // waiting further up the stack (state 0), or a serial channel closed without its
        // driver: refused.
        if (ch == nullptr || ch->ChannelState == kStateClosed) return TARVEL_POLL_NO_FRAME;
        if (FamilyOfDevice(ch->DeviceType) == nullptr) return TARVEL_POLL_NO_FRAME;
        if (ch->ChannelState != kStateIdle || !ch->Driver) return TARVEL_POLL_NO_FRAME;
        // Closed or deleted from inside its own wait, the poll ends with its failure value.
        ChannelUse use(ch);
        ++g_pollCount;
        const int32_t result = ch->Driver->Poll(static_cast<uint32_t>(timeOut));
        return use.Released() ? TARVEL_POLL_NO_FRAME : result;
    } catch (...) {
        if (ChannelAt(channel) == ch && ch != nullptr && ch->ChannelState == kStatePolling)
            ch->ChannelState = kStateIdle;
        return TARVEL_POLL_NO_FRAME;
    }
}

// ---- exports -----------------------------------------------------------------------------

extern "C" {

int32_t TARVEL_CALL Seta_Ip(const char* address) {
    return Guarded<int32_t>(
        "Seta_Ip", TARVEL_FAILED,
        [&]() -> int32_t {
            const size_t len = address != nullptr ? std::strlen(address) : 0;
            if (address == nullptr || len > 16) {
                LastError = SetaIpRejected();
                return TARVEL_FAILED;
            }
            const std::string text(address, len);
            for (size_t i = 0; i < IpTable.size(); ++i)
                if (IpTable[i].Text() == text) return static_cast<int32_t>(i);
            TIpProg rec;
            std::copy(text.begin(), text.end(), rec.IpAddress.begin());
            IpTable.push_back(rec);
            return static_cast<int32_t>(IpTable.size() - 1);
        },
        address);
}

const char* TARVEL_CALL Display_Erro(int32_t channel) {
    return Guarded<const char*>(
        "Display_Erro", "",
        [&]() -> const char* {
            TClDunor* ch = ChannelAt(channel);
            if (ch == nullptr) return "";
            ch->ErrorText = ch->PendingErrorText;
            ch->PendingErrorText.clear();
            return ch->ErrorText.c_str();
        },
        channel);
}

// The constructors of each family, one TCP and one serial form, by the family's model name.
#define TARVEL_TCP_CTOR(name, model)                                                               \
    int32_t TARVEL_CALL name(int32_t ipIndex, const char* letter) {                                \
        return Guarded<int32_t>(                                                                   \
            #name, TARVEL_FAILED,                                                                  \
            [&] { return NewTcpChannel(ipIndex, letter, FamilyNamed(model)); }, ipIndex, letter);  \
    }
#define TARVEL_SERIAL_CTOR(name, model)                                                            \
    int32_t TARVEL_CALL name(int32_t comNumber) {                                                  \
        return Guarded<int32_t>(                                                                   \
            #name, TARVEL_FAILED, [&] { return NewSerialChannel(comNumber, FamilyNamed(model)); }, \
            comNumber);                                                                            \
    }

TARVEL_TCP_CTOR(W5817, "5817")
TARVEL_TCP_CTOR(W5817C, "5817c")
TARVEL_SERIAL_CTOR(W5817Serial, "5817")
TARVEL_SERIAL_CTOR(W5817SerialC, "5817c")
TARVEL_TCP_CTOR(WKRT, "krt")
TARVEL_SERIAL_CTOR(WKRTSerial, "krt")
TARVEL_TCP_CTOR(WOhaus, "ohaus")
TARVEL_SERIAL_CTOR(WOhausSerial, "ohaus")
TARVEL_TCP_CTOR(WMSI3360, "msi3360")
TARVEL_SERIAL_CTOR(WMSI3360Serial, "msi3360")
TARVEL_TCP_CTOR(WMSI6260, "msi6260")
TARVEL_SERIAL_CTOR(WMSI6260Serial, "msi6260")

int32_t TARVEL_CALL Select_Canal(int32_t channel) {
    return Guarded<int32_t>(
        "Select_Canal", TARVEL_SELECT_FAILED,
        [&] { return SelectChannel(channel, kConnectLimitMs); }, channel);
}

void TARVEL_CALL Close_Canal(int32_t channel) {
    GuardedVoid(
        "Close_Canal", [&] { CloseChannel(channel); }, channel);
}

void TARVEL_CALL Deleta_Canal(int32_t channel) {
    GuardedVoid(
        "Deleta_Canal", [&] { DeleteChannel(channel); }, channel);
}

int32_t TARVEL_CALL Update_Canal(int32_t channel) {
    return Guarded<int32_t>(
        "Update_Canal", TARVEL_POLL_NO_FRAME, [&] { return PollChannel(channel, -1); }, channel);
}

int32_t TARVEL_CALL Update_NoMotion(int32_t channel, int32_t timeoutMs) {
    return Guarded<int32_t>(
        "Update_NoMotion", TARVEL_POLL_NO_FRAME, [&] { return PollChannel(channel, timeoutMs); },
        channel, timeoutMs);
}

#define TARVEL_TEXT(name, field)                                                                   \
    const char* TARVEL_CALL name(int32_t channel) {                                                \
        return Guarded<const char*>(                                                               \
            #name, kNoValueText, [&] { return ValueText(channel, field); }, channel);              \
    }
#define TARVEL_FLOAT(name, field)                                                                  \
    double TARVEL_CALL name(int32_t channel) {                                                     \
        return Guarded<double>(                                                                    \
            #name, 0.0, [&] { return ValueFloat(channel, field); }, channel);                      \
    }

TARVEL_TEXT(Gross_Canal, &TValueTexts::GrossText)
TARVEL_TEXT(Net_Canal, &TValueTexts::NetText)
TARVEL_TEXT(Tare_Canal, &TValueTexts::TareText)
TARVEL_TEXT(Total_Canal, &TValueTexts::TotalText)
TARVEL_TEXT(Contadora_Canal, &TValueTexts::CounterText)
TARVEL_TEXT(Estado_Canal, &TValueTexts::StatusText)
TARVEL_TEXT(Estado_EmMovimento, &TValueTexts::MotionText)
TARVEL_FLOAT(Gross_Canal_Float, &TClDunor::GrossValue)
TARVEL_FLOAT(Net_Canal_Float, &TClDunor::NetValue)
TARVEL_FLOAT(Tare_Canal_Float, &TClDunor::TareValue)

const char* TARVEL_CALL Unidade_Canal(int32_t channel) {
    return Guarded<const char*>(
        "Unidade_Canal", "",
        [&]() -> const char* {
            const TClDunor* ch = ValueChannel(channel);
            return ch != nullptr ? ch->Unit.c_str() : "";
        },
        channel);
}

int32_t TARVEL_CALL LePesoConsecutivo(int32_t channel, int32_t seconds, int32_t count) {
    return Guarded<int32_t>(
        "LePesoConsecutivo", TARVEL_POLL_NO_FRAME,
        [&]() -> int32_t {
            if (seconds == 0) seconds = 10;
            if (count == 0) count = 10;
            if (channel == -1) return TARVEL_STABLE_NO_CHANNEL;
            int32_t result = TARVEL_STABLE_TIMEOUT;
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
                if (result != TARVEL_POLL_OK) continue;
                const double value = ValueFloat(channel, &TClDunor::NetValue);
                if (value == reference) {
                    if (++run >= count) {
                        result = TARVEL_STABLE_OK;
                        break;
                    }
                } else {
                    run = 0;
                    reference = value;
                }
            }
            if (elapsed() > limit && result == TARVEL_STABLE_OK) result = TARVEL_STABLE_TIMEOUT;
            return result;
        },
        channel, seconds, count);
}

} // extern "C"
