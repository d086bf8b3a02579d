#!/usr/bin/env bash
# Durable writes against the rest of the load:
#   1. queue appends (810) from many connections, each acknowledged "True";
#   2. preference writes (203) from many connections, each waiting for its completion;
#   3. the version request's (207) latency from many connections, once alone and once while one
#      client writes preference values (203) in a loop, each write waiting for its reply.
# Each run also prints the server's system calls per operation, counted by strace -c -f over a
# separate short run (tracing slows the server, so the rates come from untraced runs).
#
#   tools/bench/durable_bench.sh [build-dir] [seconds] [connections]
#
#   WINDOWS_EXE=path.exe   measure that Windows build under Wine instead (the figures are Wine's;
#                          no system call counts). Source tools/wine-env.sh first for the prefix.
#
# Everything runs on 127.0.0.1 against a server installed in a temporary folder.
set -euo pipefail
build="$(realpath "${1:-build/release}")"
secs="${2:-5}"
conns="${3:-50}"
port=0   # the system chooses; read back from the service log
work="$(mktemp -d)"
server_pid=""
trap '[ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null; kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT

mkdir -p "$work/server/master/Users/writer"
master="$work/server/master"
if [ -n "${WINDOWS_EXE:-}" ]; then
    cp "$WINDOWS_EXE" "$work/server/VServerService.exe"
    master="Z:$(sed 's|/|\\\\|g' <<<"$master")"
else
    cp "$build/VServerService" "$work/server/"
fi
guid='{6A1F3C52-8B7D-4E21-9C0A-5D3E7B19F4A2}'
printf 'REGEDIT4\r\n\r\n[HKEY_CLASSES_ROOT\\AppID\\%s]\r\n@="VServerService"\r\n\r\n[HKEY_CLASSES_ROOT\\AppID\\VServerService.EXE]\r\n"AppID"="%s"\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server]\r\n"MasterPath"="%s"\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection]\r\n"PortNumber"="%s"\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\r\n"AllowConsoleRequestsFromAnyConnection"="True"\r\n' \
    "$guid" "$guid" "$master" "$port" > "$work/server/VServerService.reg"
printf '[Reading]\r\nSpeed=1\r\n' > "$work/server/master/Users/writer/writerVantorelSettings.vts"

start_server() {
    if [ -n "${WINDOWS_EXE:-}" ]; then
        (cd "$work/server" && exec env -u VSERVER_LOG_FOLDER -u VSERVER_DATA_FOLDER \
            VSERVER_REGISTRY="Z:$(tr / '\\' <<<"$work/server/VServerService.reg")" \
            wine ./VServerService.exe </dev/null >/dev/null 2>&1) &
    else
        (cd "$work/server" && exec ./VServerService >/dev/null 2>&1) &
    fi
    server_pid=$!
    for _ in $(seq 300); do
        if grep -q "listening on port" "$work/server/ServiceLog.log" 2>/dev/null; then
            port=$(tr -d '\0' < "$work/server/ServiceLog.log" | sed -n 's/.*listening on port \([0-9]*\).*/\1/p' | tail -1)
            return
        fi
        sleep 0.1
    done
    echo "server did not start" >&2
    exit 1
}

# One client writing a preference value in a loop, each write waiting for its completion.
cat > "$work/writer.py" <<'PY'
import socket, sys, time
port, seconds = int(sys.argv[1]), float(sys.argv[2])
s = socket.create_connection(("127.0.0.1", port))
s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
buf = b""
def reply():
    global buf
    while b"\xbb\n" not in buf:
        chunk = s.recv(4096)
        if not chunk: sys.exit("closed")
        buf += chunk
    line, buf = buf.split(b"\xbb\n", 1)
    return line
reply()  # greeting
end, n = time.time() + seconds, 0
while time.time() < end:
    n += 1
    s.sendall(b"%d\xa7\xa7\xa7203\xa7\xa7writer\xa7\xa7Speed\xb0Reading\xb0%d\xbb\n" % (n, n))
    reply()
