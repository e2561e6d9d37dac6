// When a weight has come to rest: the one rule of `tarvel stable`, the bindings' stable reads
// and tarvel-gateway's stable read. A run of `count` consecutive readings settles when every
// one of them is a reading (the poll took a frame; the live status is "ok"), the indicator
// does not report motion, does not report out of range, and all carry the same net weight.
// A family that does not tell motion (MSI) counts as not moving; one that supplies no net
// weight (the raw 5817 variant) never settles.
//
// LePesoConsecutivo is not this rule: it compares net weights only.
#pragma once

#include "record.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tarvel::stable {

// What the rule looks at in one reading.
struct Facts {
    bool reading = false;         // a frame was taken (poll result 0 or 3; live status "ok")
    std::optional<bool> moving;   // the motion flag; nullopt: the family does not tell
    std::optional<bool> overload; // out of range; nullopt: the family does not tell
    std::optional<double> net;    // the net weight; nullopt: none (the raw 5817 variant)
};

// A reading that may count towards a settled weight.
bool Settles(const Facts& f);

// From a reading record (docs/library.md, "The reading record (JSON)"): "status" "ok", "stable",
// "overload" and "net".
Facts FromRecord(const tarvel::record::Json& record);

// From a poll through the C API: the model (as `tarvel --model` names it), the poll's result
// (Update_Canal, Update_NoMotion) and the texts of Estado_EmMovimento, Estado_Canal and
// Net_Canal after it. The net weight is read as the record reads it (WeightNumber); the raw
// 5817 variant has none.
Facts FromPoll(std::string_view model, int32_t result, std::string_view motion,
               std::string_view status, std::string_view net);

// Follows consecutive readings until `count` of them settle on one net weight.
class Run {
  public:
    explicit Run(std::size_t count) : count_(count < 1 ? 1 : count) {}

    // The next reading; true once the run is complete (this reading is its last).
    bool Take(const Facts& f);
    // Readings were missed: the run is not known to be unbroken, and starts again.
    void Break() {
        length_ = 0;
        net_.reset();
    }
    bool Done() const { return length_ >= count_; }
    std::size_t Length() const { return length_; }
    std::size_t Count() const { return count_; }

  private:
    std::size_t count_;
    std::size_t length_ = 0;
    std::optional<double> net_;
};

} // namespace tarvel::stable
