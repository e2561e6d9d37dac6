// A decoder: the bytes of one indicator family in, its readings out. It knows nothing of
// channels, tables, transports or time; whoever feeds it bytes gets back, by return value,
// every frame or line they complete and every one that did not decode, and decides what
// happens next.
#pragma once

#include "Reading.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

// Why a frame or line was not taken.
struct TDecodeFailure {
    enum class Kind : uint8_t {
        NoEnd,     // no end of frame within kMaxFrame bytes: noise
        NoLineEnd, // no end of line within kMaxFrame bytes
        CheckChar, // the check character is wrong (`got`, `expected`)
        Length,    // a frame of the wrong length (`got` characters, `expected`)
        TooShort,  // too short to hold both weights (`got` characters)
    };
    Kind kind = Kind::NoEnd;
    uint32_t got = 0, expected = 0;

    // "check character 0x41, expected 0x12", "frame of 25 characters, not 26", ...
    std::string Text() const;
};

class TDecoder {
  public:
    // Longest text any decoder collects: a frame or line that runs past it without its end
    // character is noise, and the decoder waits for the next start.
    static constexpr size_t kMaxFrame = 512;

    // What one call of Feed gives back.
    struct Step {
        size_t used = 0; // bytes taken from the front of the span
        // A frame or line that the last byte taken completed (valid until the next Feed or
        // Reset), or one that did not decode; at most one of them. Both null: every byte was
        // taken and no frame ended.
        const TReading* reading = nullptr;
        const TDecodeFailure* failure = nullptr;
    };

    virtual ~TDecoder() = default;

    // Takes bytes from the front of `bytes` until a frame or line ends (decoded or not) or
    // the bytes run out. Feeding the same bytes whole, byte by byte or in any pieces gives
    // the same readings and failures in the same order.
    virtual Step Feed(std::span<const uint8_t> bytes) = 0;
    // Forgets what was collected: the next frame starts afresh.
    virtual void Reset() = 0;
    // Characters held of a frame or line not complete yet, at most kMaxFrame (its start
    // character and an Ohaus line's CRs not counted).
    virtual size_t Pending() const = 0;

    // Feeds every byte of `bytes`, handing each reading and failure to `onReading` and
    // `onFailure` in order (for owners that want them all).
    template <class OnReading, class OnFailure>
    void FeedAll(std::span<const uint8_t> bytes, OnReading&& onReading, OnFailure&& onFailure) {
        while (!bytes.empty()) {
            const Step s = Feed(bytes);
            bytes = bytes.subspan(s.used);
            if (s.reading != nullptr) onReading(*s.reading);
            if (s.failure != nullptr) onFailure(*s.failure);
        }
    }

  protected:
    // Collecting a frame's characters (after its start, up to its end character) in `text`,
    // of which `held` are the frame's so far, at most kMaxFrame of them: takes bytes from
    // `in` up to the end character. `endCounts`: the end character is one of the frame's.
    // `endKept`: it is appended to `text` (whether or not it counts).
    struct Collected {
        size_t used = 0;       // bytes taken from `in`
        bool ended = false;    // the end character was taken
        bool overflow = false; // the frame's characters ran past kMaxFrame: the byte that
                               // ran over was taken and is not in `text`
    };
    static Collected Collect(std::string& text, size_t held, std::span<const uint8_t> in,
                             uint8_t end, bool endCounts, bool endKept);
};

// The framing the STX families share. Bytes before STX are skipped; from STX on, every byte
// up to the end character is the frame's (a further STX included), at most kMaxFrame of them;
// with a trailer, the one byte after the end character (a check character) closes the frame.
// Each complete frame, STX through its last byte, goes to Take.
class TStxFrameDecoder : public TDecoder {
  public:
    Step Feed(std::span<const uint8_t> bytes) final;
    void Reset() final;
    size_t Pending() const final;

  protected:
    struct Framing {
        uint8_t end = 0;
        bool endCounts = false; // the end character is one of the kMaxFrame
        bool trailer = false;   // one byte follows the end character
    };
    explicit TStxFrameDecoder(Framing framing) : framing_(framing) {}

    // A complete frame: true with `reading` filled (the frame may be swapped into
    // `reading.bytes`), or false with `failure` filled.
    virtual bool Take(std::string& frame, TReading& reading, TDecodeFailure& failure) = 0;

  private:
    enum class State : uint8_t { WaitStx, Collect, Trailer };
    Step Finish(Step s);

    const Framing framing_;
    State state_ = State::WaitStx;
    std::string frame_; // from STX on
    TReading reading_;
    TDecodeFailure failure_;
};

inline std::span<const uint8_t> AsBytes(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}
