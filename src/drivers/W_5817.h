// The 5817 indicator family, which sends status-and-weight frames continuously: STX, status
// A, B, C, six-digit weight, six-digit tare, CR, check character. The raw variant (model
// 5817c, device type 4) keeps the frame undecoded.
#pragma once

#include "Decoder.h"

#include <string>
#include <string_view>

class T5817Decoder : public TDecoder {
  public:
    // `raw`: the frames are taken as they are (the raw variant).
    explicit T5817Decoder(bool raw = false) : raw_(raw) {}

    Step Feed(std::span<const uint8_t> bytes) override;
    void Reset() override;
    size_t Pending() const override;

  private:
    enum class State : uint8_t { WaitStx, Collect, Check };
    // The check character of the frame collected: the 7-bit two's complement of the sum of
    // STX and every character through CR.
    uint8_t CheckChar() const;

    const bool raw_;
    State state_ = State::WaitStx;
    std::string frame_; // from STX on
    TReading reading_;
    TDecodeFailure failure_;
};

// The raw variant's decoder.
class T5817RawDecoder : public T5817Decoder {
  public:
    T5817RawDecoder() : T5817Decoder(true) {}
};

// Characters of a status-and-weight frame from status A through CR.
constexpr size_t kStatusWeightLength = 16;

// Decodes the characters of a 5817 or KRT frame from status A through CR (at least 15 of
// them) into `r`: the status, the net, tare and gross weights. `r.bytes` is left alone.
void DecodeStatusWeight(std::string_view body, TReading& r);
