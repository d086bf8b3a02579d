#!/usr/bin/env bash
# Checks the Windows package as an administrator would use it, under Wine: the zip's files, the
# settings sample loaded with reg import, -RegServer, net start, a protocol round trip, a
# user-defined control, net stop, -UnregServer; then the installer run silently (install, the
# service runs, uninstall). Prints each check as it passes; the first failure ends the script
# with status 1. Builds what it needs in build/mingw.
#
# The prefix (build/wineprefix) is booted afresh with the event log traced, so the service's
# events can be read from build/wine-service-events.log. Every Wine call is bounded in time,
# and every Wine process of the prefix is ended on the way out.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build/mingw

. tools/wine-env.sh windows-service-check

SERVICE=VServerService
GUID='{6A1F3C52-8B7D-4E21-9C0A-5D3E7B19F4A2}'
SETTINGS='HKEY_LOCAL_MACHINE\Software\QORA\Vantorel Server'
EVENTS=$ROOT/build/wine-service-events.log
WORK=""
INSTALLED_EXE=""

ok() { echo "ok: $*"; }
fail() { echo "FAILED: $*" >&2; exit 1; }
wine_() { timeout 90 wine "$@"; }
svcctl() { wine_ "$BUILD/svcctl.exe" "$@" 2>/dev/null | tr -d '\r'; }
state() { svcctl query "$SERVICE" | sed -n 's/^state=//p'; }
# The Windows form of a Linux path: Wine shows the root as drive Z.
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

cleanup() {
    local status=$?
    set +e
    if [ -n "$INSTALLED_EXE" ]; then
        wine_ "$BUILD/svcctl.exe" control "$SERVICE" 1 >/dev/null 2>&1
        wine_ "$INSTALLED_EXE" -UnregServer >/dev/null 2>&1
    fi
    wine_ reg delete "$SETTINGS" /f >/dev/null 2>&1
    timeout 60 wineserver -k >/dev/null 2>&1
    [ -n "$WORK" ] && rm -rf "$WORK"
    rm -rf "$WINEPREFIX/drive_c/vantorel-check"
    exit $status
}
trap cleanup EXIT

# Waits up to a minute for the service to reach a state (1 STOPPED, 4 RUNNING).
wait_state() {
    local wanted=$1 i
    for i in $(seq 120); do
        [ "$(state)" = "$wanted" ] && return 0
        sleep 0.5
    done
    return 1
}

# Waits for a service-log text; the log ends in a NUL and its records in CR LF.
log_texts() { tr -d '\0\r' <"$1" 2>/dev/null | cut -f3-; }
wait_log() {
    local log=$1 text=$2 i
    for i in $(seq 120); do
        log_texts "$log" | grep -qxF "$text" && return 0
        sleep 0.5
    done
    return 1
}
listening_port() { log_texts "$1" | sed -n 's/^Server listening on port \([0-9]*\)$/\1/p' | tail -n1 || true; }

# The informational events since the given byte offset of the trace.
events_since() { tail -c +"$(($1 + 1))" "$EVENTS" | sed -n 's/.*trace:eventlog:ReportEventW L"\(.*\)"$/\1/p'; }

# Greets, asks for the server version and checks the reply, over TCP from Linux.
round_trip() {
    local port=$1 greeting reply
    (
        export LC_ALL=C
        exec 3<>"/dev/tcp/127.0.0.1/$port"
        IFS= read -r -t 20 greeting <&3
        [ "$greeting" = $'1\xa70\xa7\xbb' ] || { echo "greeting was '$greeting'" >&2; exit 1; }
        printf '5\xa7\xa7\xa7207\xa7\xa7\xa7\xa7\xbb\n' >&3
        IFS= read -r -t 20 reply <&3
        [ "$reply" = $'1\xa75\xa7207\xa79.0\xbb' ] || { echo "version reply was '$reply'" >&2; exit 1; }
    )
}

