#!/usr/bin/env bash
# Cross-compiles the Windows build (build/mingw) and runs its unit tests under Wine, in a Wine
# prefix of its own (build/wineprefix) that no other program shares. Every Wine call is bounded
# in time, and every Wine process of the prefix is ended on the way out.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps-windows.sh

. tools/wine-env.sh run-windows-tests

end_wine() { timeout 60 wineserver -k >/dev/null 2>&1 || true; }
trap end_wine EXIT

mkdir -p build
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "=== creating the Wine prefix ==="
    timeout 180 wineboot --init
    end_wine
fi
# A persistent server keeps the prefix warm between the tests' Wine calls. Booting it here
# starts the prefix's own services with their output in a file: started by the first test
# instead, they would inherit that test's output pipe and keep it open after the test ends.
timeout 60 wineserver -p
# The event log is traced into that file, where the service tests read the events of the
# service the manager starts (it inherits the manager's output).
WINEDEBUG=-all,+eventlog timeout 120 wineboot >build/wine-boot.log 2>&1 </dev/null
export VSERVER_TEST_WINE_EVENTS="$PWD/build/wine-boot.log"

echo "=== Windows build (MinGW-w64) ==="
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j2
status=0
echo "=== Windows unit tests under Wine ==="
timeout 1200 ctest --preset mingw || status=1

# The Linux integration tests drive the Windows server; they need the Linux release build
# (integration_tests, vserverctl, vserver-load), which the Linux stage normally leaves behind.
if [ ! -x build/release/tests/integration_tests ]; then
    echo "=== Linux release build (for the integration tests) ==="
    cmake --preset release >/dev/null
    cmake --build --preset release -j2
fi
echo "=== integration tests against VServerService.exe under Wine ==="
VSERVER_TEST_SERVER_EXE="$PWD/build/mingw/VServerService.exe" VSERVER_TEST_LAUNCHER=wine \
    timeout 900 ctest --preset release -L windows-server || status=1

# The console's own Windows build, for the commands that read files and work through many
# accounts, against the Windows server.
echo "=== vserverctl.exe under Wine: report, check, work on many accounts ==="
VSERVER_TEST_SERVER_EXE="$PWD/build/mingw/VServerService.exe" VSERVER_TEST_LAUNCHER=wine \
    VSERVER_TEST_CTL_EXE="$PWD/build/mingw/tools/vserverctl.exe" \
    timeout 600 ctest --preset release -L windows-server -R 'ReportTest|CheckTest|BulkCommandsTest' || status=1

echo "=== the package as a real service under Wine ==="
timeout 600 tools/windows-service-check.sh || status=1
exit $status
