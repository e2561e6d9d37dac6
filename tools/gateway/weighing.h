// A registration's weighing, made from the gateway's reading of a scale: the one place where
// a reading of the store becomes what the register stores.
#pragma once

#include "register.h"
#include "store.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace gateway {

// The weighing of a settled reading (its record, the time and bytes of its frame) with the
// client's reference; nullopt with `why` (plain English) when the reading is not one to
// register: not ok, in motion, out of range, without a net weight or without its frame.
std::optional<Weighing> WeighingOf(const Reading& reading, std::string reference, std::string& why);

// An indicator's weight text as a whole number of its last digit and its decimal places
// ("   128.45" is {12845, 2}, "-0,5" {-5, 1}); nullopt for a text that is no number (the
// grammar of tarvel::record::WeightNumber) or has more than 18 digits.
std::optional<std::pair<int64_t, int>> CountsOf(std::string_view text);

} // namespace gateway
