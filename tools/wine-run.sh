#!/usr/bin/env bash
# Runs a Windows test program under Wine for CTest. Now and then Wine fails to start a program
# at all: it exits non-zero within milliseconds without a byte of output, before the program's
# first line. Such a start is tried once more; a program that printed anything has run, and
# its result stands as it is.
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
for attempt in 1 2; do
    wine "$@" >"$out" 2>"$err"
    status=$?
    if [ "$status" -eq 0 ] || [ -s "$out" ] || [ -s "$err" ]; then break; fi
    [ "$attempt" -eq 1 ] && echo "wine-run: $1 did not start under Wine (exit $status); starting it once more" >&2
done
cat "$out"
cat "$err" >&2
exit "$status"
