#!/usr/bin/env bash
# Measures the session figures against a freshly started server and prints them in one block:
#   1. logon cycles per second with 200 clients (connect, greeting, logon, client event,
#      logoff, close) with usage statistics on;
#   2. the p99 latency of request 207 on 50 connections while 20 liveness checks wait for
#      silent sessions, against the same run without waiting checks (median of the rounds);
#   3. the server's CPU time during one 10-second liveness wait.
#
# Usage: tools/bench/sessions_bench.sh [build-dir]    (default build/release)
# Durations: CYCLE_SECONDS (default 5), P99_SECONDS (default 3, per run), P99_ROUNDS (default 3).
# The server runs from a scratch installation folder under /tmp, listens on a port the system
# picks, and is only ever addressed on 127.0.0.1; the folder is removed at the end.
set -uo pipefail

build="${1:-build/release}"
server_binary="$build/VServerService"
load="$build/tools/vserver-load"
cycle_seconds="${CYCLE_SECONDS:-5}"
p99_seconds="${P99_SECONDS:-3}"
p99_rounds="${P99_ROUNDS:-3}"
cycle_clients=200
p99_connections=50
silent_waits=20
appid_guid="{6A1F3C52-8B7D-4E21-9C0A-5D3E7B19F4A2}"

for file in "$server_binary" "$load"; do
    if [ ! -x "$file" ]; then
        echo "sessions_bench: $file not found; build first (cmake --build $build)" >&2
        exit 2
    fi
done

folder=$(mktemp -d "${TMPDIR:-/tmp}/vserver-sessions-bench-XXXXXX")
server_pid=""

stop_server() {
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill -TERM "$server_pid"
        for _ in $(seq 1 200); do
            kill -0 "$server_pid" 2>/dev/null || break
            sleep 0.05
        done
        if kill -0 "$server_pid" 2>/dev/null; then
            echo "sessions_bench: the server did not stop on SIGTERM; killing it" >&2
            kill -KILL "$server_pid"
        fi
        wait "$server_pid" 2>/dev/null
    fi
    server_pid=""
}

cleanup() {
    stop_server
    rm -rf "$folder"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The installation: the executable, a registry file that registers it, and a master folder
# whose Users folder holds every account the runs log on as.
install_server() {
    cp "$server_binary" "$folder/VServerService"
    local master="$folder/master"
    mkdir -p "$master/Users"
    local i
    for ((i = 0; i < cycle_clients; ++i)); do mkdir "$master/Users/user$i"; done
    for ((i = 0; i < silent_waits; ++i)); do mkdir "$master/Users/silent$i"; done
    # The liveness timeout is left at its default of 10 seconds.
    printf '%s\r\n' \
        'REGEDIT4' '' \
        "[HKEY_CLASSES_ROOT\\AppID\\$appid_guid]" '@="VServerService"' '' \
        '[HKEY_CLASSES_ROOT\AppID\VServerService.EXE]' "\"AppID\"=\"$appid_guid\"" '' \
        '[HKEY_LOCAL_MACHINE\Software\QORA\Vantorel Server]' "\"MasterPath\"=\"$master\"" '' \
        '[HKEY_LOCAL_MACHINE\Software\QORA\Vantorel Server\Connection]' '"PortNumber"="0"' '' \
        '[HKEY_LOCAL_MACHINE\Software\QORA\Vantorel Server\Options]' '"LogUserStatistics"="True"' '' \
        > "$folder/VServerService.reg"
}

# Starts the server and waits for the service-log line that names its port.
start_server() {
    (
        cd "$folder" || exit 126
        exec env -u VSERVER_REGISTRY -u NOTIFY_SOCKET \
            VSERVER_SYSTEMD_UNIT_DIR="$folder/no-unit-folder" VSERVER_SYSTEMCTL=false \
            ./VServerService </dev/null >"$folder/stdout.txt" 2>"$folder/stderr.txt"
    ) &
    server_pid=$!
    port=""
    for _ in $(seq 1 400); do
        port=$(tr -d '\r' <"$folder/ServiceLog.log" 2>/dev/null |
            sed -n 's/.*\tServer listening on port \([0-9][0-9]*\).*/\1/p' | head -n 1)
        [ -n "$port" ] && return 0
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.05
    done
    echo "sessions_bench: the server did not start; service log:" >&2
    cat "$folder/ServiceLog.log" "$folder/stderr.txt" >&2 2>/dev/null
    return 1
}

failures=0

# Runs vserver-load against the server; prints its summary line (empty when it failed).
run_load() {
    local out
    out=$("$load" --host 127.0.0.1 --port "$port" --server-pid "$server_pid" "$@" 2>"$folder/load-stderr.txt")
    local status=$?
    if [ "$status" -ne 0 ]; then
        failures=$((failures + 1))
        echo "sessions_bench: vserver-load $* exited with $status: $(cat "$folder/load-stderr.txt")" >&2
    fi
    echo "$out"
}

# The number after " name=" in a summary line.
value() { sed -n "s/.* $2=\([-0-9.]*\).*/\1/p" <<<" $1"; }

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR) print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

