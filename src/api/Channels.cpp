#include "Channels.h"

#include "Messages.h"
#include "TBal.h"
#include "Trace.h"
#include "platform.h"

#include <cassert>

std::vector<TIpProg> IpTable;
std::vector<std::shared_ptr<TClDunor>> ChannelTable;
// Here, with the tables, so that the finalization below runs before any of them is gone.
std::string LastError;

std::string TIpProg::Text() const {
    size_t n = 0;
    while (n < IpAddress.size() && IpAddress[n] != '\0')
        ++n;
    return std::string(IpAddress.data(), n);
}

std::optional<std::string> IpAddressOf(int32_t ipIndex) {
    if (ipIndex < 0 || static_cast<size_t>(ipIndex) >= IpTable.size()) return std::nullopt;
    return IpTable[static_cast<size_t>(ipIndex)].Text();
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

void TClDunor::Take(const TReading& r) {
    TValueTexts::Take(r, plat::DecimalSeparator());
    if (r.gross.form != TWeightField::Form::None) GrossValue = r.gross.value;
    if (r.net.form != TWeightField::Form::None) NetValue = r.net.value;
    if (r.tare.form != TWeightField::Form::None) TareValue = r.tare.value;
    if (r.hasStatus) Unit = r.unit;
}

void TClDunor::StartPoll(const char* grossTare) {
    TValueTexts::StartPoll(grossTare);
    // "0" is a zero; the Ohaus's "EEEEEEEEEE" is no number.
    const std::optional<TWeight> start =
        std::string_view(grossTare) == "0" ? std::optional<TWeight>(TWeight{}) : std::nullopt;
    GrossValue = start;
    NetValue = TWeight{};
    TareValue = start;
}

bool TClDunor::OwnedHere() const {
    if (TcpModule && !TcpModule->SocLeitura->OwnedHere()) return false;
    if (SerialModule && !SerialModule->SerCom.OwnedHere()) return false;
    return true;
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

// A transport belongs to the thread that opened it: its notifications run there, and that
// thread's table of notification sources holds it. Another thread may not take it away.
bool RefuseForeignThread(TClDunor& ch, int32_t index, const char* what) {
    if (ch.OwnedHere()) return false;
    assert(!"a channel is closed or deleted from a thread that did not open it");
    ch.PendingErrorText = ForeignThreadRefused(index);
    if (trace::On())
        trace::Line("channel " + std::to_string(index) + ": " + what +
                    " refused: called from a thread that did not open its transport");
    return true;
}

} // namespace

bool CloseChannel(int32_t index) {
    TClDunor* ch = ChannelAt(index);
    if (ch == nullptr) return true;
    if (RefuseForeignThread(*ch, index, "close")) return false;
    if (ch->UseCount > 0)
        DeferRelease(*ch);
    else
        ch->ReleaseTransports();
    return true;
}

bool DeleteChannel(int32_t index) {
    if (index >= 0 && static_cast<size_t>(index) < ChannelTable.size()) {
        auto& slot = ChannelTable[static_cast<size_t>(index)];
        if (slot && RefuseForeignThread(*slot, index, "delete")) return false;
        // While in use, the waiting call keeps the object alive; it is destroyed when that
        // call ends.
        if (slot && slot->UseCount > 0) DeferRelease(*slot);
        slot.reset();
    }
    bool allEmpty = true;
    for (auto& c : ChannelTable)
        if (c) allEmpty = false;
    if (allEmpty) ChannelTable.clear();
    return true;
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
