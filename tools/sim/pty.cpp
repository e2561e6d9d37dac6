#include "sim_internal.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace tsim {

namespace {

unsigned BaudOf(speed_t s) {
    switch (s) {
    case B50:
        return 50;
    case B75:
        return 75;
    case B110:
        return 110;
    case B134:
        return 134;
    case B150:
        return 150;
    case B200:
        return 200;
    case B300:
        return 300;
    case B600:
        return 600;
    case B1200:
        return 1200;
    case B1800:
        return 1800;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    default:
        return 0;
    }
}

} // namespace

std::string LineSettings::Describe() const {
    std::string s = std::to_string(baud) + " baud, " + std::to_string(dataBits) + " bits, parity " +
                    (parity ? "on" : "off");
    if (parityOdd || parityStick) {
        s += " (";
        s += parityOdd ? "odd" : "";
        s += parityOdd && parityStick ? ", " : "";
        s += parityStick ? "stick" : "";
        s += ")";
    }
    s += ", " + std::to_string(stopBits) + " stop";
    if (modemBits) {
        s += *modemBits & TIOCM_DTR ? ", DTR on" : ", DTR off";
        s += *modemBits & TIOCM_RTS ? ", RTS on" : ", RTS off";
    }
    return s;
}

struct PtyIndicator::Impl {
    detail::Fd master;
    detail::Fd slave; // kept open so the line survives the library closing its side
    std::string path;
    Indicator indicator;
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> maxBacklog{0};
    std::thread thread;
};

PtyIndicator::PtyIndicator() : impl_(std::make_unique<Impl>()) {
    int m = -1, s = -1;
    if (::openpty(&m, &s, nullptr, nullptr, nullptr) != 0)
        throw std::runtime_error(std::string("openpty failed: ") + std::strerror(errno));
    impl_->master.Reset(m);
    impl_->slave.Reset(s);
    ::fcntl(m, F_SETFD, FD_CLOEXEC);
    ::fcntl(s, F_SETFD, FD_CLOEXEC);
    char* name = ::ttyname(s);
    if (!name) throw std::runtime_error(std::string("ttyname failed: ") + std::strerror(errno));
    impl_->path = name;
    // Start like a plain serial line: no echo, no line editing, no output translation.
    termios t{};
    if (::tcgetattr(s, &t) == 0) {
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        ::tcsetattr(s, TCSANOW, &t);
    }
    detail::SetNonBlocking(m);
    impl_->thread = std::thread([impl = impl_.get()] {
        detail::PtyLink link{impl->slave.Get(), &impl->maxBacklog};
        detail::RunIndicatorSession(impl->indicator, impl->master.Get(), false, impl->stop, &link);
    });
}

PtyIndicator::~PtyIndicator() {
    impl_->stop = true;
    detail::WakeSessions(impl_->indicator);
    if (impl_->thread.joinable()) impl_->thread.join();
}

const std::string& PtyIndicator::Path() const {
    return impl_->path;
}
Indicator& PtyIndicator::Ind() {
    return impl_->indicator;
}
void PtyIndicator::SetMaxBacklog(std::size_t bytes) {
    impl_->maxBacklog = bytes;
}

LineSettings PtyIndicator::Line() const {
    termios t{};
    ::tcgetattr(impl_->slave.Get(), &t);
    LineSettings l;
    l.baud = BaudOf(::cfgetospeed(&t));
    l.inBaud = BaudOf(::cfgetispeed(&t));
    switch (t.c_cflag & CSIZE) {
    case CS5:
        l.dataBits = 5;
        break;
    case CS6:
        l.dataBits = 6;
        break;
    case CS7:
        l.dataBits = 7;
        break;
    default:
        l.dataBits = 8;
        break;
    }
    l.parity = (t.c_cflag & PARENB) != 0;
    l.parityOdd = (t.c_cflag & PARODD) != 0;
    l.parityStick = (t.c_cflag & CMSPAR) != 0;
    l.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    l.hardwareFlow = (t.c_cflag & CRTSCTS) != 0;
    l.softwareFlow = (t.c_iflag & (IXON | IXOFF)) != 0;
    int bits = 0;
    if (::ioctl(impl_->slave.Get(), TIOCMGET, &bits) == 0) l.modemBits = bits;
    return l;
}

} // namespace tsim
