// TDMSerialDll: the serial transport of a channel, holding its local serial port SerCom.
#pragma once

#include "platform.h"

#include <functional>
#include <memory>
#include <string>

// The serial port with its settings. New settings are used from the port's next open
// (ProgSerial closes the port first).
class TSerCom {
  public:
    TSerCom();

    plat::SerialSettings Settings; // ComNumber 2, 4800 baud, 7 bits, no parity, 1 stop, DTR/RTS on

    std::function<void(uint16_t)>& OnTriggerAvail() { return port_->OnTriggerAvail; }

    // Opens (true) or closes (false) the port; false when opening failed (FailureText says
    // why).
    bool SetOpen(bool open);
    bool Open() const { return port_->IsOpen(); }
    std::string FailureText() const { return port_->FailureText(); }
    // Whether the calling thread may open and close the port (the one that created it).
    bool OwnedHere() const { return port_->OwnedHere(); }

    // Takes what waits in the receive buffer, at most `size` characters.
    size_t Read(void* buf, size_t size) { return port_->Read(buf, size); }
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
