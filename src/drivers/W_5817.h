// The 5817 indicator family, which sends status-and-weight frames continuously: STX, status
// A, B, C, six-digit weight, six-digit tare, CR, check character. The raw variant (model
// 5817c, device type 4) keeps the frame undecoded.
#pragma once

#include "Decoder.h"

#include <string>
#include <string_view>

class T5817Decoder : public TStxFrameDecoder {
  public:
    // `raw`: the frames are taken as they are (the raw variant). Every byte up to CR is the
    // frame's, a further STX included; the check character follows CR.
    explicit T5817Decoder(bool raw = false)
        : TStxFrameDecoder({.end = 0x0D, .endCounts = true, .trailer = true}), raw_(raw) {}

  private:
    bool Take(std::string& frame, TReading& reading, TDecodeFailure& failure) override;
    // The check character of `sent` (STX and every character through CR): the 7-bit two's
    // complement of their sum.
    static uint8_t CheckChar(std::string_view sent);

    const bool raw_;
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
