// The library's trace, for a technician who needs to see what happens: switched on by the
// environment variable TARVEL_TRACE ("1": standard error; anything else: a file the lines
// are appended to), read once. It records each exported call with its arguments and result,
// each connect or serial-port failure with the operating system's reason, and each frame
// taken or dropped with the reason. Unset, nothing is written and each trace point costs one
// test of a flag.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <type_traits>

namespace trace {

// Whether the trace is on.
bool On() noexcept;
// Writes one line, with the time, to the trace (thread-safe).
void Line(const std::string& text) noexcept;

namespace detail {

inline void Arg(std::ostringstream& o, const char* s) {
    if (s == nullptr)
        o << "null";
    else
        o << '"' << s << '"';
}
template <class T> void Arg(std::ostringstream& o, const T& v) {
    if constexpr (std::is_pointer_v<T>)
        o << static_cast<const void*>(v);
    else
        o << v;
}

} // namespace detail

// "Name(arg, ...)" for an exported call.
template <class... A> std::string Invocation(const char* name, const A&... args) {
    std::ostringstream o;
    o << name << '(';
    [[maybe_unused]] const char* sep = "";
    ((o << sep, detail::Arg(o, args), sep = ", "), ...);
    o << ')';
    return o.str();
}

// "Name(arg, ...) = result".
template <class R, class... A> void Call(const char* name, const R& result, const A&... args) {
    std::ostringstream o;
    o << Invocation(name, args...) << " = ";
    detail::Arg(o, result);
    Line(o.str());
}

} // namespace trace