install_server
start_server || exit 1
echo "Server pid $server_pid on 127.0.0.1:$port, installation $folder"

echo "1/3 logon cycles: $cycle_clients clients for $cycle_seconds s"
cycles=$(run_load --logon-cycles --connections "$cycle_clients" --account-prefix user --seconds "$cycle_seconds" --warmup 1)
echo "  $cycles"
statistics_lines=$(tr -cd '\n' <"$folder/master/Users/EventLog.log" 2>/dev/null | wc -c)
service_log_lines=$(tr -cd '\n' <"$folder/ServiceLog.log" 2>/dev/null | wc -c)

echo "2/3 request 207 on $p99_connections connections, $p99_rounds rounds of $p99_seconds s without and with $silent_waits waiting checks"
plain_p99=()
waiting_p99=()
for ((round = 1; round <= p99_rounds; ++round)); do
    plain=$(run_load --connections "$p99_connections" --seconds "$p99_seconds" --warmup 1)
    echo "  $plain"
    waiting=$(run_load --connections "$p99_connections" --seconds "$p99_seconds" --warmup 1 --silent-waits "$silent_waits")
    echo "  $waiting"
    plain_p99+=("$(value "$plain" p99_us)")
    waiting_p99+=("$(value "$waiting" p99_us)")
done

# The window opens when the silent session has its check and runs a little past the wait's
# end, so the run also shows that the wait lasted its 10 seconds.
echo "3/3 one liveness wait of 10 s with nothing else to do"
idle=$(run_load --idle --connections 1 --silent-waits 1 --seconds 10.5)
echo "  $idle"

stop_server
if grep -q "Service ending normally" "$folder/ServiceLog.log" 2>/dev/null; then stopped="ended normally on SIGTERM"; else stopped="did not log a normal end"; fi

plain_median=$(median "${plain_p99[@]}")
waiting_median=$(median "${waiting_p99[@]}")
change=$(awk -v a="$plain_median" -v b="$waiting_median" 'BEGIN { if (a > 0) printf "%+.1f%%", (b - a) * 100 / a; else print "n/a" }')

echo
echo "Session figures (server $server_binary, $(date '+%Y-%m-%d %H:%M'), $(nproc) CPUs)"
printf '  Logon cycles, %d clients, statistics on:   %s cycles/s (target >= 5000); cycle p50 %s us, p99 %s us; errors %s; server CPU %s\n' \
    "$cycle_clients" "$(value "$cycles" cps)" "$(value "$cycles" p50_us)" "$(value "$cycles" p99_us)" \
    "$(value "$cycles" errors)" "$(value "$cycles" server_cpu)%"
printf '                                             %s statistics lines, %s service-log lines written\n' \
    "$statistics_lines" "$service_log_lines"
printf '  Request 207 p99, %d connections:           %s us without waits, %s us with %d waiting checks: %s (limit +20%%)\n' \
    "$p99_connections" "$plain_median" "$waiting_median" "$silent_waits" "$change"
printf '                                             rounds without: %s; with: %s (us)\n' "${plain_p99[*]}" "${waiting_p99[*]}"
printf '  Server CPU during a 10 s liveness wait:    %s ms in 10.5 s (%s checks waiting on average, %s ended after %s s)\n' \
    "$(value "$idle" server_cpu_ms)" "$(value "$idle" mean_waits)" "$(value "$idle" waits_ended)" "$(value "$idle" mean_wait_secs)"
echo "  Server: $stopped; load runs that failed: $failures"
[ "$failures" -eq 0 ]
