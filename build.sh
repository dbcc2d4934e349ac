#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds Veltrane, and either starts it or runs every test.
#   ./build.sh start    install what is missing, build the program, start it
#   ./build.sh package  install what is missing, build build-package/veltrane_<version>_<arch>.deb
#   ./build.sh test     install what is missing, build, run the tests plainly and under sanitizers,
#                       fuzz, and check the package with lintian and the desktop's validators
set -euo pipefail
cd "$(dirname "$0")"

# TLS and the keys are OpenSSL's own API (libssl-dev); openssl s_server/s_client are the tests' foreign peer.
packages=(cmake g++ make qt6-base-dev qt6-qpa-plugins libxcb1-dev fonts-liberation libcap2-bin libssl-dev openssl)
# The fuzz target needs clang and its libFuzzer runtime; the attention request is watched on a
# virtual X display. The windows are also placed by a headless sway, natively (qt6-wayland) and
# through XWayland, and shot by grim; screen readers' view is read on a private accessibility bus
# (at-spi2-core, with dbus for the session bus it hangs off). The discovery tests start their own
# bus and avahi-daemon in network namespaces of their own (the package's attempt to start the
# machine's daemon is harmless), and watch their link with tcpdump. Folder streams are checked
# against bsdtar as well as GNU tar. Desktop notifications are shown by dunst on a virtual X display
# and watched with dbus-monitor (dbus-bin); the package's firewall files are read by ufw and by
# firewalld's offline tool.
test_packages=(clang libclang-rt-14-dev xvfb xauth sway xwayland qt6-wayland grim at-spi2-core dbus
    avahi-daemon avahi-utils dbus-daemon iproute2 tcpdump libarchive-tools dunst dbus-bin ufw firewalld)
# CPack's library scan runs file and dpkg-shlibdeps; the hardening flags come from dpkg-buildflags.
package_packages=(dpkg-dev file)
# What judges the package.
check_packages=(lintian desktop-file-utils appstream)

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

# Ports below 1024 need a privilege on Linux; the program always listens on 1001, from the terminal
# program and from the windows' alike. Whatever the answer or the outcome, the program starts:
# sending needs no privilege.
offer_port_capability() { # programs...
    local missing=() exe
    for exe in "$@"; do
        # getcap lives in /usr/sbin, which an ordinary user's PATH leaves out.
        /usr/sbin/getcap "$exe" 2>/dev/null | grep -q cap_net_bind_service || missing+=("$exe")
    done
    [ ${#missing[@]} -eq 0 ] && return
    [ "$(id -u)" -eq 0 ] && return
    [ "$(cat /proc/sys/net/ipv4/ip_unprivileged_port_start 2>/dev/null || echo 1024)" -le 1001 ] && return
    [ -t 0 ] || return
    local answer=""
    read -r -p "Receiving needs port 1001. Allow ${missing[*]} to listen on it (sudo setcap cap_net_bind_service=+ep)? [y/N] " answer || true
    case "$answer" in
    y | Y | yes)
        for exe in "${missing[@]}"; do
            sudo /usr/sbin/setcap cap_net_bind_service=+ep "$exe" ||
                echo "Not granted: the program starts all the same, and can send but not receive." >&2
        done
        ;;
    esac
}

# A Release build of the program alone, with Debian's hardening flags, packed by CPack.
package() {
    umask 022
    local cppflags
    cppflags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CPPFLAGS)
    cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DVELTRANE_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr \
        -DCMAKE_CXX_FLAGS="$cppflags $(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS)" \
        -DCMAKE_EXE_LINKER_FLAGS="$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get LDFLAGS)"
    cmake --build build-package -j"$(nproc)" --target veltrane
    rm -rf build-package/_CPack_Packages
    rm -f build-package/*.deb
    (cd build-package && cpack -G DEB)
    ls build-package/*.deb
}

# Lintian, then the desktop's validators and the icons' sizes on the files as the package installs
# them. Any error or warning fails; desktop-file-validate exits 0 on warnings, so its output counts.
check_package() {
    local deb root report
    deb=$(ls build-package/*.deb)
    lintian --fail-on error,warning --display-info "$deb"
    root=$(mktemp -d)
    dpkg-deb -x "$deb" "$root"
    report=$(desktop-file-validate "$root"/usr/share/applications/*.desktop 2>&1) || true
    appstreamcli validate --no-net --pedantic "$root"/usr/share/metainfo/*.metainfo.xml || report+=$'\nappstreamcli validate failed'
    # The tree check also finds the desktop entry that the metainfo's launchable names.
    appstreamcli validate-tree --no-net "$root" || report+=$'\nappstreamcli validate-tree failed'
    local png size
    for png in "$root"/usr/share/icons/hicolor/*/apps/*.png; do
        size=$(basename "$(dirname "$(dirname "$png")")")
        file -b "$png" | grep -q "^PNG image data, ${size/x/ x }," || report+=$'\n'"${png#"$root"} is not $size"
    done
    rm -rf "$root"
    if [ -n "$report" ]; then
        echo "$report" >&2
        return 1
    fi
    echo "Package: lintian, desktop-file-validate, appstreamcli and the icon sizes are clean"
}

case "${1:-}" in
start)
    install_missing
    build build veltrane -DCMAKE_BUILD_TYPE=Release
    offer_port_capability build/app/veltrane build/app/veltrane-windows
    exec build/app/veltrane
    ;;
package)
    install_missing "${package_packages[@]}"
    package
    ;;
test)
    install_missing "${test_packages[@]}" "${package_packages[@]}" "${check_packages[@]}"
    build build-test all -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRANE_WERROR=ON
    ctest --test-dir build-test -j2 --output-on-failure
    # The benchmarks are built once, above: timing under the sanitizers would measure nothing.
    build build-sanitize all -DCMAKE_BUILD_TYPE=Debug -DVELTRANE_WERROR=ON -DVELTRANE_SANITIZE=ON -DVELTRANE_BENCHMARKS=OFF
    ctest --test-dir build-sanitize -j2 --output-on-failure
    # A minute of fuzzing from the kept corpus; what it adds stays out of the repository.
    build build-fuzz fuzz_peer -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRANE_WERROR=ON -DVELTRANE_FUZZ=ON \
        -DCMAKE_CXX_COMPILER=clang++
    rm -rf build-fuzz/found && mkdir -p build-fuzz/found
    QT_QPA_PLATFORM=offscreen build-fuzz/tests/fuzz_peer -max_total_time=60 -print_final_stats=1 \
        -artifact_prefix=build-fuzz/ build-fuzz/found tests/corpus
    package
    check_package
    ;;
*)
    echo "usage: $0 start|package|test" >&2
    exit 2
    ;;
esac
