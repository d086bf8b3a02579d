#!/usr/bin/env bash
# Installs what the Windows build needs on top of the Linux one, when it is missing (Debian 12):
# the MinGW-w64 cross compilers of the posix thread model, the cross binutils' message compiler
# (the service's event messages), Wine to run the tests, and NSIS for the installer.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
command -v x86_64-w64-mingw32-windmc >/dev/null || need+=(binutils-mingw-w64-x86-64)
command -v wine >/dev/null || need+=(wine)
[ -x /usr/lib/wine/wine64 ] || need+=(wine64)
command -v makensis >/dev/null || need+=(nsis)
# The cross build compiles GoogleTest from these sources (libgtest-dev usually brings them).
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)

if [ ${#need[@]} -gt 0 ]; then
    echo "Installing: ${need[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q
    $sudo apt-get install -y -q "${need[@]}"
fi
