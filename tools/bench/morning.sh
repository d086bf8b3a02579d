#!/usr/bin/env bash
# The morning rush, measured against its reference: vserver-load --scenario morning drives the
# server and the reference server (morningsrv, the same replies with the fewest system calls),
# each on a freshly prepared folder and started anew, the runs interleaved round by round so a
# machine whose load drifts affects both alike. Then one more run of each counts the system
# calls of the measured window (perf stat; strace -c over the whole run when perf cannot), and
# one table gives the medians of the rounds and ours / reference.
#
#   tools/bench/morning.sh [build-dir] [workstations] [ramp-seconds] [rounds]
#
# Defaults: build/release, 1000 workstations over 10 s, 3 rounds. Everything runs on
# 127.0.0.1 in a folder under TMPDIR (on disk, not tmpfs: the syncs are part of the cost),
# removed at the end.
#   PROFILE=1                 also record where the server's time goes (perf record -g over one
#                             more window) and print its top functions
#   WINDOWS_EXE=path.exe      measure that Windows build under Wine instead, once, without the
#                             reference (the figures are Wine's)
set -euo pipefail
build="$(realpath "${1:-build/release}")"
workstations="${2:-1000}"
ramp="${3:-10}"
rounds="${4:-3}"
load="$build/tools/vserver-load"
for file in "$build/VServerService" "$load" "$build/tools/morningsrv"; do
    if [ ! -x "$file" ]; then
        echo "morning.sh: $file not found; build first (cmake --build --preset release)" >&2
        exit 2
    fi
done
work="$(mktemp -d "${TMPDIR:-/tmp}/vserver-morning-bench-XXXXXX")"
server_pid=""
stop_server() {
    [ -n "$server_pid" ] || return 0
    kill -"${1:-TERM}" "$server_pid" 2>/dev/null || true
    for _ in $(seq 200); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.05; done
    kill -KILL "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
}
trap 'stop_server; kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

# Waits for "listening on port N" in file; sets port.
await_port() {  # file
    port=""
    for _ in $(seq 400); do
        port=$(cat "$1" 2>/dev/null | tr -d '\0\r' | sed -n 's/.*listening on port \([0-9][0-9]*\).*/\1/p' | head -n 1 || true)
        [ -n "$port" ] && return 0
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.05
    done
    echo "morning.sh: the server in $(dirname "$1") did not start:" >&2
    cat "$1" >&2 2>/dev/null || true
    exit 1
}

# Prepares a fresh folder and starts the target in it; sets folder, server_pid and port.
start() {  # target label
    folder="$work/$2"
    rm -rf "$folder"
    mkdir -p "$folder"
    if [ "$1" = wine ]; then
        local master
        master="Z:$(sed 's|/|\\\\|g' <<<"$folder/master")"
        printf 'REGEDIT4\r\n\r\n[HKEY_CLASSES_ROOT\\AppID\\{6A1F3C52-8B7D-4E21-9C0A-5D3E7B19F4A2}]\r\n@="VServerService"\r\n\r\n[HKEY_CLASSES_ROOT\\AppID\\VServerService.EXE]\r\n"AppID"="{6A1F3C52-8B7D-4E21-9C0A-5D3E7B19F4A2}"\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\r\n"MasterPath"="%s"\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection]\r\n"PortNumber"="0"\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\r\n"LogUserStatistics"="True"\r\n' \
            "$master" >"$folder/VServerService.reg"
    fi
    "$load" --scenario morning --prepare --folder "$folder" --workstations "$workstations" >/dev/null
    case "$1" in
    ours)
        cp "$build/VServerService" "$folder/"
        (cd "$folder" && exec env -u VSERVER_REGISTRY -u VSERVER_LOG_FOLDER -u VSERVER_DATA_FOLDER -u NOTIFY_SOCKET \
            ./VServerService </dev/null >/dev/null 2>&1) &
        server_pid=$!
        await_port "$folder/ServiceLog.log"
        ;;
    reference)
        "$build/tools/morningsrv" 0 "$folder" >"$folder/reference.txt" 2>&1 &
        server_pid=$!
        await_port "$folder/reference.txt"
        ;;
    wine)
        cp "$WINDOWS_EXE" "$folder/VServerService.exe"
        # The Windows build reads the system registry unless VSERVER_REGISTRY names a file.
        (cd "$folder" && exec env -u VSERVER_LOG_FOLDER -u VSERVER_DATA_FOLDER \
            VSERVER_REGISTRY="Z:$(tr / '\\' <<<"$folder/VServerService.reg")" \
            wine ./VServerService.exe </dev/null >"$folder/wine.txt" 2>&1) &
        server_pid=$!
        await_port "$folder/ServiceLog.log"
        ;;
    esac
}

