# The start-up bench/run.sh and bench/senders.sh share; sourced by both after
# their own checks. Sets $root and $build, builds the targets named, and
# gives $sender, a temporary $work folder removed on exit with every process
# in $pids, the CPU pinning, the settings file and the helpers for figures.
#
#   . "$(dirname "$0")/common.sh" AckmereProbe bench_sender ...

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}

echo "building in $build ..."
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target "$@" >/dev/null
sender=$build/bench/bench_sender

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Senders on one core, receivers on the other, the same for every receiver.
pin_sender=() pin_receiver=()
if command -v taskset >/dev/null && [ "$(nproc)" -ge 2 ]; then
    pin_sender=(taskset -c 0) pin_receiver=(taskset -c 1)
fi

# A display of our own, for the program's window.
start_display() {
    local n
    for n in $(seq 90 150); do
        [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] || { display=:$n; break; }
    done
    Xvfb "$display" -screen 0 1280x1024x24 >/dev/null 2>&1 &
    pids+=($!)
    export DISPLAY=$display
    sleep 1
}

write_ini() { # dir port
    printf '%s\r\n' "[RemoteIP]" "0.0.0.0" "" "[Port]" "$2" "" "[AutoStart]" "On" "" \
        "[ExitWarning]" "False" "" "[MSH before date]" "|||||" "" "[MSH after date]" \
        "||ACK|||||||||" "" "[MSA Segment]" "|AA||||||" "" "[Interface Name]" "Interface" "" \
        "[Show Transaction Count]" " 0 " "" "[Logfile Location]" "logfile.txt" > "$1/ackprobe.ini"
}

median() { sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}'; }
