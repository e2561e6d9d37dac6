#include "DataMSerial.h"

TSerCom::TSerCom() : port_(plat::NewSerialPort()) {}

bool TSerCom::SetOpen(bool open) {
    if (!open) {
        port_->Close();
        return true;
    }
    return port_->Open(Settings);
}

bool TSerCom::ApplySettings() {
    return port_->IsOpen() ? port_->Apply(Settings) : true;
}

TDMSerialDll::~TDMSerialDll() {
    SerCom.OnTriggerAvail() = nullptr;
    SerCom.SetOpen(false);
}
