#!/usr/bin/env bash
# Measures AckmereProbe against the reference responders (one that sleeps in
# read(), one that polls after each answer as the program does, one that also
# logs each arrival before it answers as the program does) and prints the
# figures of the five speed goals as ratios from this one run, and the time
# to find a message among a million while a sender goes on.
#
#   bench/run.sh              (needs cmake, g++, qt6-base-dev, libssl-dev, xvfb)
#   ROUNDS=7 COUNT=30000 MILLION=1000000 bench/run.sh
#   RULES=none20 bench/run.sh   (or RULES=adt-ae: the probe with answer rules)
set -euo pipefail

rounds=${ROUNDS:-6}
count=${COUNT:-20000}
million=${MILLION:-1000000}
size=${SIZE:-400}
# The same 1.5 GB at any size: at 400 bytes, 1,500,000 messages were over in
# under two seconds, with no whole second inside the flood to report.
flood_count=${FLOOD_COUNT:-$((1500000000 / size))}

# RULES: an ackprobe-rules.txt beside the probe's settings. none20: twenty
# rules of every kind, none of which holds for the bench's messages (ADT^A01
# from BENCH, PID-3 their number), so each message is tried against all of
# them; adt-ae: one rule that holds for every message. Unset: no rules file.
rules=${RULES:-}
case $rules in
    "") rules_mode="none (no rules file)" ;;
    none20) rules_mode="none20 (20 rules, none holds)" ;;
    adt-ae) rules_mode="adt-ae ({MSH-9.1} = ADT -> AE, holds for every message)" ;;
    *) echo "RULES must be none20 or adt-ae, not \"$rules\"" >&2; exit 1 ;;
esac

command -v Xvfb >/dev/null || { echo "Xvfb is missing: apt-get install -y xvfb" >&2; exit 1; }

. "$(dirname "$0")/common.sh" AckmereProbe bench_sender bench_reference bench_probehost bench_barewindow bench_rules
start_display
echo "answer rules: $rules_mode"

write_rules() { # dir
    case $rules in
        none20) printf '%s\n' "# RULES=none20: none holds for the bench's messages" \
            "{MSH-9.1} = ORU -> AE" "{MSH-9.1} = ORM -> AE" "{MSH-9.2} = A08 -> AE" \
            "{MSH-9.1} != ADT -> AR" "{MSH-3} = LAB -> AE" "{MSH-3} = RADIOLOGY -> AR" \
            "{MSH-4} = NORTH -> AE" "{MSH-11} = T -> AE" "{MSH-12} = 2.5 -> AE" \
            "{MSH-10} = NONE -> AE, text \"no such message\"" "{PID-3.1} = 0 -> AE" \
            "{PID-3.1} ~ ^X -> AR" "{PID-3.4} = CLINIC -> AE" "{PID-5.1} = SMITH -> AE" \
            "{PID-8} = F -> AE" "{EVN-1} = A02 -> AE" "{MSH-9.1} = ADT and {MSH-9.2} = A04 -> AE" \
            'text ~ OBX\| -> AE' "text ~ ZZZ-NEVER -> AR, close" "every 1000000000 -> AE" > "$1/ackprobe-rules.txt" ;;
        adt-ae) printf '%s\n' "{MSH-9.1} = ADT -> AE" > "$1/ackprobe-rules.txt" ;;
    esac
}

# start_program <executable> [arguments] -> sets $port $pid $dir
start_program() {
    dir=$(mktemp -d "$work/run.XXXX")
    cp "$1" "$dir/"
    port=$("$sender" --free-port)
    write_ini "$dir" "$port"
    write_rules "$dir"
    # OPTIONS: the text of an ackprobe-options.ini for this run.
    [ -z "${OPTIONS:-}" ] || printf '%s\n' "$OPTIONS" > "$dir/ackprobe-options.ini"
    (cd "$dir" && exec "${pin_receiver[@]}" "./$(basename "$1")" "${@:2}" > "$dir/out.txt" 2>&1) &
    pid=$!
    pids+=($pid)
    "$sender" --port "$port" --count 0 --connect-seconds 20 >/dev/null
}

rss_kb() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }

# What deciding costs a message, apart from the wire.
decide_line=
if [ -n "$rules" ]; then
    write_rules "$work"
    decide_line=$("$build/bench/bench_rules" "$work/ackprobe-rules.txt" "$size")
