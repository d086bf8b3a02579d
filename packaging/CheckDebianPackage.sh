#!/bin/sh
# Builds the Debian package from a copy of the sources, checks it with lintian, installs it on
# this machine and checks the installed layout, the unit, the service's user, a server run as
# that user (accounts, queues, options, log rotation), an upgrade over itself that keeps edited
# settings, and finally purges it. Needs root on a Debian machine where the package is not
# installed; leaves the machine as it found it.
# Usage: packaging/CheckDebianPackage.sh [folder to keep the built package in]
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
keep="${1:-}"
package=vantorel-server
user=vantorel-server
settings=/etc/vantorel-server
registry=$settings/VServerService.reg
state=/var/lib/vantorel-server
logs=/var/log/vantorel-server
unit=/lib/systemd/system/VServerService.service
work=$(mktemp -d)
server_pid=""
installed=""

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
step() { echo "--- $*"; }
has_line() { # file, exact line (the registry file's CR LF line ends do not count)
    tr -d '\r' <"$1" | grep -qxF -- "$2"
}
expect_line() {
    has_line "$1" "$2" || { echo "--- $1:"; cat "$1"; fail "missing line '$2' in $1"; }
}
owned_by_user() { # path
    [ "$(stat -c %U:%G "$1")" = "$user:$user" ] || fail "$1 is owned by $(stat -c %U:%G "$1"), not $user"
}
ends_in_nul() { # file
    [ "$(tail -c 1 "$1" | od -An -tx1 | tr -d ' ')" = "00" ] || fail "$1 does not end in a NUL byte"
}

cleanup() {
    status=$?
    if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
    if [ -n "$installed" ]; then
        dpkg --purge "$package" >/dev/null 2>&1 || true
        rm -rf "$state"
    fi
    rm -rf "$work"
    exit $status
}
trap cleanup EXIT
trap 'exit 1' INT TERM

[ "$(id -u)" -eq 0 ] || fail "run as root: the check installs and purges the package"
if dpkg-query -W -f '${Status}' "$package" 2>/dev/null | grep -q installed; then
    fail "$package is installed on this machine; the check would purge it"
fi
[ ! -e "$state" ] || fail "$state exists already; the check would mix its files with the site's"
"$top/tools/install-deps.sh" package

# ---- Build -------------------------------------------------------------------------------
step "building"
mkdir "$work/src"
if git -C "$top" rev-parse --git-dir >/dev/null 2>&1; then
    # The sources as committed or added, without build trees.
    (cd "$top" && git ls-files -z --cached --others --exclude-standard | xargs -0 tar -cf - --no-recursion) |
        tar -xf - -C "$work/src"
else
    (cd "$top" && tar -cf - --exclude=./build .) | tar -xf - -C "$work/src"
fi
(cd "$work/src" && DEB_BUILD_OPTIONS="parallel=2" dpkg-buildpackage -us -uc >"$work/build.log" 2>&1) || {
    tail -n 60 "$work/build.log"
    fail "dpkg-buildpackage failed"
}
deb=$(ls "$work"/${package}_*.deb)
changes=$(ls "$work"/${package}_*.changes)
echo "package: $(basename "$deb")"
[ -z "$keep" ] || cp "$deb" "$keep/"

# ---- lintian: no errors and no warnings beyond those overridden with their reasons ----
step "lintian"
lintian --fail-on error,warning "$changes" >"$work/lintian.log" 2>&1 || {
    cat "$work/lintian.log"
    fail "lintian reports errors"
}
cat "$work/lintian.log"

# ---- Package contents ---------------------------------------------------------------------
step "contents"
dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\.||' >"$work/contents"
for path in /usr/sbin/VServerService /usr/bin/vserverctl "$unit" /etc/logrotate.d/$package \
    /usr/share/man/man1/vserverctl.1.gz /usr/share/man/man8/VServerService.8.gz \
    /usr/share/doc/$package/copyright /usr/share/doc/$package/changelog.gz \
    /usr/share/$package/VServerService.reg /usr/share/$package/Users/VantorelSettings.vts; do
    grep -qxF "$path" "$work/contents" || fail "the package lacks $path"
done
if grep -E '^/(opt|etc/vantorel-server|var)' "$work/contents"; then
    fail "the package ships files that belong to the site"
