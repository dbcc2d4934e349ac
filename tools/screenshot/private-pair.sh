#!/usr/bin/env bash
# Remakes the README's picture of two windows showing the same code: a receiving and a sending
# window that have just moved a file privately, on a headless sway run by an ordinary account, shot
# with grim; with "folder", a folder being offered and the receiver's save dialog open, shot as
# folder.png. Run as root: ./private-pair.sh ACCOUNT [folder]
set -euo pipefail
cd "$(dirname "$0")/../.."
account=${1:?an ordinary account to run sway and the windows as}
mode=${2:-pair}
[ "$mode" = folder ] && size=1100x560 shot=folder.png || size=800x300 shot=private-pair.png
cmake -S . -B build-screenshot -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-screenshot --target veltrane-screenshot -j"$(nproc)"
run=$(mktemp -d)
chown "$account" "$run"
chmod 700 "$run"
cat >"$run/config" <<'CONFIG'
output HEADLESS-1 resolution SIZE bg #3b5b7b solid_color
default_border normal
font pango:Liberation Sans 11
for_window [title=".*"] floating enable
CONFIG
sed -i "s/SIZE/$size/" "$run/config"
as() { runuser -u "$account" -- env XDG_RUNTIME_DIR="$run" WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 \
    WLR_RENDERER=pixman "$@"; }
as sway -c "$run/config" >"$run/sway.log" 2>&1 &
sway=$!
trap 'pkill -u "$account" -f veltrane-screenshot; kill $sway 2>/dev/null; rm -rf "$run"' EXIT
for _ in $(seq 50); do [ -S "$run/wayland-1" ] && break; sleep 0.1; done
as env WAYLAND_DISPLAY=wayland-1 QT_QPA_PLATFORM=wayland "$PWD/build-screenshot/tools/veltrane-screenshot" "--$mode" 6000 &
windows=$!
sleep 4
# sway floats each new window in the middle; set them side by side.
swaysock=$(ls "$run"/sway-ipc.*.sock)
x=10
for id in $(as swaymsg -s "$swaysock" -t get_tree | python3 -c '
import json, sys
def walk(node):
    for child in node.get("nodes", []) + node.get("floating_nodes", []):
        yield from walk(child)
    if node.get("type") == "floating_con":
        yield node["id"]
print(*sorted(walk(json.load(sys.stdin)))[:2])'); do
    as swaymsg -s "$swaysock" "[con_id=$id] move position $x 20" >/dev/null
    x=$((x + 400))
done
sleep 0.5
as env WAYLAND_DISPLAY=wayland-1 grim "$run/pair.png"
cp "$run/pair.png" "resources/screenshots/$shot"
wait "$windows" || true
