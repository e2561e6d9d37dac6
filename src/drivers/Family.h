// One descriptor per indicator family: everything the constructors, the poll dispatcher and
// the live core need to know about a family, read from one const table. Each driver file
// ends with its family's descriptor; Families.cpp lists them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

class TBal;
class TClDunor;

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

    // How readings are asked for and how bytes arrive: an indicator that sends on its own has
    // no request, and its TCP bytes reach the driver by the connection's read notification
    // from construction on; an asking indicator's TCP bytes are read only while its poll
    // waits for the reply (what arrives in between waits in the connection).
    std::span<const RequestStep> request;
    bool tcpReadsDuringPollOnly;

    // A new driver; `channel` is null for a driver that the live core feeds.
    std::unique_ptr<TBal> (*make)(const Family& family, TClDunor* channel, int32_t index);
};

// Every family, in the order of the device types' introduction.
std::span<const Family* const> Families();
// The family of a device type, or null.
const Family* FamilyOfDevice(int32_t deviceType);
// The family of a tools' model name (any case), or null.
const Family* FamilyOfModel(std::string_view model);
