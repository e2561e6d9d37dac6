#!/usr/bin/env bash
# Runs tarvel-gateway.exe under Wine as a Linux test runs tarvel-gateway:
#   gateway.sh WINE_RUN GATEWAY_EXE ARGS...
# A Linux path given to --config becomes the same file on Wine's drive Z:. SIGTERM and SIGINT
# to this script reach the program as Ctrl-C (Wine turns SIGINT into CTRL_C_EVENT; SIGTERM
# would end it at once), so it stops as the Linux one does on SIGTERM; the script exits with
# the program's status.
wine_run=$1
exe=$2
shift 2
args=()
while [ $# -gt 0 ]; do
    if [ "$1" = --config ] && [ $# -gt 1 ] && [ "${2#/}" != "$2" ]; then
        args+=(--config "Z:${2//\//\\}")
        shift 2
        continue
    fi
    args+=("$1")
    shift
done
"$wine_run" "$exe" "${args[@]}" &
child=$!
trap 'kill -INT $child 2>/dev/null' TERM INT
while :; do
    wait $child
    rc=$?
    kill -0 $child 2>/dev/null || break # a signal ended the wait, not the program
done
exit $rc
