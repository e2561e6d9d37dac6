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
: "${WINEPREFIX:=${HOME:-/root}/.wine-tarvel}"
: "${WINEDEBUG:=-all}"
export WINEPREFIX WINEDEBUG
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine-run: no Wine prefix at $WINEPREFIX (run scripts/install-win-deps.sh)" >&2
    exit 127
fi
(
    flock 9
    # Succeeds only when no server for this prefix is running yet.
    if wineserver -p60 </dev/null >/dev/null 2>&1 9>&-; then
        wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
    fi
) 9>"$WINEPREFIX/.tarvel-wine-run.lock"
exec wine "$@"
