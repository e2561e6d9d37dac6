// Internal entry points of the exported channel functions, shared between the exports.
#pragma once

#include <cstdint>

struct Family;

// Select_Canal with a bound on the connect wait.
int32_t SelectChannel(int32_t channel, uint32_t limitMs);
// The poll dispatcher behind Update_Canal and Update_NoMotion.
int32_t PollChannel(int32_t channel, int32_t timeOut);
// The construction paths of the TCP and serial constructors.
int32_t NewTcpChannel(int32_t ipIndex, const char* letter, const Family& family);
int32_t NewSerialChannel(int32_t comNumber, const Family& family);
// Number of driver polls started since the library was loaded (diagnostics).
uint32_t PollCount();
