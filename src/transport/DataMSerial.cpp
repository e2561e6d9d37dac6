#include "DataMSerial.h"

TSerCom::TSerCom() : port_(plat::NewSerialPort()) {}

bool TSerCom::SetOpen(bool open) {
    if (!open) {
        port_->Close();
        return true;
    }
    return port_->Open(Settings);
}

TDMSerialDll::~TDMSerialDll() {
    SerCom.OnTriggerAvail() = nullptr;
    SerCom.SetOpen(false);
}
