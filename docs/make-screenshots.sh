#!/usr/bin/env bash
# Draws the README's screenshots again under Xvfb (apt-get install -y xvfb).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target ackprobe_screenshots >/dev/null
xvfb-run -a -s "-screen 0 1280x1024x24" "$build/docs/ackprobe_screenshots" "$root/docs"
echo "wrote $root/docs/mainwindow.png, viewer.png, columns.png and setup.png"
