// What an indicator of each family of the table sends for one reading, for the tests that go
// over every family.
#pragma once

#include "tarvel6_internal.h"
#include "tarvelsim.h"

#include <gtest/gtest.h>

#include <string>

namespace t6test {

// A frame with weight `counts` (one decimal place where the family has decimals), or for an
// asking indicator its reply line.
inline std::string FrameOf(const Family& family, long counts) {
    tsim::Ind5817 r;
    r.weight = counts;
    r.decimalCode = 3;
    const std::string model = family.model;
    const std::string value = std::to_string(counts / 10) + "." + std::to_string(counts % 10);
    if (model == "5817" || model == "5817c") return tsim::Frame5817(r);
    if (model == "krt") return tsim::FrameKrt(r);
    if (model == "msi3360") return tsim::FrameMsi3360(value, value, "0");
    if (model == "msi6260") return tsim::Msi6260Line(tsim::kMsiNet, value);
    if (model == "ohaus") return tsim::OhausLine(value);
    ADD_FAILURE() << "no frame for model " << model << ": add one to FrameOf (tests/frames.h)";
    return {};
}

} // namespace t6test
