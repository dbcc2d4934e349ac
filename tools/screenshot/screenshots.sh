#!/usr/bin/env bash
# Remakes the README's screenshots: the windows rendered offscreen to PNG.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake -S . -B build-screenshot -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-screenshot --target veltrane-screenshot -j"$(nproc)"
mkdir -p resources/screenshots
build-screenshot/tools/veltrane-screenshot resources/screenshots
