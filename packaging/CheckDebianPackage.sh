#!/bin/sh
# Builds the Debian package from a build tree, checks its files and control data, then runs its
# maintainer scripts on an unpacked copy with the service manager redirected to a scratch folder:
# installation registers and enables the service, an upgrade keeps the site's settings, and
# removal unregisters while the registry file, logs and users folder stay.
# Usage: CheckDebianPackage.sh <build folder> <installation folder>
set -eu

build="$1"
folder="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset VSERVER_REGISTRY NOTIFY_SOCKET || true

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
expect_line() { # file, exact line (the registry file's CR LF line ends do not count)
    tr -d '\r' <"$1" | grep -qxF -- "$2" || { echo "--- $1:"; cat "$1"; fail "missing line '$2' in $1"; }
}

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || {
    cat "$work/cpack.log"
    fail "cpack could not build the package"
}
deb=$(ls "$work"/out/*.deb)
echo "package: $(basename "$deb")"

# Files: the server at the top of the installation folder, defaults below it, nothing elsewhere.
dpkg-deb -c "$deb" | awk '{ print $1, $6 }' >"$work/contents"
cat "$work/contents"
expect_line "$work/contents" "-rwxr-xr-x .$folder/VServerService"
expect_line "$work/contents" "-rw-r--r-- .$folder/defaults/VServerService.reg"
# Only the installation folder, its contents and the folders above it.
if awk -v top="$folder/" '{ p = substr($2, 2) } !(index(top, p) == 1 || index(p, top) == 1) { print $2 }' \
        "$work/contents" | grep . >"$work/stray"; then
    cat "$work/stray"
    fail "files outside $folder"
fi

# Control data.
[ "$(dpkg-deb -f "$deb" Package)" = "vantorel-server" ] || fail "package name"
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "no dependency on the C library"
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm; do
    [ -x "$work/control/$script" ] || fail "$script missing or not executable"
    sh -n "$work/control/$script" || fail "$script does not parse"
done
grep -q -- "-RegServer" "$work/control/postinst" || fail "postinst does not register"
grep -q -- "-UnregServer" "$work/control/prerm" || fail "prerm does not unregister"

# The maintainer scripts on an unpacked copy, against a recording systemctl.
dpkg-deb -x "$deb" "$work/root"
installed="$work/root$folder"
mkdir "$work/units"
cat >"$work/systemctl" <<SCRIPT
#!/bin/sh
echo "\$*" >>"$work/calls"
SCRIPT
chmod +x "$work/systemctl"
export VSERVER_INSTALL_FOLDER="$installed" VSERVER_SYSTEMD_UNIT_DIR="$work/units" VSERVER_SYSTEMCTL="$work/systemctl"
unit="$work/units/VServerService.service"

sh "$work/control/postinst" configure
[ -f "$unit" ] || fail "postinst installed no unit"
expect_line "$unit" "ExecStart=$installed/VServerService -Service"
expect_line "$installed/VServerService.reg" "\"LocalService\"=\"VServerService\""
expect_line "$installed/VServerService.reg" "\"MasterPath\"=\"$folder\""
expect_line "$work/calls" "enable VServerService.service"
expect_line "$work/calls" "start VServerService.service"

# Upgrade: the old package's prerm, then the new one's postinst. Site settings survive.
printf '[HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options]\r\n"SiteMarker"="kept"\r\n\r\n' \
    >>"$installed/VServerService.reg"
sh "$work/control/prerm" upgrade
[ ! -e "$unit" ] || fail "prerm upgrade left the unit"
sh "$work/control/postinst" configure
[ -f "$unit" ] || fail "postinst after upgrade installed no unit"
expect_line "$installed/VServerService.reg" "\"SiteMarker\"=\"kept\""

# Removal: the service and the registration go, the site's files stay.
mkdir -p "$installed/Users/jsmith"
printf 'log\r\n' >"$installed/ServiceLog.log"
: >"$work/calls"
sh "$work/control/prerm" remove
[ ! -e "$unit" ] || fail "prerm remove left the unit"
expect_line "$work/calls" "stop VServerService.service"
expect_line "$work/calls" "disable VServerService.service"
if grep -q "LocalService" "$installed/VServerService.reg"; then fail "registration still in the registry file"; fi
expect_line "$installed/VServerService.reg" "\"SiteMarker\"=\"kept\""
[ -f "$installed/ServiceLog.log" ] || fail "service log removed"
[ -d "$installed/Users/jsmith" ] || fail "users folder removed"

echo "Debian package checks passed"