# One run of the scenario against the started target; its summary line is kept in the file
# named by into (the rounds' results unless a counting run says otherwise).
results="$work/results"
into="$results"
scenario() {  # target label [vserver-load options...]
    local target=$1 label=$2 out status=0
    shift 2
    out=$("$load" --scenario morning --folder "$folder" --workstations "$workstations" --ramp "$ramp" \
        --port "$port" --server-pid "$server_pid" "$@" 2>"$work/stderr") || status=$?
    if [ "$status" -ne 0 ]; then
        echo "morning.sh: $label: vserver-load exited with $status: $(cat "$work/stderr")" >&2
        sed -n '/problem:/p' <<<"$out" >&2
    fi
    echo "$target $(tail -n 1 <<<"$out")" >>"$into"
}

measure() {  # target label
    start "$1" "$2"
    local loadavg
    loadavg=$(cut -d' ' -f1-3 /proc/loadavg)
    scenario "$1" "$2"
    echo "  $2: load average $loadavg; $(tail -n 1 "$results" | grep -o 'startup_p99_ms=[^ ]*\|server_cpu_ms_per_ws=[^ ]*\| errors=[^ ]*' | tr -d '\n')"
    echo "loadavg $1 $loadavg" >>"$work/loads"
    if [ "$1" = wine ]; then stop_server INT; else stop_server; fi
    rm -rf "$folder"
}

# The system calls of one window: perf counts each call's entries between the scenario's
# "enable" and "disable"; strace -c counts the whole run when perf is missing or refused.
count_calls() {  # target
    start "$1" "calls-$1"
    local counts="$work/calls-$1.txt"
    into="$work/calls-runs"
    if perf stat -e raw_syscalls:sys_enter -p "$server_pid" -- sleep 0.01 >/dev/null 2>&1; then
        mkfifo "$work/ctl" "$work/ack"
        perf stat -x, -e 'syscalls:sys_enter_*' --control "fifo:$work/ctl,$work/ack" -D -1 -p "$server_pid" \
            -o "$counts" 2>/dev/null &
        local tracer=$!
        scenario "$1" "calls-$1" --window-control "$work/ctl,$work/ack"
        kill -INT "$tracer"
        wait "$tracer" 2>/dev/null || true
        rm -f "$work/ctl" "$work/ack"
        echo "calls $1 perf $counts" >>"$work/calls"
    elif command -v strace >/dev/null; then
        strace -c -f -q -p "$server_pid" -o "$counts" &
        local tracer=$!
        sleep 0.5
        scenario "$1" "calls-$1"
        kill -INT "$tracer"
        wait "$tracer" 2>/dev/null || true
        echo "calls $1 strace $counts" >>"$work/calls"
    fi
    into="$results"
    stop_server
    rm -rf "$folder"
}

profile() {
    start ours profile
    into="$work/profile-runs"
    mkfifo "$work/ctl" "$work/ack"
    perf record -g -o "$work/perf.data" --control "fifo:$work/ctl,$work/ack" -D -1 -p "$server_pid" >/dev/null 2>&1 &
    local recorder=$!
    scenario ours profile --window-control "$work/ctl,$work/ack"
    kill -INT "$recorder"
    wait "$recorder" 2>/dev/null || true
    stop_server
    echo
    echo "Where the server's time goes (perf record -g over one window; self time by function):"
    perf report -i "$work/perf.data" --stdio --no-children --sort dso,sym 2>/dev/null | grep -E '^ +[0-9]' | head -n 30
}

echo "== morning rush: $workstations workstations over $ramp s, $(nproc) CPUs, $(date '+%Y-%m-%d %H:%M') =="
if [ -n "${WINDOWS_EXE:-}" ]; then
    WINDOWS_EXE="$(realpath "$WINDOWS_EXE")"
    cd "$(dirname "$0")/../.." && . tools/wine-env.sh morning.sh
    measure wine wine
else
    for r in $(seq "$rounds"); do
        # Which goes first alternates, so neither always meets the other's disk writes.
        if [ $((r % 2)) -eq 1 ]; then order="ours reference"; else order="reference ours"; fi
        for target in $order; do measure "$target" "$target-$r"; done
    done
    echo "  counting system calls"
    count_calls ours
    count_calls reference
fi

python3 - "$results" "$work/calls" "$workstations" "$ramp" "$work/loads" <<'PY'
import os, re, statistics, sys
results, calls_index, workstations, ramp, loads = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5]
runs = {}
for line in open(results):
    target, rest = line.split(" ", 1)
    values = dict(kv.split("=", 1) for kv in rest.split() if "=" in kv)
    runs.setdefault(target, []).append(values)
