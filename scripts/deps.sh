#!/usr/bin/env bash
# Checks that everything needed to build and test T4VM is installed: cmake, g++, ninja or make,
# python3 and GoogleTest. Run as root, it installs what is missing from Debian's packages;
# otherwise it names the missing packages and fails.
set -euo pipefail

have() { command -v "$1" >/dev/null 2>&1; }

have_gtest() {
    local dir
    for dir in /usr/lib/*/cmake/GTest /usr/lib/cmake/GTest /usr/local/lib/cmake/GTest \
               /usr/local/lib/*/cmake/GTest; do
        if [ -f "$dir/GTestConfig.cmake" ]; then return 0; fi
    done
    # Headers plus a built library also do: CMake's FindGTest module finds those.
    if [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ]; then
        if compgen -G '/usr/lib/*/libgtest.*' >/dev/null || compgen -G '/usr/lib/libgtest.*' >/dev/null ||
           compgen -G '/usr/local/lib/libgtest.*' >/dev/null; then
            return 0
        fi
    fi
    return 1
}

# Sets `missing` to the Debian packages that would supply what is not there.
check() {
    missing=()
    have cmake || missing+=(cmake)
    have g++ || missing+=(g++)
    have ninja || have make || missing+=(ninja-build)
    have python3 || missing+=(python3)
    have_gtest || missing+=(libgtest-dev)
}

check
if [ ${#missing[@]} -eq 0 ]; then exit 0; fi

if [ "$(id -u)" -ne 0 ]; then
    echo "deps.sh: missing Debian packages: ${missing[*]}" >&2
    echo "deps.sh: install them as root (apt-get install -y ${missing[*]}) or run this as root" >&2
    exit 1
fi
if ! have apt-get; then
    echo "deps.sh: missing packages: ${missing[*]}, and there is no apt-get to install them with" >&2
    exit 1
fi

echo "deps.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y "${missing[@]}"

check
if [ ${#missing[@]} -ne 0 ]; then
    echo "deps.sh: still missing after apt-get install: ${missing[*]}" >&2
    exit 1
fi
