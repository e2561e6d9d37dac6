#include "Definir.h"

#include "TBal.h"
#include "platform.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

std::vector<TIpProg> IpTable;
std::vector<std::shared_ptr<TClDunor>> ChannelTable;
std::string LastError;

namespace {

// The messages are single-byte (Windows-1252) texts; each has two lines separated by
// line feed then carriage return.
const char* const kLineBreak = "\n\r";

std::string Msg(std::initializer_list<std::string> parts) {
    std::string s;
    for (auto& p : parts)
        s += p;
    return s;
}

} // namespace

std::string TIpProg::Text() const {
    size_t n = 0;
    while (n < IpAddress.size() && IpAddress[n] != '\0')
        ++n;
    return std::string(IpAddress.data(), n);
}

// ---- channel ----------------------------------------------------------------------------

TClDunor::~TClDunor() {
    // Release order: TCP module, serial module, driver.
    try {
        TcpModule.reset();
        SerialModule.reset();
        Driver.reset();
    } catch (...) {
    }
}

void TClDunor::ReleaseTransports() {
    if (TcpModule) {
        ChannelState = kStateClosed;
        TcpModule->SocLeitura->Close();
        TcpModule->SocLeitura->OnRead = nullptr;
        Driver.reset();
        TcpModule.reset();
    }
    if (SerialModule) {
        try {
            SerialModule->SerCom.SetOpen(false);
            Driver.reset();
            SerialModule.reset();
        } catch (...) {
        }
        // A closed serial channel stays idle; the value functions see it has no transport.
        ChannelState = kStateIdle;
    }
}

ChannelUse::ChannelUse(TClDunor* ch) {
    if (ch == nullptr) return;
    ch_ = ch->shared_from_this();
    ++ch_->UseCount;
}

ChannelUse::~ChannelUse() {
    if (!ch_) return;
    if (--ch_->UseCount == 0 && ch_->ClosePending) {
        try {
            ch_->ReleaseTransports();
        } catch (...) {
        }
    }
}

TClDunor* ChannelAt(int32_t index) {
    if (index < 0 || static_cast<size_t>(index) >= ChannelTable.size()) return nullptr;
    return ChannelTable[static_cast<size_t>(index)].get();
}

namespace {

// A call further up the stack still uses the channel's transport and driver: its wait ends
// now (the state leaves "polling") and the last ChannelUse releases them when it returns.
void DeferRelease(TClDunor& ch) {
    ch.ClosePending = true;
    ch.ChannelState = kStateClosed;
}

} // namespace

void CloseChannel(int32_t index) {
    TClDunor* ch = ChannelAt(index);
    if (ch == nullptr) return;
    if (ch->UseCount > 0)
        DeferRelease(*ch);
    else
        ch->ReleaseTransports();
}

void DeleteChannel(int32_t index) {
    if (index >= 0 && static_cast<size_t>(index) < ChannelTable.size()) {
        auto& slot = ChannelTable[static_cast<size_t>(index)];
        // While in use, the waiting call keeps the object alive; it is destroyed when that
        // call ends.
        if (slot && slot->UseCount > 0) DeferRelease(*slot);
        slot.reset();
    }
    bool allEmpty = true;
    for (auto& c : ChannelTable)
        if (c) allEmpty = false;
    if (allEmpty) ChannelTable.clear();
}

// ---- validators ---------------------------------------------------------------------------

bool Valida_Ip(int32_t index) {
    if (IpTable.empty()) {
        LastError =
            Msg({"N\xE3o existe IP registrado !", kLineBreak, "Utilize a fun\xE7\xE3o Seta_Ip."});
        return false;
    }
    const int32_t n = static_cast<int32_t>(IpTable.size());
    if (index < 0 || index > n - 1) {
        LastError =
            Msg({"O n\xFAmero de IP registrado (", std::to_string(index), ") est\xE1 errado !",
                 kLineBreak, "Temos ", std::to_string(n), " IP registrado(s)."});
        return false;
    }
    return true;
}

bool Valida_Canal(int32_t index) {
    if (ChannelTable.empty()) {
        LastError = Msg({"N\xE3o existe Canal registrado !", kLineBreak,
                         "Utilize a fun\xE7\xE3o de acordo com o dispositivo "
                         "(W5817,W2946, etc.)."});
        return false;
    }
    const int32_t n = static_cast<int32_t>(ChannelTable.size());
    if (index < 0 || index > n - 1) {
        LastError =
            Msg({"O n\xFAmero de Canal registrado (", std::to_string(index), ") est\xE1 errado !",
                 kLineBreak, "Temos ", std::to_string(n), " Canal(is) registrado(s)."});
        return false;
    }
    if (!ChannelTable[static_cast<size_t>(index)]) {
        LastError = Msg({"O n\xFAmero de Canal registrado (", std::to_string(index),
                         ") n\xE3o est\xE1 inicializado !", kLineBreak});
        return false;
    }
    return true;
}

bool Valida_CanalSerial(const std::string& letter) {
    if (letter == "A" || letter == "B" || letter == "C" || letter == "D") return true;
    LastError = Msg({"O canal (", letter, ") n\xE3o existe !", kLineBreak,
                     "Utilize os canais seriais A,B,C ou D."});
    return false;
}

std::string SetaIpRejected() {
    return Msg({"O endere\xE7o de IP informado est\xE1 vazio ou tem mais de 16 caracteres !",
                kLineBreak, "Utilize um endere\xE7o IPv4 (ex.: 192.168.0.10)."});
}

// ---- helpers ----------------------------------------------------------------------------

std::string LocaleDecimalSeparator() {
    return plat::SystemDecimalSeparator();
}

void TickWait(uint32_t ms) {
    const uint32_t start = plat::TickCount();
    while (static_cast<uint32_t>(plat::TickCount() - start) < ms) {
        // No messages are processed; the processor is yielded between readings.
        plat::SleepMs(1);
    }
}

bool ReadInteger(const std::string& text, long& value) {
    const size_t begin = text.find_first_not_of(' ');
    if (begin == std::string::npos) return false;
    const size_t digits = begin + ((text[begin] == '+' || text[begin] == '-') ? 1 : 0);
    if (digits == text.size()) return false;
    for (size_t k = digits; k < text.size(); ++k)
        if (text[k] < '0' || text[k] > '9') return false;
    value = std::strtol(text.c_str() + begin, nullptr, 10);
    return true;
}

std::string UpperText(const char* s) {
    std::string r = s != nullptr ? s : "";
    for (char& c : r)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return r;
}

void UnloadLibrary() {
    IpTable.clear();
    for (auto& ch : ChannelTable) {
        // The host should have deleted them; what is left is let go without closing.
        if (ch) new std::shared_ptr<TClDunor>(std::move(ch));
    }
    ChannelTable.clear();
    LastError.clear();
}

namespace {
// The unit's finalization, run when the library is unloaded (before the tables themselves
// are destroyed).
struct Finalization {
    ~Finalization() { UnloadLibrary(); }
} g_finalization;
} // namespace
