// TDMSerialDll: the serial transport of a channel, holding its local serial port SerCom.
#pragma once

#include "platform.h"

#include <functional>
#include <memory>
#include <string>

// The serial port with its settings. Settings changed while open take effect at once;
// while closed, at the next open.
class TSerCom {
  public:
    TSerCom();

    plat::SerialSettings Settings; // ComNumber 2, 4800 baud, 7 bits, no parity, 1 stop, DTR/RTS on
    bool AutoOpen = false;         // never opened by creating the module

    std::function<void(uint16_t)>& OnTriggerAvail() { return port_->OnTriggerAvail; }

    // Opens (true) or closes (false) the port; false when opening failed.
    bool SetOpen(bool open);
    bool Open() const { return port_->IsOpen(); }
    // Re-applies Settings to an open port.
    bool ApplySettings();

    bool GetChar(char& c) { return port_->GetChar(c); }
    bool WriteStr(const std::string& s) { return port_->Write(s); }

  private:
    std::unique_ptr<plat::SerialPort> port_;
};

class TDMSerialDll {
  public:
    TDMSerialDll() = default;
    ~TDMSerialDll();
    TDMSerialDll(const TDMSerialDll&) = delete;
    TDMSerialDll& operator=(const TDMSerialDll&) = delete;

    TSerCom SerCom;
};
