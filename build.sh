#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds Veltrane, and either starts it or runs every test.
#   ./build.sh start   install what is missing, build, start the program
#   ./build.sh test    install what is missing, build, run the tests plainly and under sanitizers
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake g++ make qt6-base-dev qt6-qpa-plugins fonts-liberation libcap2-bin)
# The fuzz target needs clang and its libFuzzer runtime.
test_packages=(clang libclang-rt-14-dev)

install_missing() { # extra packages...
    local missing=()
    for p in "${packages[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}

build() { # dir, target, extra cmake options...
    local dir=$1 target=$2
    shift 2
    cmake -S . -B "$dir" "$@"
    cmake --build "$dir" -j"$(nproc)" --target "$target"
}

# Ports below 1024 need a privilege on Linux; the program always listens on 1001.
offer_port_capability() {
    local exe=$1
    getcap "$exe" 2>/dev/null | grep -q cap_net_bind_service && return
    [ "$(id -u)" -eq 0 ] && return
    [ "$(cat /proc/sys/net/ipv4/ip_unprivileged_port_start 2>/dev/null || echo 1024)" -le 1001 ] && return
    [ -t 0 ] || return
    read -r -p "Receiving needs port 1001. Allow $exe to listen on it (sudo setcap cap_net_bind_service=+ep)? [y/N] " answer
    case "$answer" in
    y | Y | yes) sudo setcap cap_net_bind_service=+ep "$exe" ;;
    esac
}

case "${1:-}" in
start)
    install_missing
    build build all -DCMAKE_BUILD_TYPE=Release
    offer_port_capability build/app/veltrane
    exec build/app/veltrane
    ;;
test)
    install_missing "${test_packages[@]}"
    build build-test all -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRANE_WERROR=ON
    ctest --test-dir build-test -j2 --output-on-failure
    build build-sanitize all -DCMAKE_BUILD_TYPE=Debug -DVELTRANE_WERROR=ON -DVELTRANE_SANITIZE=ON
    ctest --test-dir build-sanitize -j2 --output-on-failure
    # A minute of fuzzing from the kept corpus; what it adds stays out of the repository.
    build build-fuzz fuzz_peer -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRANE_WERROR=ON -DVELTRANE_FUZZ=ON \
        -DCMAKE_CXX_COMPILER=clang++
    rm -rf build-fuzz/found && mkdir -p build-fuzz/found
    QT_QPA_PLATFORM=offscreen build-fuzz/tests/fuzz_peer -max_total_time=60 -print_final_stats=1 \
        -artifact_prefix=build-fuzz/ build-fuzz/found tests/corpus
    ;;
*)
    echo "usage: $0 start|test" >&2
    exit 2
    ;;
esac