calls = {}
if os.path.exists(calls_index):
    for line in open(calls_index):
        _, target, tool, path = line.split()
        counts = {}
        for row in open(path):
            cols = row.strip().split(",") if tool == "perf" else row.split()
            if tool == "perf" and len(cols) > 2 and cols[0].isdigit():
                name = cols[2].split("sys_enter_")[-1]
                if int(cols[0]) > 0: counts[name] = int(cols[0])
            elif tool == "strace" and len(cols) >= 5 and cols[0][0].isdigit() and cols[-1] != "total":
                counts[cols[-1]] = int(cols[3])
        calls[target] = (tool, counts)
targets = [t for t in ("ours", "reference", "wine") if t in runs]
kinds = [("logon", "101 logon"), ("read", "201 read"), ("messages", "208 messages"), ("toolbars", "210 toolbar sets"),
         ("write", "203 write"), ("event", "3 event"), ("queue", "810 queue"), ("sessions", "803 sessions"),
         ("startup", "connect to start-up end")]
def med(target, key):
    vals = [float(r[key]) for r in runs[target] if key in r]
    return statistics.median(vals) if vals else float("nan")
names = {"ours": "ours", "reference": "reference", "wine": "ours under Wine"}
print(f"\nMorning rush, {workstations} workstations over {ramp} s: medians of {len(runs[targets[0]])} round(s)")
print("load average (1, 5, 15 min) at each run's start: " +
      "; ".join(" ".join(l.split()[1:]) for l in open(loads)))
print(f"{'':40}" + "".join(f"{names[t]:>26}" for t in targets) + ("   ours/reference" if len(targets) == 2 else ""))
def row(label, cells, ratio=None):
    print(f"{label:40}" + "".join(f"{c:>26}" for c in cells) + (f"   {ratio}" if ratio else ""))
for key, label in kinds:
    cells = [f"{med(t, key + '_p50_ms'):.2f} / {med(t, key + '_p99_ms'):.2f} / {med(t, key + '_max_ms'):.1f}" for t in targets]
    row(label + " p50/p99/max ms", cells)
cpu = {t: med(t, "server_cpu_ms_per_ws") for t in targets}
ratio = f"{cpu['ours'] / cpu['reference']:.2f}" if "reference" in cpu and cpu["reference"] > 0 else None
row("server CPU per workstation ms", [f"{cpu[t]:.3f}" for t in targets], ratio)
if calls:
    per = {t: sum(c for c in calls[t][1].values()) / workstations for t in calls}
    ratio = f"{per['ours'] / per['reference']:.2f}" if "reference" in per and per["reference"] > 0 else None
    row(f"system calls per workstation", [f"{per.get(t, float('nan')):.1f}" for t in targets], ratio)
wb = {t: med(t, "server_write_bytes_per_ws") / 1024 for t in targets}
ratio = f"{wb['ours'] / wb['reference']:.2f}" if "reference" in wb and wb["reference"] > 0 else None
row("bytes written per workstation KB", [f"{wb[t]:.1f}" for t in targets], ratio)
row("client CPU per workstation ms", [f"{med(t, 'client_cpu_ms_per_ws'):.2f}" for t in targets])
def total(t, key): return sum(int(r.get(key, 0)) for r in runs[t])
wrong = lambda t: sum(total(t, k + "_wrong") for k in ("logon", "read", "messages", "toolbars", "write", "event", "last",
                                                       "confirm", "queue", "sessions"))
row("wrong replies / lost connections", [f"{wrong(t)} / {total(t, 'lost_connections')}" for t in targets])
row("queued: acknowledged / delivered", [f"{total(t, 'acknowledged')} / {total(t, 'delivered')}" for t in targets])
row("queued: lost / twice / wrong", [f"{total(t, 'lost')} / {total(t, 'repeated')} / {total(t, 'wrong_deliveries')}" for t in targets])
row("errors of every kind (all rounds)", [f"{total(t, 'errors')}" for t in targets])
for t, (tool, counts) in calls.items():
    top = sorted(counts.items(), key=lambda kv: -kv[1])[:14]
    how = "perf stat, the window" if tool == "perf" else "strace -c, the whole run"
    print(f"system calls of {names[t]} per workstation ({how}): " +
          ", ".join(f"{name} {n / workstations:.2f}" for name, n in top))
PY

if [ "${PROFILE:-0}" = 1 ] && [ -z "${WINDOWS_EXE:-}" ]; then profile; fi
