#!/usr/bin/env bash
# Installs what building and testing need, when it is missing (Debian and Ubuntu). With "fuzz"
# also clang and its libFuzzer runtime, for the fuzz targets.
set -euo pipefail

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)

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
