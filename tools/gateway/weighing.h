// A registration's weighing, made from the gateway's reading of a scale: the one place where
// a reading of the store becomes what the register stores.
#pragma once

#include "register.h"
#include "store.h"

#include <cstdint>
#include <optional>
#include <string>

namespace gateway {

// The weighing of a settled reading (its record's texts, and the weights, time and bytes of
// the frame it was decoded from) with the client's reference; nullopt with `why` (plain English)
// when the reading is not one to register: not ok, in motion, out of range, without a net weight or
// without its frame.
std::optional<Weighing> WeighingOf(const Reading& reading, std::string reference, std::string& why);

} // namespace gateway
