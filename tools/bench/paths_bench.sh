#!/usr/bin/env bash
# Preference reads (request 201) against a reference server that only opens, reads and closes
# the same file, all driven by the same reference load client, with many accounts.
#
#   tools/bench/paths_bench.sh [build-dir] [refbench-dir] [seconds] [rounds] [accounts] [connections]
#
# Cases, each answered from Users/student0/STUDENT0VantorelSettings.vts:
#   reference  filesrv: open + read + close per request
#   usual      account "student0": the folder as asked, the file in other capitals
#   exact      file name "student0\STUDENT0VantorelSettings.vts": every name as stored
#   capitals   account "STUDENT0": the home folder too in other capitals than asked
# The runs are interleaved round by round and the summary gives medians and ratios, both of
# the request rates and of the server's CPU time per request (from /proc/PID/schedstat). Then each
# case runs once more for a second under strace -c (when strace is installed) to count the
# server's system calls per request, and so do two operations that append to record files: a
# queued message (request 810) and a logon cycle with usage statistics on (vserver-load
# --logon-cycles: connect, logon, client event, logoff, close). Logon cycles are also measured
# against a reference (cyclesrv) that only does the TCP part and the statistics appends, with the
# same load client:
#   cycles-reference  cyclesrv: greeting, replies, one locked append per step, close on logoff
#   cycles            the server with usage statistics on, accounts student0 to student<N-1>
# Everything runs on 127.0.0.1.
set -euo pipefail
build="$(realpath "${1:-build/release}")"
ref="$(realpath "${2:-../shared/refbench}")"
secs="${3:-4}"
rounds="${4:-3}"
accounts="${5:-10000}"
conns="${6:-50}"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT

for file in "$build/VServerService" "$build/tools/vserver-load" "$build/tools/filesrv" "$build/tools/cyclesrv"; do
    if [ ! -x "$file" ]; then
        echo "paths_bench.sh: $file not found; build first (cmake --build --preset release)" >&2
        exit 2
    fi
done
gcc -O2 -o "$work/minload" "$ref/minload.c"

users="$work/server/master/Users"
mkdir -p "$users"
(cd "$users" && seq 0 $((accounts - 1)) | sed 's/^/student/' | xargs mkdir)
printf '[General]\r\nFontSize=12\r\nVoice=Default\r\n' > "$users/VantorelSettings.vts"
printf '[General]\r\nFontSize=12\r\nVoice=Default\r\n' > "$users/student0/STUDENT0VantorelSettings.vts"
cp "$build/VServerService" "$work/server/"
guid='{6A1F3C52-8B7D-4E21-9C0A-5D3E7B19F4A2}'
printf 'REGEDIT4\r\n\r\n[HKEY_CLASSES_ROOT\\AppID\\%s]\r\n@="VServerService"\r\n\r\n[HKEY_CLASSES_ROOT\\AppID\\VServerService.EXE]\r\n"AppID"="%s"\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\r\n"MasterPath"="%s"\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection]\r\n"PortNumber"="6512"\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\r\n"AllowConsoleRequestsFromAnyConnection"="True"\r\n"LogUserStatistics"="True"\r\n' \
    "$guid" "$guid" "$work/server/master" > "$work/server/VServerService.reg"

