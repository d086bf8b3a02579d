#!/usr/bin/env bash
# Installs what building and testing need, when it is missing (Debian and Ubuntu). With "fuzz"
# also clang and its libFuzzer runtime, for the fuzz targets; with "package", also what building
# and checking the Debian package needs.
set -euo pipefail

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
if [ "${1:-}" = package ]; then
    command -v dpkg-buildpackage >/dev/null || need+=(dpkg-dev)
    dpkg -s build-essential >/dev/null 2>&1 || need+=(build-essential)
    command -v dh >/dev/null || need+=(debhelper)
    command -v lintian >/dev/null || need+=(lintian)
    command -v logrotate >/dev/null || need+=(logrotate)
    command -v systemd-analyze >/dev/null || need+=(systemd)
    command -v man >/dev/null || need+=(man-db)
    command -v git >/dev/null || need+=(git)
fi

fuzz=no
[ "${1:-}" = fuzz ] && fuzz=yes
[ "$fuzz" = no ] || command -v clang++ >/dev/null || need+=(clang)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
updated=no
install() {
    echo "Installing: $*"
    if [ "$updated" = no ]; then
        $sudo apt-get update -q
        updated=yes
    fi
    $sudo apt-get install -y -q "$@"
}

if [ ${#need[@]} -gt 0 ]; then
    install "${need[@]}"
fi

# The fuzz targets need clang's libFuzzer runtime, which comes in a package named after the
# compiler's major version.
fuzzer_runtime() { [ -f "$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a)" ]; }
if [ "$fuzz" = yes ] && ! fuzzer_runtime; then
    major="$(clang++ -dumpversion | cut -d. -f1)"
    install "libclang-rt-$major-dev"
fi
