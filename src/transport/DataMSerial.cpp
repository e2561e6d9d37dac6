#include "DataMSerial.h"

TSerCom::TSerCom() : port_(plat::NewSerialPort()) {}

bool TSerCom::SetOpen(bool open) {
    if (!open) return port_->Close();
    return port_->Open(Settings);
}

TDMSerialDll::~TDMSerialDll() {
    SerCom.OnTriggerAvail() = nullptr;
    SerCom.SetOpen(false);
}
