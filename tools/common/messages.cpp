#include "messages.h"

#include <cmath>
#include <cstdio>

namespace tarvel::messages {

namespace {

const char* const kReachable = "reachable from this machine (address, cable, firewall)";

} // namespace

Ended EndedAfter(int64_t elapsedMs) {
    return elapsedMs >= 9000 ? Ended::AfterTimeOut : Ended::AtOnce;
}

std::string Channel::Where() const {
    return Tcp() ? address + ":" + letter : port;
}

std::string LineSettings(std::string_view model) {
    if (model == "5817" || model == "5817c" || model == "krt")
        return "4800 baud, 7 data bits, even parity, 1 stop bit";
    if (model == "ohaus") return "9600 baud, 7 data bits, even parity, 2 stop bits";
    if (model == "msi3360") return "9600 baud, 8 data bits, no parity, 1 stop bit";
    if (model == "msi6260") return "1200 baud, 7 data bits, mark parity, 1 stop bit";
    return {};
}

int WaitSeconds(std::string_view model) {
    return model == "5817" || model == "5817c" || model == "krt" ? 10 : 5;
}

std::string Seconds(double seconds) {
    char buf[32];
    if (seconds == std::floor(seconds))
        std::snprintf(buf, sizeof buf, "%.0f s", seconds);
    else
        std::snprintf(buf, sizeof buf, "%g s", seconds);
    return buf;
}

std::string ConnectFailed(const Channel& c, Ended how) {
    const std::string port = c.address + " port " + std::to_string(c.TcpPort());
    if (how == Ended::AtOnce)
        return "nothing listens on " + port + ": is the converter on, and is its channel " +
               c.letter + " set to TCP server?";
    return port + " did not accept a connection within 10 s: is the converter on and " +
           kReachable + "?";
}

std::string PollFailed(const Channel& c, int32_t result, int64_t noMotionMs) {
    const std::string settings = LineSettings(c.model);
    switch (result) {
    case 1: {
        const std::string within = Seconds(
            noMotionMs >= 0 ? static_cast<double>(noMotionMs) / 1000.0 : WaitSeconds(c.model));
        if (c.Tcp())
            return "no frame from " + c.Where() + " within " + within +
                   ": is the indicator on and cabled to the converter's channel " + c.letter +
                   ", and is that channel set to " + settings + "?";
        return "no frame from " + c.Where() + " within " + within +
               ": is the indicator on and cabled to this port, and does it send at " + settings +
               "?";
    }
    case 2:
        return "no frame without motion from " + c.Where() + " within " +
               Seconds(static_cast<double>(noMotionMs) / 1000.0) +
               ": the weight kept moving, or the indicator sent nothing";
    case 4:
        return "the serial port " + c.Where() +
               " did not open: is the device there and not in use by another program, and may "
               "this user open it (on Linux: the dialout group)?";
    default:
        return "the poll of " + c.Where() + " failed with result " + std::to_string(result);
    }
}

std::string OutOfRange(const Channel& c) {
    return "the indicator on " + c.Where() +
           " reports out of range: is the load within the scale's capacity?";
}

std::string NotSettled(const Channel& c, std::size_t count, double seconds) {
    if (c.model == "5817c")
        return "the raw 5817 variant (5817c) carries no weight, so it never settles: use the "
               "model 5817 for a stable read";
    return "the weight on " + c.Where() + " did not settle within " + Seconds(seconds) + ": " +
           std::to_string(count) +
           " readings in a row without motion, within range and with the same net weight were "
           "needed";
}

std::string DioFailed(std::string_view action, const std::string& address, bool input, Ended how) {
    const std::string what = "could not " + std::string(action) + ": ";
    const std::string port = address + " port 8880";
    if (how == Ended::AfterTimeOut)
        return what +
               (input ? "no valid reply from " + port + " within 10 s"
                      : port + " did not accept a connection within 10 s") +
               ": is the converter on and " + kReachable + "?";
    return what + "nothing listens on " + port +
           (input ? ", or its reply held no input value"
                  : ", or the converter broke the exchange off") +
           ": is the converter on, and is its IO port enabled?";
}

} // namespace tarvel::messages
