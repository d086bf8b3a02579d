#!/usr/bin/env bash
# Request throughput and latency of the server-version request against two reference servers,
# all driven by the same reference load client, then the server driven by vserver-load.
#
#   tools/bench/throughput.sh [build-dir] [refbench-dir] [seconds] [rounds]
#
# The reference programs (a minimal epoll server and its load client) are compiled from
# refbench-dir; Redis answers PING when redis-server is installed. The four runs of each
# connection count are interleaved round by round, so a machine whose speed drifts affects them
# alike, and the summary gives the median of the rounds and the ratios. Everything runs on
# 127.0.0.1.
set -euo pipefail
build="$(realpath "${1:-build/release}")"
ref="$(realpath "${2:-../shared/refbench}")"
secs="${3:-5}"
rounds="${4:-3}"
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
redis=0
if command -v redis-server >/dev/null; then
    redis-server --port 6501 --save "" --appendonly no --daemonize no >/dev/null 2>&1 &
    redis=1
fi
(cd "$work/server" && exec ./VServerService >/dev/null 2>&1) &
sleep 1

results="$work/results"
run() {  # label connections command...
    local label=$1 n=$2
    shift 2
    local line
    line=$("$@")
    echo "  $label: $line"
    echo "$n $label $line" >>"$results"
}

for n in 1 50 500; do
    echo "== $n connections, $rounds rounds of ${secs} s =="
    for r in $(seq "$rounds"); do
        run minsrv "$n" "$work/minload" 6500 "$n" "$secs" 1
        [ "$redis" = 1 ] && run redis "$n" "$work/minload" 6501 "$n" "$secs" 1 20 50494e470d0a 7
        run vserver "$n" env GREET=6 "$work/minload" 6502 "$n" "$secs" 1 20 31a7a7a7323037bb0a 13
        run vserver-load "$n" "$build/tools/vserver-load" --port 6502 --connections "$n" --seconds "$secs" --warmup 1
    done
done

python3 - "$results" <<'PY'
import re, statistics, sys
runs = {}
for line in open(sys.argv[1]):
    n, label, rest = line.split(" ", 2)
    rps = float(re.search(r"\brps=([\d.]+)", rest).group(1))
    p99 = float(re.search(r"\bp99_us=([\d.]+)", rest).group(1))
    runs.setdefault((int(n), label), []).append((rps, p99))
print("\nMedians of the rounds (requests per second, p99 in microseconds):")
for n in sorted({k[0] for k in runs}):
    med = {label: (statistics.median(r for r, _ in v), statistics.median(p for _, p in v))
           for (m, label), v in runs.items() if m == n}
    ours = med["vserver"]
    parts = [f"{label} {rps:,.0f} rps p99 {p99:,.0f}" for label, (rps, p99) in med.items()]
    print(f"  {n:>3} connections: " + "; ".join(parts))
    ratios = [f"vserver/minsrv {ours[0] / med['minsrv'][0]:.2f}"]
    if "redis" in med:
        ratios.append(f"vserver/redis {ours[0] / med['redis'][0]:.2f}")
        ratios.append(f"p99 vserver/redis {ours[1] / med['redis'][1]:.2f}")
    ratios.append(f"vserver-load/minload {med['vserver-load'][0] / ours[0]:.2f}")
    print("       " + ", ".join(ratios))
PY