# Request 201 with id 1 for one item, as hex; the reply is "202 A7 1 A7 FontSize B0 12 BB 0A".
request() {  # account file-name
    python3 -c 'import sys
a, f = sys.argv[1].encode(), sys.argv[2].encode()
r = b"1\xa7\xa7\xa7201\xa7\xa7" + a + b"\xa7" + f + b"\xa7FontSize\xb0General\xb010\xbb\n"
print(r.hex())' "$1" "$2"
}
reply=$(python3 -c 'print(b"202\xa71\xa7FontSize\xb012\xbb\n".hex())')
replylen=$(( ${#reply} / 2 ))
declare -A hex=(
    [usual]=$(request student0 "")
    [exact]=$(request "" 'student0\STUDENT0VantorelSettings.vts')
    [capitals]=$(request STUDENT0 "")
)

"$build/tools/filesrv" 6511 "$users/student0/STUDENT0VantorelSettings.vts" "$reply" &
refpid=$!
mkdir -p "$work/reference/Users"
"$build/tools/cyclesrv" 6513 "$work/reference/Users" &
cycpid=$!
(cd "$work/server" && exec ./VServerService >/dev/null 2>&1) &
serverpid=$!
# Let the folders' change stamps age past the moment they were written, as on a server that
# has been running a while.
sleep 3

results="$work/results"
oncpu() { cut -d' ' -f1 "/proc/$1/schedstat"; }  # nanoseconds the process has run
run() {  # label pid command...
    local label=$1 pid=$2 line before
    shift 2
    before=$(oncpu "$pid")
    line=$("$@")
    line="$line server_cpu_us_per_req=$(python3 -c 'import re, sys
reqs = int(re.search(r"\b(?:reqs|cycles)=(\d+)", sys.argv[1]).group(1))
print(f"{(int(sys.argv[3]) - int(sys.argv[2])) / 1000 / reqs:.2f}")' "$line" "$before" "$(oncpu "$pid")")"
    echo "  $label: $line"
    echo "$label $line" >>"$results"
}
cycles() {  # port connections seconds
    "$build/tools/vserver-load" --port "$1" --connections "$2" --seconds "$3" --warmup 0 --logon-cycles \
        --account-prefix student
}
load() {  # label
    if [ "$1" = reference ]; then
        run reference "$refpid" "$work/minload" 6511 "$conns" "$secs" 0 20 "${hex[usual]}" "$replylen"
    elif [ "$1" = cycles-reference ]; then
        run "$1" "$cycpid" cycles 6513 "$conns" "$secs"
    elif [ "$1" = cycles ]; then
        run "$1" "$serverpid" cycles 6512 "$conns" "$secs"
    else
        run "$1" "$serverpid" env GREET=6 "$work/minload" 6512 "$conns" "$secs" 0 20 "${hex[$1]}" "$replylen"
    fi
}

echo "== $accounts accounts, $conns connections, $rounds rounds of ${secs} s =="
for r in $(seq "$rounds"); do
    for label in reference usual exact capitals cycles-reference cycles; do load "$label"; done
done

python3 - "$results" <<'PY'
import re, statistics, sys
rates, cpus = {}, {}
for line in open(sys.argv[1]):
    label, rest = line.split(" ", 1)
    rates.setdefault(label, []).append(float(re.search(r"\b(?:rps|cps)=([\d.]+)", rest).group(1)))
    cpus.setdefault(label, []).append(float(re.search(r"\bserver_cpu_us_per_req=([\d.]+)", rest).group(1)))
rate = {label: statistics.median(v) for label, v in rates.items()}
cpu = {label: statistics.median(v) for label, v in cpus.items()}
print("\nMedians: " + "; ".join(f"{k} {rate[k]:,.0f}/s, {cpu[k]:.2f} us server CPU per operation" for k in rate))
print("Ratios by rate (a loaded machine blurs them) and by server CPU per request (the rate each")
print("server would reach on a core of its own):")
for ours, base, target in (("usual", "reference", 0.75), ("exact", "reference", None), ("capitals", "usual", 0.5),
                           ("cycles", "cycles-reference", 0.8)):
    goal = f" (target >= {target})" if target else ""
    print(f"  {ours}/{base}: rate {rate[ours] / rate[base]:.2f}, CPU {cpu[base] / cpu[ours]:.2f}{goal}")
PY

if ! command -v strace >/dev/null; then
    echo "strace is not installed: no system call counts"
    exit 0
fi
echo
echo "System calls per request (one connection, 1 s under strace -c):"
count() {  # label pid command...
    local label=$1 pid=$2 line
    shift 2
    strace -c -f -q -p "$pid" -o "$work/strace-$label" &
    local tracer=$!
    sleep 0.5
    line=$("$@")
    sleep 0.2
    kill -INT "$tracer"
    wait "$tracer" || true
    python3 - "$work/strace-$label" "$label" "$line" <<'PY'
import re, sys
path, label, line = sys.argv[1:]
done = int(re.search(r"\b(?:reqs|cycles)=(\d+)", line).group(1))
calls = {}
for row in open(path):
    cols = row.split()
    if len(cols) >= 5 and cols[0][0].isdigit() and cols[-1] != "total":
        calls[cols[-1]] = int(cols[3])
total = sum(calls.values())
top = sorted(calls.items(), key=lambda kv: -kv[1])
print(f"  {label}: {total / done:.1f} per operation ("
      + ", ".join(f"{name} {n / done:.2f}" for name, n in top if n / done >= 0.05) + ")")
PY
}
count reference "$refpid" "$work/minload" 6511 1 1 0 20 "${hex[usual]}" "$replylen"
for label in usual exact capitals; do
    count "$label" "$serverpid" env GREET=6 "$work/minload" 6512 1 1 0 20 "${hex[$label]}" "$replylen"
done
queue=$(python3 -c 'print(b"1\xa7\xa7\xa7810\xa7\xa7\xa7student0\xa7Time to read\xbb\n".hex())')
queued=$(python3 -c 'print(b"1\xa71\xa7810\xa7True\xbb\n".hex())')
count append-810 "$serverpid" env GREET=6 "$work/minload" 6512 1 1 0 20 "$queue" $(( ${#queued} / 2 ))
count cycles-reference "$cycpid" cycles 6513 1 1
count logon-cycle "$serverpid" "$build/tools/vserver-load" --port 6512 --connections 1 --seconds 1 --warmup 0 \
    --logon-cycles --account-prefix student