fi

echo "goal 5: start-up to listening (median of 5) ..."
startup_prog=() startup_bare=()
for i in 1 2 3 4 5; do
    d=$(mktemp -d "$work/start.XXXX"); cp "$build/AckmereProbe" "$d/"
    p=$("$sender" --free-port); write_ini "$d" "$p"; write_rules "$d"
    t0=$(date +%s%N)
    (cd "$d" && exec ./AckmereProbe >/dev/null 2>&1) & sp=$!
    startup_prog+=($("$sender" --port "$p" --count 0 --connect-seconds 20 --since-ns "$t0" | field listening_after_launch_ms))
    kill $sp; wait $sp 2>/dev/null || true
    p=$("$sender" --free-port)
    t0=$(date +%s%N)
    "$build/bench/bench_barewindow" "$p" >/dev/null 2>&1 & sp=$!
    startup_bare+=($("$sender" --port "$p" --count 0 --connect-seconds 20 --since-ns "$t0" | field listening_after_launch_ms))
    kill $sp; wait $sp 2>/dev/null || true
done
start_prog_ms=$(printf '%s\n' "${startup_prog[@]}" | median)
start_bare_ms=$(printf '%s\n' "${startup_bare[@]}" | median)

echo "goal 1: $rounds alternating rounds of $count synchronous messages of $size bytes ..."
start_program "$build/AckmereProbe"; prog_port=$port; prog_pid=$pid
# The same engine without its window: what the window costs is the difference.
start_program "$build/AckmereProbe" --headless; headless_port=$port; headless_pid=$pid
# The window with whole MLLP messages gathered: the same framed messages.
OPTIONS=$'[Receive]\nWholeMllpMessages=true' start_program "$build/AckmereProbe"; whole_port=$port; whole_pid=$pid
ref_port=$("$sender" --free-port)
"${pin_receiver[@]}" "$build/bench/bench_reference" "$ref_port" & pids+=($!)
"$sender" --port "$ref_port" --count 0 --connect-seconds 20 >/dev/null
# The fair limit: a reference that watches the connection after each answer
# for as long as the program does before it sleeps.
poll_port=$("$sender" --free-port)
"${pin_receiver[@]}" "$build/bench/bench_reference" "$poll_port" --poll-us 30 & pids+=($!)
"$sender" --port "$poll_port" --count 0 --connect-seconds 20 >/dev/null
# The fair limit for the same work: it polls as well, and appends each arrival
# and CR LF to a log on the program's disk before it answers.
log_port=$("$sender" --free-port)
"${pin_receiver[@]}" "$build/bench/bench_reference" "$log_port" --poll-us 30 \
    --log "$work/reference-log.txt" & pids+=($!)
