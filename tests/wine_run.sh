#!/usr/bin/env bash
# Runs a Windows program under Wine for CTest, its output passed through a file: Wine's own helper
# processes (the desktop, services) inherit that output and outlive the program by the server's
# minute, and CTest would wait for them on a pipe.
# Usage: wine_run.sh OUTPUT_FILE x86|x64 PROGRAM [ARG...]
output=$1
shift
# The display of the Wine prefix's own (tests/wine_prefix.sh), where it has one.
[[ -s "${WINEPREFIX:-}.display" ]] && export DISPLAY=":$(cat "$WINEPREFIX.display")"
status=0
bash "$(dirname "$0")/../scripts/wine.sh" "$@" >"$output" 2>&1 || status=$?
cat "$output"
exit $status
