// The messages of the exported API: the text of the last failed validation (LastError), the
// three validators that write it, and the other Portuguese texts the host may be handed.
#pragma once

#include <cstdint>
#include <string>

extern std::string LastError;

bool Valida_Ip(int32_t index);
bool Valida_Canal(int32_t index);
bool Valida_CanalSerial(const std::string& letter);
// Message for an address that Seta_Ip cannot register (null or longer than 16).
std::string SetaIpRejected();
// A channel's pending error when a thread that did not open its transport tries to close or
// delete it.
std::string ForeignThreadRefused(int32_t index);

// Upper-cases a host text (a null pointer gives the empty text).
std::string UpperText(const char* s);
