#!/usr/bin/env bash
# What the access settings cost: throughput of the server-version request (207) on a server
# with BindAddress, ConsoleAddresses, MaxConnectionsPerAddress and ConsoleOnlySharedFiles all
# set, against the same server with none of them (and, when given, another build's server
# with none). The runs are interleaved round by round, so a machine whose speed drifts affects
# them alike; the summary gives the median of the rounds and the ratios, of requests per second
# and of the server's CPU time per request (which a busy machine disturbs less).
#
#   tools/bench/access_overhead.sh [build-dir] [connections] [seconds] [rounds] [baseline-binary]
set -euo pipefail
build="$(realpath "${1:-build/release}")"
connections="${2:-50}"
secs="${3:-5}"
rounds="${4:-5}"
baseline="${5:-}"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

guid='{6A1F3C52-8B7D-4E21-9C0A-5D3E7B19F4A2}'
install() {  # name binary port extra-registry
    local dir="$work/$1"
    mkdir -p "$dir/master/Users"
    cp "$2" "$dir/VServerService"
    printf 'REGEDIT4\r\n\r\n[HKEY_CLASSES_ROOT\\AppID\\%s]\r\n@="VServerService"\r\n\r\n[HKEY_CLASSES_ROOT\\AppID\\VServerService.EXE]\r\n"AppID"="%s"\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\r\n"MasterPath"="%s"\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection]\r\n"PortNumber"="%s"\r\n%b' \
        "$guid" "$guid" "$dir/master" "$3" "$4" >"$dir/VServerService.reg"
    (cd "$dir" && exec ./VServerService >/dev/null 2>&1) &
    pids[$1]=$!
}
declare -A pids

install none "$build/VServerService" 6510 ''
install all "$build/VServerService" 6511 '"BindAddress"="127.0.0.1"\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\r\n"ConsoleAddresses"="127.0.0.1, 10.0.0.0/8, ::ffff:192.168.0.0/112"\r\n"MaxConnectionsPerAddress"="1000"\r\n"ConsoleOnlySharedFiles"="True"\r\n'
labels="none:6510 all:6511"
if [ -n "$baseline" ]; then
    install baseline "$baseline" 6512 ''
    labels="$labels baseline:6512"
fi
sleep 1

results="$work/results"
for r in $(seq "$rounds"); do
    for entry in $labels; do
        label=${entry%%:*}
        line=$("$build/tools/vserver-load" --port "${entry##*:}" --connections "$connections" --seconds "$secs" \
            --warmup 1 --server-pid "${pids[$label]}")
        echo "  round $r $label: $line"
        echo "$label $line" >>"$results"
    done
done

python3 - "$results" <<'PY'
import re, statistics, sys
rps, cpu = {}, {}
for line in open(sys.argv[1]):
    label, rest = line.split(" ", 1)
    r = float(re.search(r"\brps=([\d.]+)", rest).group(1))
    reqs = float(re.search(r"\breqs=(\d+)", rest).group(1))
    ms = float(re.search(r"\bserver_cpu_ms=([\d.]+)", rest).group(1))
    rps.setdefault(label, []).append(r)
    cpu.setdefault(label, []).append(1000.0 * ms / reqs)
rps = {k: statistics.median(v) for k, v in rps.items()}
cpu = {k: statistics.median(v) for k, v in cpu.items()}
print("\nMedians of the rounds: " + "; ".join(f"{k} {rps[k]:,.0f} rps, {cpu[k]:.2f} us server CPU per request" for k in rps))
for other in ("none", "baseline"):
    if other in rps:
        print(f"  every access setting / {other}: throughput {rps['all'] / rps[other]:.4f}, "
              f"CPU per request {cpu['all'] / cpu[other]:.4f}")
PY
