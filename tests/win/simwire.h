// What the Windows test programs' simulator stand-in (simproxy) and the native simulator server
// (tarvel-simd) share: the wire format, the marshalling of values, and the list of methods
// that are forwarded as they are.
//
// A message is a list of byte strings: u32 count, then for each string u32 length and bytes
// (little-endian). A call is "Class.Method", the object's id, then the arguments; a reply is
// "ok" followed by the result, or "err:<kind>" followed by a message. Values travel as
// strings: numbers and enums in decimal, flags as 0/1, durations in milliseconds, lists and
// optionals as their count then their items, option structs field by field.
#pragma once

#include "tarvelsim.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <vector>

namespace simwire {

using Msg = std::vector<std::string>;

inline std::string Encode(const Msg& m) {
    std::string out;
    const auto u32 = [&out](size_t v) {
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    };
    u32(m.size());
    for (const auto& s : m) {
        u32(s.size());
        out += s;
    }
    return out;
}

// Moves all `n` bytes with `io(p, n)`, which moves some and returns how many (<= 0: failed).
template <class Io> bool All(Io&& io, char* p, size_t n) {
    for (long r = 0; n > 0; p += r, n -= static_cast<size_t>(r))
        if ((r = static_cast<long>(io(p, n))) <= 0) return false;
    return true;
}

template <class Send> bool Write(Send&& send, const Msg& m) {
    std::string bytes = Encode(m);
    return All(send, bytes.data(), bytes.size());
}

// Reads one message with `recv(p, n)` (see All): at most 65536 strings of 64 MiB each.
template <class Recv> bool Read(Recv&& recv, Msg& m) {
    const auto u32 = [&](uint32_t& v) {
        unsigned char b[4];
        if (!All(recv, reinterpret_cast<char*>(b), 4)) return false;
        v = b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
        return true;
    };
    uint32_t count = 0, len = 0;
    if (!u32(count) || count > 65536) return false;
    m.assign(count, std::string());
    for (auto& s : m) {
        if (!u32(len) || len > (64u << 20)) return false;
        s.resize(len);
        if (len > 0 && !All(recv, s.data(), len)) return false;
    }
    return true;
}

// ---- values ---------------------------------------------------------------------------------

template <class F> void Fields(tsim::StreamOptions& o, F&& f) {
    f(o.period), f(o.garbage), f(o.cutEvery), f(o.byteGap);
}
template <class F> void Fields(tsim::RequestOptions& o, F&& f) {
    f(o.delay), f(o.neverReply);
}
template <class F> void Fields(tsim::LineSettings& l, F&& f) {
    f(l.baud), f(l.inBaud), f(l.dataBits), f(l.parity), f(l.parityOdd), f(l.parityStick);
    f(l.stopBits), f(l.hardwareFlow), f(l.softwareFlow), f(l.modemBits);
}

template <class T> constexpr bool kIsList = false;
template <class T> constexpr bool kIsList<std::vector<T>> = true;
template <class T> constexpr bool kIsOptional = false;
template <class T> constexpr bool kIsOptional<std::optional<T>> = true;

template <class T> void Put(Msg& m, const T& v) {
    if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        m.emplace_back(std::string_view(v));
    } else if constexpr (std::is_arithmetic_v<T> || std::is_enum_v<T>) {
        m.push_back(std::to_string(static_cast<long long>(v)));
    } else if constexpr (std::is_same_v<T, tsim::Ms>) {
        Put(m, v.count());
    } else if constexpr (kIsList<T>) {
        Put(m, v.size());
        for (const auto& x : v)
            Put(m, x);
    } else if constexpr (kIsOptional<T>) {
        Put(m, v.has_value());
        if (v) Put(m, *v);
    } else {
        Fields(const_cast<T&>(v), [&m](const auto& f) { Put(m, f); });
    }
}

// The value at m[i], advancing i; missing values read as empty or zero.
template <class T> T Get(const Msg& m, size_t& i) {
    if constexpr (std::is_same_v<T, std::string>) {
        return i < m.size() ? m[i++] : std::string();
    } else if constexpr (std::is_arithmetic_v<T> || std::is_enum_v<T>) {
        return static_cast<T>(std::strtoll(Get<std::string>(m, i).c_str(), nullptr, 10));
    } else if constexpr (std::is_same_v<T, tsim::Ms>) {
        return tsim::Ms{Get<long long>(m, i)};
    } else if constexpr (kIsList<T>) {
        T v(std::min(Get<size_t>(m, i), m.size()));
        for (auto& x : v)
            x = Get<typename T::value_type>(m, i);
        return v;
    } else if constexpr (kIsOptional<T>) {
        return Get<bool>(m, i) ? T(Get<typename T::value_type>(m, i)) : T();
    } else {
        T v;
        Fields(v, [&](auto& f) { f = Get<std::decay_t<decltype(f)>>(m, i); });
        return v;
    }
}

} // namespace simwire