# Starts the service with net start and checks it serves; prints its port.
start_and_serve() {
    local log=$1
    wine_ net start "$SERVICE" >/dev/null 2>&1 || fail "net start $SERVICE"
    wait_state 4 || fail "the service did not reach 4 RUNNING (state $(state))"
    if log_texts "$log" | grep -qxF "Service ending normally"; then fail "the service ended: $(log_texts "$log" | tail -n3)"; fi
    ok "net start: the service is 4 RUNNING"
}

echo "=== Windows service check ==="
tools/install-deps-windows.sh >/dev/null
mkdir -p build
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    timeout 180 wineboot --init >/dev/null 2>&1
fi
# A fresh boot: the service manager, and the services it starts, write their event trace here.
timeout 60 wineserver -k >/dev/null 2>&1 || true
timeout 60 wineserver -p
WINEDEBUG=-all,+eventlog timeout 120 wineboot >"$EVENTS" 2>&1 </dev/null

cmake --preset mingw >/dev/null
cmake --build --preset mingw -j2 --target VServerService svcctl windows-installer >/dev/null
(cd "$BUILD" && cpack -G ZIP >/dev/null)
ZIP=$BUILD/vantorel-server-9.0.0-win64.zip
SETUP=$BUILD/vantorel-server-9.0.0-win64-setup.exe
[ -f "$ZIP" ] || fail "cpack made no $ZIP"
[ -f "$SETUP" ] || fail "no installer $SETUP"

# --- The zip ---------------------------------------------------------------------------------
WORK=$(mktemp -d "$ROOT/build/service-check.XXXXXX")
(cd "$WORK" && cmake -E tar xf "$ZIP")
DIR=$WORK/vantorel-server-9.0.0-win64
for file in VServerService.exe VServerService.reg.sample README-windows.txt; do
    [ -f "$DIR/$file" ] || fail "the zip has no $file"
done
if [ -f "$BUILD/tools/vserverctl.exe" ]; then
    [ -f "$DIR/vserverctl.exe" ] || fail "the zip has no vserverctl.exe"
fi
ok "the zip holds $(cd "$DIR" && ls | tr '\n' ' ')"

mkdir -p "$WORK/master/Users"
master=$(winpath "$WORK/master" | sed 's/\\/\\\\\\\\/g')
sed -e "s/^\"MasterPath\"=.*/\"MasterPath\"=\"$master\"/" -e 's/^"PortNumber"=.*/"PortNumber"="0"/' \
    "$DIR/VServerService.reg.sample" >"$WORK/settings.reg"
wine_ reg import "$(winpath "$WORK/settings.reg")" >/dev/null 2>&1 || fail "reg import of the settings sample"
wine_ reg query "$SETTINGS\\Options" 2>/dev/null | grep -q 'AllowAccountCreation *REG_SZ *True' ||
    fail "reg import did not set Options\\AllowAccountCreation"
wine_ reg query "$SETTINGS" 2>/dev/null | grep -qF "$(winpath "$WORK/master")" || fail "reg import did not set MasterPath"
ok "reg import loads the settings sample"

INSTALLED_EXE=$DIR/VServerService.exe
wine_ "$INSTALLED_EXE" -RegServer || fail "VServerService.exe -RegServer"
config=$(svcctl config "$SERVICE") || fail "-RegServer created no service"
expected_path="\"$(winpath "$INSTALLED_EXE")\" -Service"
for line in type=16 start=2 error=1 "display=Vantorel Server Service" "path=$expected_path"; do
    grep -qxF "$line" <<<"$config" || fail "-RegServer: the service has no $line: $config"
done
# Wine's manager does not report dependencies; its key for the service holds them.
wine_ reg query 'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\VServerService' 2>/dev/null |
    grep -q 'DependOnService *REG_MULTI_SZ *RPCSS' || fail "-RegServer: the service does not depend on RPCSS"
