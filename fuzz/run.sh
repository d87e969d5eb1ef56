#!/usr/bin/env bash
# Builds the settings reader's fuzzer with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs it for a bounded time on a copy of the
# seed corpus. Any crash, hang, leak, undefined behaviour or broken property
# ends it with a non-zero status and the input that did it.
#
#   fuzz/run.sh                  (needs clang, libclang-rt-14-dev, qt6-base-dev)
#   FUZZ_SECONDS=600 fuzz/run.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-60}
cxx=${CLANGXX:-clang++}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The reader and the number parser are compiled here with the sanitizers;
# Qt Core is linked as the system has it.
# shellcheck disable=SC2046
"$cxx" -std=c++20 -g -O1 -fPIC -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root/src" $(pkg-config --cflags Qt6Core) \
    "$root/fuzz/settings_fuzzer.cpp" \
    "$root/src/settings/settingsfile.cpp" "$root/src/settings/numericvalue.cpp" \
    $(pkg-config --libs Qt6Core) -o "$work/settings_fuzzer"

# libFuzzer adds what it finds to its first corpus folder: a copy keeps the
# repository's seeds as they are.
cp -r "$root/fuzz/corpus" "$work/corpus"
mkdir "$work/findings"
status=0
(cd "$work/findings" && UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$work/settings_fuzzer" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 \
    -dict="$root/fuzz/settings.dict" -print_final_stats=1 "$work/corpus") \
    >"$work/log" 2>&1 || status=$?

runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)
corpus=$(find "$work/corpus" -type f | wc -l)
if [ "$status" -ne 0 ]; then
    tail -n 60 "$work/log"
    for finding in "$work"/findings/*; do
        [ -e "$finding" ] || continue
        echo "input that did it ($(basename "$finding")):"
        od -A d -c "$finding" | head -n 20
    done
    echo "settings fuzzer: FAILED after ${runs:-?} executions" >&2
    exit "$status"
fi
echo "settings fuzzer: ${runs} executions in ${seconds} s, corpus of ${corpus} inputs, nothing found"