print("writes=%d wps=%.0f" % (n, n / seconds))
PY

load() {  # request-hex reply-hex
    "$build/tools/vserver-load" --port "$port" --connections "$conns" --seconds "$secs" --warmup 1 \
        --greeting-hex 31a730a7bb0a --request-hex "$1" --reply-hex "$2"
}

# System calls of the server per reply over a short traced run of the same load.
syscalls() {  # request-hex reply-hex
    [ -z "${WINDOWS_EXE:-}" ] || return 0
    strace -c -f -q -o "$work/strace.txt" -p "$server_pid" &
    local tracer=$!
    sleep 0.5
    local out
    out=$("$build/tools/vserver-load" --port "$port" --connections "$conns" --seconds 2 --warmup 0 \
        --greeting-hex 31a730a7bb0a --request-hex "$1" --reply-hex "$2")
    kill -INT "$tracer"
    wait "$tracer" 2>/dev/null || true
    local reqs calls
    reqs=$(sed -n 's/.* reqs=\([0-9]*\).*/\1/p' <<<"$out")
    calls=$(awk '$NF == "total" {print $4}' "$work/strace.txt")
    echo "  syscalls: $calls for $reqs replies: $(awk -v c="$calls" -v r="$reqs" 'BEGIN{printf "%.1f", c/r}') per reply"
    awk '$1 ~ /^[0-9.]+$/ && $NF != "total" {printf "    %s %.2f\n", $NF, $4 / r}' r="$reqs" "$work/strace.txt" | sort -k2 -nr | head -10
}

start_server

# "1 §§§ 810 §§§ student § message »\n" and its long-form completion "1 § 1 § 810 § True".
queue_req=31a7a7a7383130a7a7a773747564656e74a768656c6c6fbb0a
queue_reply=31a731a7383130a754727565bb0a
echo "== 810 queue appends, $conns connections, $secs s =="
echo "  $(load "$queue_req" "$queue_reply")"
syscalls "$queue_req" "$queue_reply"

# "1 §§§ 203 §§ writer §§ Speed ° Reading ° 1 »\n" and its completion "1 § 1".
prefs_req=31a7a7a7323033a7a7777269746572a7a7537065656db052656164696e67b031bb0a
prefs_reply=31a731bb0a
echo "== 203 preference writes, $conns connections, $secs s =="
echo "  $(load "$prefs_req" "$prefs_reply")"

version_req=31a7a7a7323037bb0a
version_reply=31a731a7323037a7392e30bb0a
echo "== 207 with $conns connections, $secs s, no writer =="
echo "  $(load "$version_req" "$version_reply")"
echo "== 207 with $conns connections, $secs s, one client writing preferences =="
python3 "$work/writer.py" "$port" "$((secs + 2))" > "$work/writer.txt" &
writer=$!
sleep 0.5
echo "  $(load "$version_req" "$version_reply")"
wait "$writer"
echo "  writer: $(cat "$work/writer.txt")"
[ -z "${WINDOWS_EXE:-}" ] || exit 0
echo "== 203 preference writes, one client, syscalls =="
strace -c -f -q -o "$work/strace.txt" -p "$server_pid" &
tracer=$!
sleep 0.5
python3 "$work/writer.py" "$port" 2 > "$work/writer.txt"
kill -INT "$tracer"
wait "$tracer" 2>/dev/null || true
writes=$(sed -n 's/writes=\([0-9]*\).*/\1/p' "$work/writer.txt")
calls=$(awk '$NF == "total" {print $4}' "$work/strace.txt")
awk '$1 ~ /^[0-9.]+$/ && $NF != "total" {printf "    %s %.2f\n", $NF, $4 / r}' r="$writes" "$work/strace.txt" | sort -k2 -nr | head -12
echo "  $writes writes, $calls syscalls: $(awk -v c="$calls" -v r="$writes" 'BEGIN{printf "%.1f", c/r}') per write"
