#!/bin/sh
# Runs a Windows program under Wine for the tests: the project's Wine prefix, no debug
# chatter, and a wine server that stays up between the many short test programs (starting
# one per program costs seconds). Its own output goes nowhere, so a pseudo-terminal that
# hangs up cannot make it print into a test's output.
: "${WINEPREFIX:=$HOME/.wine-tarvel}"
: "${WINEDEBUG:=-all}"
export WINEPREFIX WINEDEBUG
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine-run: no Wine prefix at $WINEPREFIX (run scripts/install-win-deps.sh)" >&2
    exit 127
fi
# Fails at once when a server for this prefix is already running.
wineserver -p60 </dev/null >/dev/null 2>&1 || true
exec wine "$@"