// Every method forwarded as it is: X(result, class, method, (parameters), arguments...), in
// the scope of namespace tsim. The constructors, Configure and what a stand-in knows itself
// (Converter's channels, IO port and address, a pty's path and indicator, a peer's port) are
// handled by hand on both sides. Frames made by a function of the test program (Stream with
// a function, the numbered streams and replies) and LineSettings::Describe are not available
// to Windows programs: their streams that change use Configure's modes.
// clang-format off
#define SIMWIRE_METHODS(X) \
    X(void, Indicator, Silent, ()) \
    X(void, Indicator, Stream, (std::string frame, StreamOptions opts), frame, opts) \
    X(void, Indicator, OnRequest, (std::string line, RequestOptions opts), line, opts) \
    X(void, Indicator, SetFrame, (std::string frame), frame) \
    X(void, Indicator, SetStreamOptions, (const StreamOptions& opts), opts) \
    X(void, Indicator, SetRequestOptions, (const RequestOptions& opts), opts) \
    X(Indicator::Mode, Indicator, GetMode, () const) \
    X(std::string, Indicator, Frame, () const) \
    X(void, Indicator, Send, (std::string_view bytes), bytes) \
    X(bool, Indicator, DisconnectClients, (Ms wait), wait) \
    X(int, Indicator, Requests, () const) \
    X(bool, Indicator, WaitRequests, (int n, Ms timeout) const, n, timeout) \
    X(std::string, Indicator, Received, () const) \
    X(void, Indicator, ClearReceived, ()) \
    X(bool, Indicator, WaitReceived, (std::string_view needle, Ms timeout) const, needle, timeout) \
    X(int, Indicator, Clients, () const) \
    X(int, Indicator, Connections, () const) \
    X(bool, Indicator, WaitClients, (int n, Ms timeout) const, n, timeout) \
    X(long, Indicator, FramesSent, () const) \
    X(void, IoPort, SetMode, (IoMode mode), mode) \
    X(IoMode, IoPort, Mode, () const) \
    X(void, IoPort, SetInput, (int value), value) \
    X(int, IoPort, Input, () const) \
    X(void, IoPort, SetCustomReply, (std::string bytes), bytes) \
    X(void, IoPort, SetReplyPieces, (std::vector<std::size_t> cuts, Ms pause), cuts, pause) \
    X(void, IoPort, SetFlood, (std::string pattern, std::size_t limit), pattern, limit) \
    X(int, IoPort, Output, () const) \
    X(std::string, IoPort, OutputText, () const) \
    X(std::vector<std::string>, IoPort, Commands, () const) \
    X(std::string, IoPort, LastCommand, () const) \
    X(bool, IoPort, WaitCommands, (std::size_t n, Ms timeout) const, n, timeout) \
    X(void, IoPort, ClearCommands, ()) \
    X(int, IoPort, Connections, () const) \
    X(std::size_t, IoPort, FloodSent, () const) \
    X(LineSettings, PtyIndicator, Line, () const) \
    X(void, PtyIndicator, SetMaxBacklog, (std::size_t bytes), bytes) \
    X(bool, RawPeer, WaitClient, (Ms timeout) const, timeout) \
    X(bool, RawPeer, Connected, () const) \
    X(int, RawPeer, Accepted, () const) \
    X(bool, RawPeer, Send, (std::string_view bytes), bytes) \
    X(std::string, RawPeer, Received, () const) \
    X(void, RawPeer, ClearReceived, ()) \
    X(bool, RawPeer, WaitBytes, (std::size_t n, Ms timeout) const, n, timeout) \
    X(bool, RawPeer, WaitFor, (std::string_view needle, Ms timeout) const, needle, timeout) \
    X(bool, RawPeer, ClientClosed, () const) \
    X(bool, RawPeer, WaitClientClosed, (Ms timeout) const, timeout) \
    X(void, RawPeer, CloseClient, ()) \
    X(void, RawPeer, ResetClient, ())
// clang-format on