fi
dpkg-deb -x "$deb" "$work/root"
for binary in usr/sbin/VServerService usr/bin/vserverctl; do
    if readelf -S "$work/root/$binary" | grep -qE '\.(symtab|debug_info)'; then fail "$binary is not stripped"; fi
done
maintainer=$(dpkg-deb -f "$deb" Maintainer)
case "$maintainer" in
*localhost* | "") fail "maintainer field '$maintainer'" ;;
esac
dpkg-deb -f "$deb" Depends | grep -q adduser || fail "no dependency on adduser"

# ---- Installation -------------------------------------------------------------------------
step "installing"
installed=yes
apt-get install -y -q --no-install-recommends "$deb" >"$work/install.log" 2>&1 || {
    cat "$work/install.log"
    fail "installation failed"
}
sed -n '/vantorel-server:/,/^$/p' "$work/install.log"
systemd_runs=""
[ -d /run/systemd/system ] && systemd_runs=yes
if [ -z "$systemd_runs" ]; then
    grep -q "setpriv --reuid=$user" "$work/install.log" || fail "installation did not say how to start the server by hand"
fi

step "installed layout"
[ "$(command -v vserverctl)" = /usr/bin/vserverctl ] || fail "vserverctl is not found on PATH"
man -w vserverctl >/dev/null || fail "man vserverctl finds nothing"
man -w 8 VServerService >/dev/null || fail "man VServerService finds nothing"
[ "$(dpkg -S "$unit" | cut -d: -f1)" = "$package" ] || fail "dpkg does not own $unit"
[ ! -e /etc/systemd/system/VServerService.service ] || fail "a second unit was written to /etc/systemd/system"
grep -qxF /etc/logrotate.d/$package /var/lib/dpkg/info/$package.conffiles || fail "the logrotate file is no conffile"
expect_line "$registry" "\"LocalService\"=\"VServerService\""
expect_line "$registry" "\"MasterPath\"=\"$state\""
for path in "$settings" "$registry" "$registry.lock" "$state" "$state/Users" "$state/Users/VantorelSettings.vts" "$logs"; do
    [ -e "$path" ] || fail "$path is missing"
    owned_by_user "$path"
done
[ "$(stat -c %a "$logs")" = 750 ] || fail "$logs is readable by everyone"

# Registering by hand in a packaged installation writes no unit of its own.
VSERVER_REGISTRY="$registry" /usr/sbin/VServerService -RegServer 2>"$work/regserver.err" ||
    fail "-RegServer failed: $(cat "$work/regserver.err")"
[ ! -s "$work/regserver.err" ] || fail "-RegServer complained: $(cat "$work/regserver.err")"
[ ! -e /etc/systemd/system/VServerService.service ] || fail "-RegServer wrote a second unit"

step "service user"
entry=$(getent passwd "$user") || fail "no user $user"
uid=$(echo "$entry" | cut -d: -f3)
[ "$uid" -lt 1000 ] || fail "$user is no system user (uid $uid)"
[ "$(echo "$entry" | cut -d: -f7)" = /usr/sbin/nologin ] || fail "$user can log in: $entry"
getent group "$user" >/dev/null || fail "no group $user"

step "unit"
expect_line "$unit" "Type=notify"
expect_line "$unit" "User=$user"
expect_line "$unit" "AmbientCapabilities=CAP_NET_BIND_SERVICE"
expect_line "$unit" "CapabilityBoundingSet=CAP_NET_BIND_SERVICE"
expect_line "$unit" "ExecStart=/usr/sbin/VServerService -Service"
systemd-analyze verify "$unit" >"$work/verify.log" 2>&1 || {
    cat "$work/verify.log"
    fail "systemd-analyze verify rejects the unit"
}
systemd-analyze security --offline=true "$unit" >"$work/security.log" 2>&1 || true
score=$(sed -n 's/.*Overall exposure level for VServerService.service: \([0-9.]*\).*/\1/p' "$work/security.log")
[ -n "$score" ] || { cat "$work/security.log"; fail "no exposure level"; }
echo "exposure level $score"
awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }' || { cat "$work/security.log"; fail "exposure level $score above 2.0"; }

