#!/usr/bin/env bash
# Installs what building and testing need, when it is missing (Debian and Ubuntu). With
# "package", also what building and checking the Debian package needs.
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

if [ ${#need[@]} -gt 0 ]; then
    echo "Installing: ${need[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q
    $sudo apt-get install -y -q "${need[@]}"
fi
