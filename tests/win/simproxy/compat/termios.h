/* The parts of <termios.h> (Linux values) and of the POSIX environment functions that the
   simulator's interface and the test suites use, for test programs built for Windows. The
   line settings are those of the native pseudo-terminal, read by the simulator server. */
#pragma once

#include <stdlib.h>

typedef unsigned int tcflag_t;
typedef unsigned int speed_t;
typedef unsigned char cc_t;

struct termios {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[32];
    speed_t c_ispeed;
    speed_t c_ospeed;
};

#define IXON 0002000u
#define IXANY 0004000u
#define IXOFF 0010000u

#define CBAUD 0010017u
#define B0 0000000u
#define B50 0000001u
#define B75 0000002u
#define B110 0000003u
#define B134 0000004u
#define B150 0000005u
#define B200 0000006u
#define B300 0000007u
#define B600 0000010u
#define B1200 0000011u
#define B1800 0000012u
#define B2400 0000013u
#define B4800 0000014u
#define B9600 0000015u
#define B19200 0000016u
#define B38400 0000017u
#define B57600 0010001u
#define B115200 0010002u
#define B230400 0010003u
#define CSIZE 0000060u
#define CS5 0000000u
#define CS6 0000020u
#define CS7 0000040u
#define CS8 0000060u
#define CSTOPB 0000100u
#define CREAD 0000200u
#define PARENB 0000400u
#define PARODD 0001000u
#define HUPCL 0002000u
#define CLOCAL 0004000u
#define CMSPAR 010000000000u
#define CRTSCTS 020000000000u

#define TIOCM_DTR 0x002
#define TIOCM_RTS 0x004

static inline speed_t cfgetospeed(const struct termios* t) {
    return t->c_ospeed;
}
static inline speed_t cfgetispeed(const struct termios* t) {
    return t->c_ispeed;
}

#ifdef __cplusplus
extern "C" {
#endif
/* Environment functions missing from the Windows C runtime. Setting TARVEL_COM<n> (the
   POSIX build's name for a COM port's device) also points the Wine prefix's COM<n> at that
   device, so a suite that maps ports this way runs unchanged; unsetting removes the link. */
int setenv(const char* name, const char* value, int overwrite);
int unsetenv(const char* name);
#ifdef __cplusplus
}
#endif
