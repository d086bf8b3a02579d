#!/usr/bin/env bash
# Builds the server and serves a demo installation in the foreground (Ctrl-C stops it).
# The installation folder is build/demo: the executable, its registry file, the service log,
# and a master folder with a Users folder holding the master preference file and a toolbar set.
# PORT=N chooses the port, also on later runs (it is written into the demo's registry file).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -n "${PORT:-}" ] && ! [[ "$PORT" =~ ^[0-9]+$ && "$PORT" -le 65535 ]]; then
    echo "demo-server: PORT must be a number from 0 to 65535, not \"$PORT\"" >&2
    exit 2
fi
tools/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j2 --target VServerService vserverctl 2>/dev/null \
    || cmake --build --preset release -j2 --target VServerService

demo="$PWD/build/demo"
mkdir -p "$demo/master"
# A copy over a running program's file would fail; the server refuses a second start anyway.
cp -f build/release/VServerService "$demo/VServerService.new" && mv -f "$demo/VServerService.new" "$demo/VServerService"
if [ -f build/release/tools/vserverctl ]; then
    cp -f build/release/tools/vserverctl "$demo/vserverctl.new" && mv -f "$demo/vserverctl.new" "$demo/vserverctl"
fi
if [ ! -d "$demo/master/Users" ]; then
    cp -r packaging/demo/Users "$demo/master/Users"
fi
registry="$demo/VServerService.reg"
connection='[HKEY_LOCAL_MACHINE\Software\QORA\Vantorel Server\Connection]'
# The registry file is written once and then left to the administrator's edits; only a PORT
# given on the command line changes its PortNumber.
if [ ! -f "$registry" ]; then
    sed -e "s|@MASTER@|$demo/master|" -e "s|@PORT@|${PORT:-1006}|" packaging/demo/VServerService.reg.in > "$registry"
elif [ -n "${PORT:-}" ]; then
    if grep -qi '^"PortNumber"=' "$registry"; then
        sed -i -E "s/^(\"PortNumber\"=)\"[^\"]*\"/\\1\"$PORT\"/I" "$registry"
    else
        printf '\r\n%s\r\n"PortNumber"="%s"\r\n' "$connection" "$PORT" >> "$registry"
    fi
fi
port="$(grep -i '^"PortNumber"=' "$registry" | tail -n 1 | cut -d'"' -f4)"
echo "Demo installation in $demo; service log: $demo/ServiceLog.log"
echo "Starting the server on port ${port:-1006}; Ctrl-C stops it. In another terminal: $demo/vserverctl status"

errors="$(mktemp)"
trap 'rm -f "$errors"' EXIT
status=0
"$demo/VServerService" 2> >(tee "$errors" >&2) || status=$?
wait   # for tee, so its lines come before ours
if [ "$status" -ne 0 ]; then
    if grep -q "Address already in use" "$errors"; then
        echo "demo-server: port ${port:-1006} is taken by another program; choose another: PORT=1007 tools/demo-server.sh" >&2
    elif grep -q "already running" "$errors"; then
        echo "demo-server: the demo server already runs (see above); stop it with Ctrl-C in its terminal" >&2
    else
        echo "demo-server: the server did not start (exit status $status); the line above says why" >&2
    fi
fi
exit "$status"