"$sender" --port "$log_port" --count 0 --connect-seconds 20 >/dev/null
prog_rates=() ref_rates=() poll_rates=() log_rates=() prog_p99=() ref_p99=() poll_p99=() log_p99=()
headless_rates=() headless_p99=() whole_rates=() whole_p99=()
# Each round begins with the next receiver in turn: what the run before leaves
# (a log still being written out, a core just woken) falls on each alike.
receivers=(whole headless prog ref poll log)
for r in $(seq "$rounds"); do
    for k in "${!receivers[@]}"; do
        name=${receivers[$(((k + r - 1) % ${#receivers[@]}))]}
        declare -n rates=${name}_rates p99s=${name}_p99 receiver_port=${name}_port
        out=$("${pin_sender[@]}" "$sender" --port "$receiver_port" --count "$count" --size "$size")
        rates+=("$(echo "$out" | field ' rate')") p99s+=("$(echo "$out" | field p99_us)")
        unset -n rates p99s receiver_port
    done
done
prog_rate=$(printf '%s\n' "${prog_rates[@]}" | median)
ref_rate=$(printf '%s\n' "${ref_rates[@]}" | median)
poll_rate=$(printf '%s\n' "${poll_rates[@]}" | median)
prog_p99_us=$(printf '%s\n' "${prog_p99[@]}" | median)
ref_p99_us=$(printf '%s\n' "${ref_p99[@]}" | median)
poll_p99_us=$(printf '%s\n' "${poll_p99[@]}" | median)
whole_rate=$(printf '%s\n' "${whole_rates[@]}" | median)
whole_p99_us=$(printf '%s\n' "${whole_p99[@]}" | median)
headless_rate=$(printf '%s\n' "${headless_rates[@]}" | median)
headless_p99_us=$(printf '%s\n' "${headless_p99[@]}" | median)
log_rate=$(printf '%s\n' "${log_rates[@]}" | median)
log_p99_us=$(printf '%s\n' "${log_p99[@]}" | median)
kill "$prog_pid" "$headless_pid" "$whole_pid"

echo "goals 2 and 3: $million synchronous messages in one run ..."
start_program "$build/AckmereProbe"
rss_before=$(rss_kb "$pid")
out=$("${pin_sender[@]}" "$sender" --port "$port" --count "$million" --size "$size" --segment 10000 \
    --stall-seconds 20 --trace 1 2> "$work/segments.txt")
rss_after=$(rss_kb "$pid")
first_rate=$(echo "$out" | field first_segment_rate)
last_rate=$(echo "$out" | field last_segment_rate)
million_done=$(echo "$out" | field messages)
# The machine's own ups and downs move a single 10,000-message window by tens
# of per cent; the medians of the first and the last ten windows show the trend.
first_median=$(head -n 10 "$work/segments.txt" | awk '{print $2}' | median)
last_median=$(tail -n 10 "$work/segments.txt" | awk '{print $2}' | median)
kill "$pid"
received=$((million_done * size))
growth=$(( (rss_after - rss_before) * 1024 ))

echo "goal 4: a flood of $flood_count messages while the window is watched ..."
start_program "$build/bench/bench_probehost"
"${pin_sender[@]}" "$sender" --port "$port" --count "$flood_count" --size "$size" --flood 1 --stall-seconds 20 > "$work/flood.txt"
sleep 2
kill "$pid"
# Whole seconds inside the flood (the first and last busy seconds are only
# partly busy): the fewest paints; and the worst lateness of any busy second.
read -r min_paints worst_late busy_seconds < <(awk '
    /^second/ { m = $2; sub("messages=", "", m); p = $3; sub("paints=", "", p); l = $4; sub("worst_late_ms=", "", l)
                if (m > last) { n++; paints[n] = p; if (l > worst) worst = l }
                last = m }
    END { for (i = 2; i < n; i++) if (min == "" || paints[i] < min) min = paints[i]
          print (min == "" ? "n/a" : min), (worst == "" ? 0 : worst), n }' "$dir/out.txt")
flood_paints=$(awk '/^second/ { sub("paints=", "", $3); printf "%s ", $3 }' "$dir/out.txt")

echo "find: $million messages of 1,000 bytes, then the last one looked for while a sender goes on ..."
# Three runs of 30,000 messages during a search, each followed by the same run
# without one; each search begins at its run's 2,000th message and, from the
# row found before, wraps round the whole store. First with the probe on its
# own core as above (the sender's core stands for the sending machine), then
# free to use both cores.
PROBE_FIND="MSG$(printf '%09d' "$million")|" PROBE_FIND_AFTER=$((million + 2000)) PROBE_FIND_EVERY=60000 \
    start_program "$build/bench/bench_probehost"
"${pin_sender[@]}" "$sender" --port "$port" --count "$million" --size 1000 --stall-seconds 20 >/dev/null
find_pairs() { # -> "during_rate during_p99 after_rate after_p99", medians of three
    local i during after d_rate=() d_p99=() a_rate=() a_p99=()
    for i in 1 2 3; do
        during=$("${pin_sender[@]}" "$sender" --port "$port" --count 30000 --size 1000 --stall-seconds 20)
        sleep 1
        after=$("${pin_sender[@]}" "$sender" --port "$port" --count 30000 --size 1000 --stall-seconds 20)
        sleep 1
        d_rate+=("$(echo "$during" | field ' rate')") d_p99+=("$(echo "$during" | field p99_us)")
        a_rate+=("$(echo "$after" | field ' rate')") a_p99+=("$(echo "$after" | field p99_us)")
    done
    echo "$(printf '%s\n' "${d_rate[@]}" | median) $(printf '%s\n' "${d_p99[@]}" | median)" \
        "$(printf '%s\n' "${a_rate[@]}" | median) $(printf '%s\n' "${a_p99[@]}" | median)"
}
find_own=$(find_pairs)
[ ${#pin_receiver[@]} -eq 0 ] || taskset -a -p -c 0-"$(($(nproc) - 1))" "$pid" >/dev/null
find_free=$(find_pairs)
kill "$pid"
find_ms=$(sed -n 's/^find ms=\([0-9.]*\).*/\1/p' "$dir/out.txt" | paste -sd ' ')
find_row=$(sed -n 's/^find .* row=\([0-9]*\).*/\1/p' "$dir/out.txt" | sort -u | paste -sd ' ')
find_slowest=$(printf '%s\n' $find_ms | sort -g | tail -n 1)
find_line() { # label "during_rate during_p99 after_rate after_p99"
    set -- "$1" $2
    printf '   %s: %s/s, p99 %s us; without a search %s/s, p99 %s us: %s x throughput, %s x p99\n' \
        "$1" "$2" "$3" "$4" "$5" "$(ratio "$2" "$4")" "$(ratio "$3" "$5")"
}

echo
echo "=== AckmereProbe against the reference responder (this run) ==="
echo "answer rules: $rules_mode"
[ -z "$decide_line" ] || echo "$decide_line"
printf '1. throughput %s/s vs the polling reference %s/s: %s x (goal >= 0.80)\n' "$prog_rate" "$poll_rate" "$(ratio "$prog_rate" "$poll_rate")"
printf '   p99 latency %s us vs %s us: %s x the polling reference (goal <= 2.00)\n' "$prog_p99_us" "$poll_p99_us" "$(ratio "$prog_p99_us" "$poll_p99_us")"
printf '   whole MLLP messages %s/s, p99 %s us: %s x throughput (goal >= 0.90), %s x p99 (goal <= 1.25) of the logging reference\n' "$whole_rate" "$whole_p99_us" "$(ratio "$whole_rate" "$log_rate")" "$(ratio "$whole_p99_us" "$log_p99_us")"
printf '   headless probe %s/s, p99 %s us: %s x throughput, %s x p99 of the polling reference; the window %s x its throughput\n' "$headless_rate" "$headless_p99_us" "$(ratio "$headless_rate" "$poll_rate")" "$(ratio "$headless_p99_us" "$poll_p99_us")" "$(ratio "$prog_rate" "$headless_rate")"
printf '   against the sleeping reference (%s/s, p99 %s us): %s x throughput, %s x p99\n' "$ref_rate" "$ref_p99_us" "$(ratio "$prog_rate" "$ref_rate")" "$(ratio "$prog_p99_us" "$ref_p99_us")"
printf '   against the logging reference (%s/s, p99 %s us): %s x throughput (goal >= 0.90), %s x p99 (goal <= 1.25)\n' "$log_rate" "$log_p99_us" "$(ratio "$prog_rate" "$log_rate")" "$(ratio "$prog_p99_us" "$log_p99_us")"
printf '2. the last 10,000 of %s messages at %s/s vs the first 10,000 at %s/s: %s (goal >= 0.90)\n' "$million_done" "$last_rate" "$first_rate" "$(ratio "$last_rate" "$first_rate")"
printf '   medians of the first and the last ten windows of 10,000: %s/s and %s/s: %s\n' "$first_median" "$last_median" "$(ratio "$last_median" "$first_median")"
printf '3. resident memory grew %s MB for %s MB received: %s x (goal <= 1.30)\n' \
    "$((growth / 1000000))" "$((received / 1000000))" "$(ratio "$growth" "$received")"
printf '4. under a flood of %s s: at least %s paints a second (goal >= 10), worst event-loop lateness %s ms (goal <= 100)\n' "$busy_seconds" "$min_paints" "$worst_late"
printf '   paints in each second of the watch: %s\n' "$flood_paints"
printf '5. start-up to listening %s ms vs a bare Qt window %s ms: %s x (goal <= 2.00)\n' "$start_prog_ms" "$start_bare_ms" "$(ratio "$start_prog_ms" "$start_bare_ms")"
printf '6. find: the last of %s messages of 1,000 bytes found at row %s in %s ms, the slowest %s ms (goal within 2,000)\n' \
    "$million" "${find_row:-none}" "${find_ms:-none}" "${find_slowest:-none}"
find_line "the sender meanwhile, medians of three runs of 30,000, the probe on its own core (goal: answers no later)" "$find_own"
find_line "the same with the probe free to use the sender's core as well" "$find_free"
