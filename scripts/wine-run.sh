#!/bin/sh
# Runs a Windows program under Wine for the tests: the project's Wine prefix, no debug
# chatter, and a wine server that stays up between the many short test programs (starting
# one per program costs seconds).
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
# One prefix runs 32-bit and 64-bit programs alike (scripts/install-win-deps.sh makes it).
#   TARVEL_WINESERVER_PERSIST  seconds a new server stays up once idle (default 60)
: "${WINEPREFIX:=${HOME:-/root}/.wine-tarvel}"
: "${WINEDEBUG:=-all}"
export WINEPREFIX WINEDEBUG
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine-run: no Wine prefix at $WINEPREFIX (run scripts/install-win-deps.sh)" >&2
    exit 127
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
        wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
    fi
    if ! desktop_up; then
        wine rundll32 user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 9>&- || true
    fi
) 9>"$WINEPREFIX/.tarvel-wine-run.lock"
exec wine "$@"
