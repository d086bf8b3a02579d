#!/usr/bin/env bash
# Requests 201 (a preference read) and 204 (the toolbar-set listing) with ASCII names against
# two server binaries, before and after a change, in turn round by round, so that the load of a
# shared machine falls on both alike. Prints every run's rate and then the medians and ratios.
#
#   tools/bench/names_bench.sh OLD-SERVER NEW-SERVER [seconds] [rounds] [accounts] [sets] [connections]
#   (REFBENCH=folder of minload.c, default ../shared/refbench)
#
# Each server gets an installation of its own with the same content: accounts student0 to
# student<accounts-1> (student0 with its preference file) and toolbar sets Set0 to Set<sets-1>.
# The load client is the reference one (minload), one request in flight per connection.
set -euo pipefail
old="$(realpath "$1")"
new="$(realpath "$2")"
secs="${3:-4}"
rounds="${4:-3}"
accounts="${5:-10000}"
sets="${6:-20}"
conns="${7:-50}"
ref="${REFBENCH:-../shared/refbench}"   # the reference load client's folder, as paths_bench.sh takes it
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
gcc -O2 -o "$work/minload" "$ref/minload.c"

guid='{6A1F3C52-8B7D-4E21-9C0A-5D3E7B19F4A2}'
install() {  # name binary port
    local folder="$work/$1" users="$work/$1/master/Users"
    mkdir -p "$users"
    (cd "$users" && seq 0 $((accounts - 1)) | sed 's/^/student/' | xargs mkdir)
    (cd "$users" && for i in $(seq 0 $((sets - 1))); do : >"ToolbarSet_Set$i.vts"; done)
    printf '[General]\r\nFontSize=12\r\nVoice=Default\r\n' >"$users/VantorelSettings.vts"
    printf '[General]\r\nFontSize=12\r\nVoice=Default\r\n' >"$users/student0/STUDENT0VantorelSettings.vts"
    cp "$2" "$folder/VServerService"
    printf 'REGEDIT4\r\n\r\n[HKEY_CLASSES_ROOT\\AppID\\%s]\r\n@="VServerService"\r\n\r\n[HKEY_CLASSES_ROOT\\AppID\\VServerService.EXE]\r\n"AppID"="%s"\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\r\n"MasterPath"="%s"\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection]\r\n"PortNumber"="%s"\r\n' \
        "$guid" "$guid" "$folder/master" "$3" >"$folder/VServerService.reg"
    (cd "$folder" && exec ./VServerService >/dev/null 2>&1) &
}
declare -A pid port=([old]=6521 [new]=6522)
install old "$old" 6521
pid[old]=$!
install new "$new" 6522
pid[new]=$!
# Let the folders' change stamps age past the moment they were written, as on a server that
# has been running a while.
sleep 3

hex() { python3 -c 'import sys; print(eval(sys.argv[1]).hex())' "$1"; }
declare -A request=(
    [201]=$(hex 'b"1\xa7\xa7\xa7201\xa7\xa7student0\xa7\xa7FontSize\xb0General\xb010\xbb\n"')
    [204]=$(hex 'b"1\xa7\xa7\xa7204\xa7\xa7\xa7\xa7\xbb\n"')
)
# The length of the one reply a request gets, asked of the server once.
replylen() {  # port request-hex
    python3 - "$1" "$2" <<'PY'
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
greeting = b""
while len(greeting) < 6: greeting += s.recv(6 - len(greeting))
s.sendall(bytes.fromhex(sys.argv[2]))
reply = b""
while not reply.endswith(b"\xbb\n"): reply += s.recv(65536)
print(len(reply))
PY
}
declare -A length
for type in 201 204; do
    length[$type]=$(replylen 6521 "${request[$type]}")
    [ "$(replylen 6522 "${request[$type]}")" = "${length[$type]}" ] || { echo "replies to $type differ" >&2; exit 1; }
done

results="$work/results"
oncpu() { cut -d' ' -f1 "/proc/$1/schedstat"; }  # nanoseconds the process has run
echo "== $accounts accounts, $sets toolbar sets, $conns connections, $rounds rounds of $secs s =="
for r in $(seq "$rounds"); do
    for type in 201 204; do
        for server in old new; do
            before=$(oncpu "${pid[$server]}")
            line=$(GREET=6 "$work/minload" "${port[$server]}" "$conns" "$secs" 0 20 "${request[$type]}" "${length[$type]}")
            line="$line server_cpu_ns=$(( $(oncpu "${pid[$server]}") - before ))"
            echo "  round $r, $type, $server: $line"
            echo "$type $server $line" >>"$results"
        done
    done
done

python3 - "$results" <<'PY'
import re, statistics, sys
rates, cpus = {}, {}
for line in open(sys.argv[1]):
    kind, server, rest = line.split(" ", 2)
    reqs = int(re.search(r"\breqs=(\d+)", rest).group(1))
    rates.setdefault((kind, server), []).append(float(re.search(r"\brps=([\d.]+)", rest).group(1)))
    cpus.setdefault((kind, server), []).append(int(re.search(r"\bserver_cpu_ns=(\d+)", rest).group(1)) / 1000 / reqs)
# The server's CPU time per request does not depend on what else the machine runs as much as
# the rate does: it is the rate the server would reach on a core of its own.
for kind in ("201", "204"):
    old, new = statistics.median(rates[(kind, "old")]), statistics.median(rates[(kind, "new")])
    cold, cnew = statistics.median(cpus[(kind, "old")]), statistics.median(cpus[(kind, "new")])
    print(f"request {kind}: rate old {old:,.0f}/s, new {new:,.0f}/s, new/old {new / old:.3f}; "
          f"server CPU per request old {cold:.2f} us, new {cnew:.2f} us, old/new {cold / cnew:.3f} (medians)")
PY