# ---- The server at work, as its own user ----------------------------------------------------
step "serving"
if [ -n "$systemd_runs" ]; then
    systemctl is-active --quiet VServerService || fail "the service is not running"
else
    # The command the installation printed.
    setpriv --reuid=$user --regid=$user --init-groups --inh-caps=+net_bind_service --ambient-caps=+net_bind_service \
        env VSERVER_REGISTRY=$registry VSERVER_LOG_FOLDER=$logs VSERVER_DATA_FOLDER=$state \
        /usr/sbin/VServerService >"$work/server.out" 2>&1 &
    server_pid=$!
fi
ctl() { vserverctl --timeout 10 "$@" >>"$work/ctl.log" 2>&1 || { cat "$work/ctl.log"; fail "vserverctl $*"; }; }
tries=0
until vserverctl --timeout 1 version >/dev/null 2>&1; do
    tries=$((tries + 1))
    [ $tries -lt 100 ] || { cat "$logs/ServiceLog.log" "$work/server.out" 2>/dev/null; fail "the server does not answer on its port"; }
    sleep 0.2
done
ctl create jsmith
[ -d "$state/Users/jsmith" ] || fail "the account's home folder was not created"
owned_by_user "$state/Users/jsmith"
ctl create jdoe
ctl delete jdoe
[ ! -e "$state/Users/jdoe" ] || fail "the account was not deleted"
ctl queue-message jsmith "See me after class"
[ -s "$state/UserMessages.log" ] || fail "no queue file in $state"
ctl option set LivenessTimeoutSeconds 7
expect_line "$registry" "\"LivenessTimeoutSeconds\"=\"7\""
grep -q "Server listening on port 1006" "$logs/ServiceLog.log" || fail "no service log in $logs"

step "log rotation"
logrotate -s "$work/logrotate.state" -f /etc/logrotate.d/$package || fail "logrotate failed"
[ -f "$logs/ServiceLog.log.1" ] || fail "the log was not rotated"
ends_in_nul "$logs/ServiceLog.log.1"
if [ -n "$systemd_runs" ]; then
    systemctl stop VServerService
else
    kill -TERM "$server_pid"
    wait "$server_pid" || fail "the server did not end normally"
    server_pid=""
fi
# The next record starts a new log of the same form.
grep -aq "Service ending normally" "$logs/ServiceLog.log" || fail "the stop was not logged in the new log"
ends_in_nul "$logs/ServiceLog.log"
owned_by_user "$logs/ServiceLog.log"

# ---- Upgrade over itself ------------------------------------------------------------------
step "upgrade"
printf '[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\r\n"EditedByHand"="kept"\r\n' >>"$registry"
cp "$registry" "$work/registry.before"
apt-get install -y -q --reinstall --no-install-recommends "$deb" >"$work/upgrade.log" 2>&1 || {
    cat "$work/upgrade.log"
    fail "the upgrade failed"
}
cmp -s "$registry" "$work/registry.before" || { diff "$work/registry.before" "$registry"; fail "the upgrade changed the settings"; }
expect_line "$registry" "\"EditedByHand\"=\"kept\""
expect_line "$registry" "\"LivenessTimeoutSeconds\"=\"7\""
[ -d "$state/Users/jsmith" ] || fail "the upgrade lost an account"
[ -s "$state/UserMessages.log" ] || fail "the upgrade lost the queue"

# ---- Purge --------------------------------------------------------------------------------
step "purge"
dpkg --purge "$package" >"$work/purge.log" 2>&1 || {
    cat "$work/purge.log"
    fail "purge failed"
}
cat "$work/purge.log"
installed=""
grep -q "$state/Users are kept" "$work/purge.log" || fail "purge did not say that the accounts are kept"
for path in "$settings" "$logs" "$state/UserMessages.log" "$unit" /usr/sbin/VServerService /etc/logrotate.d/$package; do
    [ ! -e "$path" ] || fail "purge left $path"
done
if getent passwd "$user" >/dev/null; then fail "purge left the user $user"; fi
if getent group "$user" >/dev/null; then fail "purge left the group $user"; fi
[ -d "$state/Users/jsmith" ] || fail "purge removed the accounts"
rm -rf "$state"

echo "Debian package checks passed"
