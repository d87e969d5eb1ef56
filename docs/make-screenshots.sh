#!/usr/bin/env bash
# Draws the README's screenshots again under Xvfb (apt-get install -y xvfb),
# into docs/ or the folder given: make-screenshots.sh [OUTPUT_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
out=${1:-$root/docs}
mkdir -p "$out"
out=$(cd "$out" && pwd) # the program runs in a folder of its own
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target ackprobe_screenshots >/dev/null
xvfb-run -a -s "-screen 0 1280x1024x24" "$build/docs/ackprobe_screenshots" "$out"
echo "wrote $out/mainwindow.png, viewer.png, columns.png, charsets.png, characterset.png, connections.png, rules.png and setup.png"
