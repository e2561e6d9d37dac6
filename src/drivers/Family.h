// One descriptor per indicator family: everything the constructors, the channel's poll, the
// live core and the tools need to know about a family, read from one const table. Each driver
// file ends with its family's descriptor; Families.cpp lists them, and nothing else does.
#pragma once

#include "../transport/platform.h"
#include "Decoder.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

// One step of the request an asking indicator needs for each reading: bytes sent, then a
// pause before the next step.
struct RequestStep {
    const char* bytes;
    uint32_t pauseAfterMs;
};

struct Family {
    const char* model;     // the tools' name: "5817", "5817c", "krt", "ohaus", ...
    const char* modelText; // ModelName of its channels: "5817", "KRT", "Ohaus", ...
    int32_t deviceType;    // DeviceType of its channels

    // Serial line of its serial constructors.
    int32_t baud;
    uint16_t dataBits;
    int parity; // plat::Parity
    uint16_t stopBits;
    bool modemLines; // DTR and RTS asserted while the port is open

    // Poll timing and results.
    uint32_t defaultWaitMs;         // Update_Canal's wait
    uint32_t portLimitMs;           // how long a poll keeps trying to open the serial port
    bool reportsMotion;             // a host time-out waits for a frame without motion (result 2)
    const char* pollStartGrossTare; // what a poll's start writes in gross and tare
    bool keepsPortOpen;             // the serial port stays open after the poll's frame
    bool suppliesWeights;           // false: the frames carry no weights (the raw variant)

    // How readings are asked for and how bytes arrive: an indicator that sends on its own has
    // no request, and its TCP bytes reach the channel by the connection's read notification
    // from construction on; an asking indicator's TCP bytes are read only while its poll
    // waits for the reply (what arrives in between waits in the connection), and a reply that
    // comes after its poll gave up is still taken.
    std::span<const RequestStep> request;
    bool tcpReadsDuringPollOnly;

    // A new decoder of the family's frames.
    std::unique_ptr<TDecoder> (*decoder)();

    bool Asks() const { return !request.empty(); }
};

// Every family, in the order the tools list them.
std::span<const Family* const> Families();
// The family of a device type, or null.
const Family* FamilyOfDevice(int32_t deviceType);
// The family of a tools' model name (any case), or null.
const Family* FamilyOfModel(std::string_view model);
// The tools' model names, "5817, 5817c, krt, ohaus, msi3360 or msi6260" (`last` joins the
// last two: "or", "and"; "" joins them with a comma as well).
std::string ModelNames(std::string_view last = "or");

// The family's serial line on the port `base` names (its device and COM number are kept).
plat::SerialSettings SerialLine(const Family& family, plat::SerialSettings base = {});

// One run of a family's request. Both owners walk the same steps: the channel's poll with
// pauses that block its thread, the live core on its timers.
class TRequestRun {
  public:
    TRequestRun() = default;
    explicit TRequestRun(std::span<const RequestStep> steps) : steps_(steps) {}
    bool Running() const { return next_ < steps_.size(); }
    // Sends the next step's bytes through `send` and returns the pause that follows it.
    uint32_t SendNext(const std::function<void(const std::string&)>& send);

  private:
    std::span<const RequestStep> steps_;
    size_t next_ = 0;
};

// Makes a decoder of class D (the descriptors' factory).
template <class D> std::unique_ptr<TDecoder> MakeDecoder() {
    return std::make_unique<D>();
}
