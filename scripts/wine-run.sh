#!/bin/sh
# Runs a Windows program under Wine for the tests: the project's Wine prefix, no debug
# chatter, and a wine server that stays up between the many short test programs (starting
# one per program costs seconds).
#
# Which Wine loader: Debian's `wine` starts the 32-bit loader whenever wine32 is installed,
# and that loader cannot start on a machine whose kernel runs no 32-bit programs. There the
# 64-bit loader (wine64) runs every program, and a 32-bit program is refused with a message
# instead of an "Exec format error". Where 32-bit programs run, a 64-bit program file is
# still run by wine64 itself: the 32-bit loader would hand it to a new process of its own
# (start.exe /exec), so the pid of this script would not be the program's, and a signal sent
# to it (the tests' Ctrl-C) would never reach the program. Everything else runs with `wine`.
#   TARVEL_I386_RUNS  1 or 0: whether this machine runs 32-bit programs, as decided by the
#                     caller (scripts/test-windows.sh decides once for its whole stage);
#                     unset: scripts/i386-probe.sh finds out
#   TARVEL_WINE64     the 64-bit loader (default /usr/lib/wine/wine64, else wine64 on PATH)
#
# The first program that a new server runs also starts Wine's own background services, which
# keep that program's output open for as long as the server lives; a test runner waiting for
# the end of a test's output would then wait with them. So a new server is warmed up first
# with a program whose output goes nowhere, under a lock so that parallel tests wait for it.
# The server's own output goes nowhere too, so a pseudo-terminal that hangs up cannot make it
# print into a test's output.
#
# Wine's desktop process (explorer.exe /desktop) ends a few seconds after the last program
# with a window (the library's message window counts) has gone; the next such program starts
# it anew and hands it its standard error, so a test runner would wait for that test's output
# until the desktop ends again, often at the end of the whole run. When the desktop of this
# prefix is not running, a silent program starts it first.
#
# One 64-bit prefix serves both bitnesses (scripts/install-win-deps.sh makes it).
#   TARVEL_WINESERVER_PERSIST  seconds a new server stays up once idle (default 60)
: "${WINEPREFIX:=${HOME:-/root}/.wine-tarvel}"
: "${WINEDEBUG:=-all}"
export WINEPREFIX WINEDEBUG
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine-run: no Wine prefix at $WINEPREFIX (run scripts/install-win-deps.sh)" >&2
    exit 127
fi

if [ -z "${TARVEL_I386_RUNS:-}" ]; then
    if bash "$(dirname "$0")/i386-probe.sh" >/dev/null; then
        TARVEL_I386_RUNS=1
    else
        TARVEL_I386_RUNS=0
    fi
fi
# The machine type of a PE program: 014c for 32-bit x86, 8664 for x86-64 (bytes 4-5 of the
# PE header, whose offset is at byte 60); empty for a program named without its file.
machine=
if [ -f "$1" ]; then
    pe=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
    machine=$(od -An -tx2 -j$((${pe:-0} + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')
fi
wine64=${TARVEL_WINE64:-/usr/lib/wine/wine64}
[ -x "$wine64" ] || wine64=$(command -v wine64 || echo wine64)
if [ "$TARVEL_I386_RUNS" = 1 ] && [ "$machine" != 8664 ]; then
    wine=wine
else
    wine=$wine64
    if [ "$TARVEL_I386_RUNS" != 1 ]; then
        # Programs that Wine starts on its own (services, the desktop) use the same loader.
        WINELOADER=$wine
        export WINELOADER
    fi
    if [ "$machine" = 014c ]; then
        echo "wine-run: $1 is a 32-bit Windows program, and this machine runs no" \
            "32-bit programs (see scripts/i386-probe.sh)" >&2
        exit 126
    fi
fi

desktop_up() {
    for pid in $(pgrep -f 'explorer\.exe /desktop'); do
        tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
            return 0
    done
    return 1
}
(
    flock 9
    # Succeeds only when no server for this prefix is running yet.
    if wineserver -p"${TARVEL_WINESERVER_PERSIST:-60}" </dev/null >/dev/null 2>&1 9>&-; then
        "$wine" cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
    fi
    if ! desktop_up; then
        "$wine" rundll32 user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 9>&- || true
    fi
) 9>"$WINEPREFIX/.tarvel-wine-run.lock"
exec "$wine" "$@"
