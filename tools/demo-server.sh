#!/usr/bin/env bash
# Builds the server and serves a demo installation in the foreground (Ctrl-C stops it).
# The installation folder is build/demo: the executable, its registry file, the service log,
# and a master folder with a Users folder holding the master preference file and a toolbar set.
set -euo pipefail
cd "$(dirname "$0")/.."
port="${PORT:-1006}"
tools/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j2 --target VServerService vserverctl 2>/dev/null \
    || cmake --build --preset release -j2 --target VServerService

demo="$PWD/build/demo"
mkdir -p "$demo/master"
cp -f build/release/VServerService "$demo/VServerService"
[ -f build/release/tools/vserverctl ] && cp -f build/release/tools/vserverctl "$demo/vserverctl"
if [ ! -d "$demo/master/Users" ]; then
    cp -r packaging/demo/Users "$demo/master/Users"
fi
# The registry file is written once and then left to the administrator's edits.
if [ ! -f "$demo/VServerService.reg" ]; then
    sed -e "s|@MASTER@|$demo/master|" -e "s|@PORT@|$port|" packaging/demo/VServerService.reg.in \
        > "$demo/VServerService.reg"
fi
echo "Demo installation in $demo; service log: $demo/ServiceLog.log"
echo "Serving on port $(grep -i '"PortNumber"' "$demo/VServerService.reg" | cut -d'"' -f4); Ctrl-C stops the server."
exec "$demo/VServerService"
