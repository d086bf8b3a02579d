#!/usr/bin/env bash
# The administrator's tools measured:
#   - vserverctl report on a generated statistics file (time and peak memory, three outputs);
#   - the round trip of vserverctl check against a running server (whole runs of the program);
#   - request 207's throughput and the server's CPU time per request with the service
#     manager's status line on (the server run as a service, a notify socket drained beside it)
#     and off (the server run by hand), the runs of the two interleaved round by round, while in
#     both one more connection comes for 1.3 s and goes for 1.3 s, so the figures keep changing
#     and the line is formatted and sent at most looks.
#
#   tools/bench/admin_bench.sh [build-dir] [lines] [rounds] [seconds] [connections]
set -euo pipefail
build="$(realpath "${1:-build/release}")"
lines="${2:-1000000}"
rounds="${3:-5}"
secs="${4:-5}"
conns="${5:-50}"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
ctl="$build/tools/vserverctl"

echo "== vserverctl report on $lines lines =="
python3 "$here/usage_file.py" "$work/EventLog.log" --lines "$lines"
echo "  file: $(wc -c <"$work/EventLog.log") bytes"
for form in text --json --html; do
    args=()
    [ "$form" = --json ] && args=(--json)
    [ "$form" = --html ] && args=(--html "$work/report.html")
    /usr/bin/time -f "%e s, %M KiB peak" -o "$work/time" "$ctl" report "${args[@]}" "$work/EventLog.log" >/dev/null
    echo "  report $form: $(cat "$work/time")"
done

install_server() {  # folder port local-service(0|1)
    mkdir -p "$1/master/Users"
    cp "$build/VServerService" "$1/"
    local guid='{6A1F3C52-8B7D-4E21-9C0A-5D3E7B19F4A2}' service=''
    [ "$3" = 1 ] && service='"LocalService"="VServerService"\r\n"ServiceParameters"="-Service"\r\n'
    printf "REGEDIT4\r\n\r\n[HKEY_CLASSES_ROOT\\\\AppID\\\\%s]\r\n@=\"VServerService\"\r\n$service\r\n[HKEY_CLASSES_ROOT\\\\AppID\\\\VServerService.EXE]\r\n\"AppID\"=\"%s\"\r\n\r\n[HKEY_LOCAL_MACHINE\\\\Software\\\\QORA\\\\Vantorel Server]\r\n\"MasterPath\"=\"%s\"\r\n\r\n[HKEY_LOCAL_MACHINE\\\\Software\\\\QORA\\\\Vantorel Server\\\\Connection]\r\n\"PortNumber\"=\"%s\"\r\n" \
        "$guid" "$guid" "$1/master" "$2" >"$1/VServerService.reg"
}

install_server "$work/off" 6531 0
install_server "$work/on" 6532 1
# A stand-in for systemd's notify socket: takes every datagram and counts the status lines.
python3 - "$work/notify.sock" "$work/status-lines" <<'PY' &
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
count = 0
while True:
    data = s.recv(4096)
    if data.startswith(b"STATUS=Running: "):
        count += 1
        open(sys.argv[2], "w").write("%d %s\n" % (count, data.decode()))
PY
wait_for() {  # what command...: tries for up to 20 s
    local what=$1
    shift
    for _ in $(seq 200); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "admin_bench: $what did not come up" >&2
    exit 1
}
wait_for "the notify socket" test -S "$work/notify.sock"
(cd "$work/off" && exec ./VServerService >/dev/null 2>&1) &
pid_off=$!
(cd "$work/on" && NOTIFY_SOCKET="$work/notify.sock" exec ./VServerService -Service >/dev/null 2>&1) &
pid_on=$!
wait_for "the server run by hand" "$ctl" --port 6531 version
wait_for "the server run as a service" "$ctl" --port 6532 version

echo "== vserverctl check round trip (whole program runs) =="
for i in $(seq 50); do
    start=$(date +%s%N)
    "$ctl" check --port 6531 >/dev/null || true
    echo $(( ($(date +%s%N) - start) / 1000 ))
done | sort -n | awk '{v[NR]=$1} END {printf "  50 runs: median %.2f ms, p90 %.2f ms\n", v[int(NR/2)]/1000, v[int(NR*0.9)]/1000}'
"$ctl" check --port 6531 || true

echo "== request 207, status line on vs off: $rounds rounds of ${secs} s, $conns connections =="
churn() {  # port
    while true; do
        exec 3<>"/dev/tcp/127.0.0.1/$1" && sleep 1.3
        exec 3>&- && sleep 1.3
    done
}
results="$work/results"
for r in $(seq "$rounds"); do
    order="off on"
    [ $((r % 2)) = 0 ] && order="on off"
    for mode in $order; do
        port=6531
        pid=$pid_off
        [ "$mode" = on ] && port=6532 && pid=$pid_on
        churn "$port" &
        churner=$!
        line=$("$build/tools/vserver-load" --port "$port" --connections "$conns" --seconds "$secs" --warmup 1 \
            --server-pid "$pid")
        kill "$churner"
        wait "$churner" 2>/dev/null || true
        echo "  $mode: $line"
        echo "$mode $line" >>"$results"
    done
done
echo "  status lines the manager received: $(cut -d' ' -f1 "$work/status-lines" 2>/dev/null || echo 0); the last: $(cut -d' ' -f2- "$work/status-lines" 2>/dev/null)"
python3 - "$results" <<'PY'
import re, statistics, sys
runs = {"on": [], "off": []}
cpu = {"on": [], "off": []}
for line in open(sys.argv[1]):
    mode, rest = line.split(" ", 1)
    rps = float(re.search(r"\brps=([\d.]+)", rest).group(1))
    runs[mode].append(rps)
    used = re.search(r"\bserver_cpu_ms=([\d.]+)", rest)
    secs = float(re.search(r"\bsecs=([\d.]+)", rest).group(1))
    if used:
        cpu[mode].append(float(used.group(1)) * 1e3 / (rps * secs))
on, off = statistics.median(runs["on"]), statistics.median(runs["off"])
print(f"  medians: on {on:,.0f} rps, off {off:,.0f} rps, on/off {on / off:.4f}")
if cpu["on"] and cpu["off"]:
    con, coff = statistics.median(cpu["on"]), statistics.median(cpu["off"])
    print(f"  server CPU per request: on {con:.3f} us, off {coff:.3f} us, on/off {con / coff:.4f}")
PY
