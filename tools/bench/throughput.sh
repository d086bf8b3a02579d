#!/usr/bin/env bash
# Request throughput and latency of the server-version request against two reference servers,
# all driven by the same reference load client, then the server driven by vserver-load.
#
#   tools/bench/throughput.sh [build-dir] [refbench-dir] [seconds]
#
# The reference programs (a minimal epoll server and its load client) are compiled from
# refbench-dir; Redis is used when redis-server is installed. Everything runs on 127.0.0.1.
set -euo pipefail
build="$(realpath "${1:-build/release}")"
ref="$(realpath "${2:-../shared/refbench}")"
secs="${3:-5}"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT

gcc -O2 -o "$work/minsrv" "$ref/minsrv.c"
gcc -O2 -o "$work/minload" "$ref/minload.c"

mkdir -p "$work/server/master/Users"
cp "$build/VServerService" "$work/server/"
guid='{6A1F3C52-8B7D-4E21-9C0A-5D3E7B19F4A2}'
printf 'REGEDIT4\r\n\r\n[HKEY_CLASSES_ROOT\\AppID\\%s]\r\n@="VServerService"\r\n\r\n[HKEY_CLASSES_ROOT\\AppID\\VServerService.EXE]\r\n"AppID"="%s"\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\r\n"MasterPath"="%s"\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection]\r\n"PortNumber"="6502"\r\n' \
    "$guid" "$guid" "$work/server/master" > "$work/server/VServerService.reg"

"$work/minsrv" 6500 >/dev/null 2>&1 &
if command -v redis-server >/dev/null; then
    redis-server --port 6501 --save "" --appendonly no --daemonize no >/dev/null 2>&1 &
fi
(cd "$work/server" && ./VServerService >/dev/null 2>&1) &
sleep 1

for n in 1 50 500; do
    echo "== $n connections, ${secs} s (minload) =="
    printf 'minsrv      '; "$work/minload" 6500 "$n" "$secs" 1
    if command -v redis-server >/dev/null; then
        printf 'redis PING  '; "$work/minload" 6501 "$n" "$secs" 1 20 50494e470d0a 7
    fi
    printf 'vserver 207 '; GREET=6 "$work/minload" 6502 "$n" "$secs" 1 20 31a7a7a7323037bb0a 13
    printf 'vserver 207 (vserver-load) '; "$build/tools/vserver-load" --port 6502 --connections "$n" --seconds "$secs" --warmup 1
    printf 'vserver 207 (minload again) '; GREET=6 "$work/minload" 6502 "$n" "$secs" 1 20 31a7a7a7323037bb0a 13
done