wine_ reg query "HKEY_CLASSES_ROOT\\AppID\\$GUID" 2>/dev/null | grep -q 'LocalService *REG_SZ *VServerService' ||
    fail "-RegServer wrote no LocalService"
ok "-RegServer: own process, automatic start, depends on RPCSS, $expected_path, AppID keys"

offset=$(stat -c %s "$EVENTS")
LOG=$DIR/ServiceLog.log
start_and_serve "$LOG"
port=$(listening_port "$LOG")
[ -n "$port" ] || fail "no listening port in $LOG"
round_trip "$port" || fail "round trip on port $port"
ok "round trip over 127.0.0.1:$port (greeting, server version 9.0)"

svcctl control "$SERVICE" 128 >/dev/null || fail "control 128"
[ "$(state)" = 4 ] || fail "control 128 changed the state to $(state)"
ok "control 128 leaves the service running"

wine_ net stop "$SERVICE" >/dev/null 2>&1 || fail "net stop $SERVICE"
wait_state 1 || fail "the service did not reach 1 STOPPED (state $(state))"
wait_log "$LOG" "Service ending normally" || fail "no \"Service ending normally\" in the service log"
[ "$(log_texts "$LOG" | tail -n1)" = "Service ending normally" ] || fail "the service log does not end with \"Service ending normally\""
ok "net stop: 1 STOPPED, the service log ends with \"Service ending normally\""

events=$(events_since "$offset" | tr '\n' '|') || true
[ "$events" = "Service started|Bad service request|Service stopped|" ] || fail "events were: $events"
ok "events: Service started, Bad service request, Service stopped"

wine_ "$INSTALLED_EXE" -UnregServer || fail "VServerService.exe -UnregServer"
INSTALLED_EXE=""
svcctl query "$SERVICE" >/dev/null && fail "-UnregServer left the service"
wine_ reg query "HKEY_CLASSES_ROOT\\AppID\\$GUID" >/dev/null 2>&1 && fail "-UnregServer left the AppID GUID key"
wine_ reg query 'HKEY_CLASSES_ROOT\AppID' >/dev/null 2>&1 || fail "-UnregServer removed HKEY_CLASSES_ROOT\\AppID"
ok "-UnregServer removes the service and its keys, keeps HKEY_CLASSES_ROOT\\AppID"

# --- The installer ---------------------------------------------------------------------------
TARGET='C:\vantorel-check'
TARGET_DIR=$WINEPREFIX/drive_c/vantorel-check
wine_ "$SETUP" /S "/D=$TARGET" || fail "the installer /S"
INSTALLED_EXE=$TARGET_DIR/VServerService.exe
for file in VServerService.exe VServerService.reg.sample README-windows.txt uninstall.exe; do
    [ -f "$TARGET_DIR/$file" ] || fail "the installer put no $file in $TARGET"
done
svcctl config "$SERVICE" | grep -qxF "path=\"$TARGET\\VServerService.exe\" -Service" || fail "the installer registered no service"
ok "the installer copies the files and registers the service"

LOG=$TARGET_DIR/ServiceLog.log
start_and_serve "$LOG"
port=$(listening_port "$LOG")
round_trip "$port" || fail "round trip with the installed service on port $port"
ok "the installed service answers on 127.0.0.1:$port"
wine_ net stop "$SERVICE" >/dev/null 2>&1 || fail "net stop of the installed service"
wait_state 1 || fail "the installed service did not stop"
ok "the installed service stops"

# Run in place (_?=), so the uninstaller has finished when it returns.
wine_ "$TARGET_DIR/uninstall.exe" /S "_?=$TARGET" || fail "the uninstaller /S"
svcctl query "$SERVICE" >/dev/null && fail "the uninstaller left the service"
INSTALLED_EXE=""
[ -f "$TARGET_DIR/VServerService.exe" ] && fail "the uninstaller left VServerService.exe"
ok "the uninstaller removes the service and the program"
echo "=== Windows service check passed ==="
