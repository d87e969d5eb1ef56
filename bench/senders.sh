#!/usr/bin/env bash
# Measures the headless AckmereProbe with several synchronous senders at once
# and with MLLP over TLS, against reference responders doing the same work in
# the same run, and prints throughput and p99 latency as ratios:
#  (a) 1, 4 and 16 senders in parallel, each on its own connection, against
#      the probe ([Receive] Senders=Several) and against a one-thread epoll
#      reference that polls 30 us after answering and logs each arrival;
#  (b) one sender over TLS against the probe ([TLS] Certificate and Key) and
#      against a TLS reference that polls and logs the same way.
# The certificates (a CA and a server certificate for CN=localhost, EC P-256)
# are made at run time in the temporary folder.
#
#   bench/senders.sh          (needs cmake, g++, qt6-base-dev, libssl-dev, openssl)
#   ROUNDS=7 COUNT=20000 SIZE=1000 bench/senders.sh
set -euo pipefail

rounds=${ROUNDS:-5}
count=${COUNT:-5000} # messages per connection in each round
size=${SIZE:-400}

command -v openssl >/dev/null || { echo "openssl is missing: apt-get install -y openssl" >&2; exit 1; }

. "$(dirname "$0")/common.sh" AckmereProbe bench_sender bench_reference
reference=$build/bench/bench_reference

echo "making a CA and a server certificate for localhost ..."
tls=$work/tls
mkdir "$tls"
(
    cd "$tls"
    ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
    openssl req -x509 "${ec[@]}" -keyout ca.key -out ca.pem -days 2 -subj "/CN=AckmereProbe bench CA" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
    openssl req -new "${ec[@]}" -keyout server.key -out server.csr -subj "/CN=localhost"
    printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature" \
        "extendedKeyUsage=serverAuth" "subjectAltName=DNS:localhost,IP:127.0.0.1" > server.ext
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
        -extfile server.ext -out server.pem
) >"$work/openssl.txt" 2>&1 || { echo "openssl could not make the certificates:" >&2; cat "$work/openssl.txt" >&2; exit 1; }

# Waits for the receiver <pid> to accept on <port>; says so when it does not.
wait_listening() { # name pid port out-file
    local tries
    for tries in $(seq 20); do
        kill -0 "$2" 2>/dev/null || break
        if "$sender" --port "$3" --count 0 --connect-seconds 1 >/dev/null 2>&1; then
            kill -0 "$2" 2>/dev/null && return 0
            break
        fi
    done
    echo "   $1 did not come up; not measured. It said:"
    tail -n 5 "$4" | sed 's/^/     /'
    kill "$2" 2>/dev/null || true
    return 1
}

# start_probe <options text> -> sets $port $pid; fails when it does not listen
start_probe() {
    local dir
    dir=$(mktemp -d "$work/probe.XXXX")
    cp "$build/AckmereProbe" "$dir/"
    port=$("$sender" --free-port)
    write_ini "$dir" "$port"
    printf '%s\n' "$1" > "$dir/ackprobe-options.ini"
    (cd "$dir" && exec "${pin_receiver[@]}" ./AckmereProbe --headless > "$dir/out.txt" 2>&1) &
    pid=$!
    pids+=($pid)
    wait_listening "the probe" "$pid" "$port" "$dir/out.txt"
}

# start_reference <arguments after the port> -> sets $port $pid
start_reference() {
    local out
    out=$(mktemp "$work/reference.XXXX")
    port=$("$sender" --free-port)
    "${pin_receiver[@]}" "$reference" "$port" "$@" > "$out" 2>&1 &
    pid=$!
    pids+=($pid)
    wait_listening "the reference ($*)" "$pid" "$port" "$out"
}

verdict() { # value goal-operator goal
    awk -v v="$1" -v op="$2" -v g="$3" 'BEGIN {print ((op == ">=" ? v >= g : v <= g) ? "met" : "missed")}'
}

# One sender run; its rate and p99 appended to the named arrays, or, when it
# failed, the sender's first complaint in $failure and a line saying so.
send_round() { # label port rates-array p99-array [sender arguments]
    local label=$1 port=$2 out
    declare -n rates_out=$3 p99_out=$4
    shift 4
    if out=$("${pin_sender[@]}" "$sender" --port "$port" --size "$size" "$@" 2>"$work/sender-err.txt"); then
        rates_out+=("$(echo "$out" | field ' rate')") p99_out+=("$(echo "$out" | field p99_us)")
        return 0
    fi
    failure=$(head -n 1 "$work/sender-err.txt")
    echo "   $label: the run failed: $failure"
    return 1
}

# measure <label> <sender arguments...>: alternating rounds between the probe
# ($probe_port, unless empty) and the reference ($ref_port), after a warm-up
# that also tells whether each can take these senders at all; sets $line.
measure() {
    local label=$1 name k r failure
    shift
    local probe_rates=() probe_p99=() ref_rates=() ref_p99=() up=()
    local -A ports=([probe]=${probe_port:-} [ref]=${ref_port:-}) why=([probe]="did not come up" [ref]="did not come up")
    for name in probe ref; do
        [ -n "${ports[$name]}" ] || continue
        local warm_rates=() warm_p99=()
        if send_round "$label, $name (warm-up)" "${ports[$name]}" warm_rates warm_p99 --count 200 "$@"; then
            up+=("$name")
        else
            why[$name]="failed at the warm-up: $failure"
        fi
    done
    for r in $(seq "$rounds"); do
        for k in "${!up[@]}"; do
            name=${up[$(((k + r - 1) % ${#up[@]}))]}
            send_round "$label, $name round $r" "${ports[$name]}" "${name}_rates" "${name}_p99" \
                --count "$count" "$@" || why[$name]="failed in a round: $failure"
        done
    done
    if [ ${#probe_rates[@]} -eq 0 ] || [ ${#ref_rates[@]} -eq 0 ]; then
        line="$label: no ratio:"
        [ ${#probe_rates[@]} -gt 0 ] || line+=" the probe ${why[probe]};"
        [ ${#ref_rates[@]} -gt 0 ] || line+=" the reference ${why[ref]};"
        [ ${#probe_rates[@]} -eq 0 ] || line+=" the probe $(printf '%s\n' "${probe_rates[@]}" | median)/s, p99 $(printf '%s\n' "${probe_p99[@]}" | median) us"
        [ ${#ref_rates[@]} -eq 0 ] || line+=" the reference $(printf '%s\n' "${ref_rates[@]}" | median)/s, p99 $(printf '%s\n' "${ref_p99[@]}" | median) us"
        return
    fi
    local pr pp rr rp tr lr
    pr=$(printf '%s\n' "${probe_rates[@]}" | median) pp=$(printf '%s\n' "${probe_p99[@]}" | median)
    rr=$(printf '%s\n' "${ref_rates[@]}" | median) rp=$(printf '%s\n' "${ref_p99[@]}" | median)
    tr=$(ratio "$pr" "$rr") lr=$(ratio "$pp" "$rp")
    line=$(printf '%s: throughput %s/s vs the reference %s/s: %s x (goal >= 0.85, %s); p99 %s us vs %s us: %s x (goal <= 1.50, %s)' \
        "$label" "$pr" "$rr" "$tr" "$(verdict "$tr" '>=' 0.85)" "$pp" "$rp" "$lr" "$(verdict "$lr" '<=' 1.5)")
    [ ${#probe_rates[@]} -eq "$rounds" ] && [ ${#ref_rates[@]} -eq "$rounds" ] ||
        line+=$(printf ' [%d and %d of %d rounds]' ${#probe_rates[@]} ${#ref_rates[@]} "$rounds")
}

results=()

echo "(a) 1, 4 and 16 synchronous senders at once: $rounds alternating rounds of $count messages of $size bytes each ..."
probe_port= ref_port=
if start_probe $'[Receive]\nSenders=Several\nMaxSenders=20'; then probe_port=$port probe_pid=$pid; fi
if start_reference --epoll --poll-us 30 --log "$work/reference-log.txt"; then ref_port=$port ref_pid=$pid; fi
for n in 1 4 16; do
    measure "$n sender(s)" --connections "$n"
    results+=("$line")
done
kill ${probe_pid:-} ${ref_pid:-} 2>/dev/null || true

echo "(b) one synchronous sender over TLS: $rounds alternating rounds of $count messages of $size bytes ..."
probe_port= ref_port= probe_pid= ref_pid=
if start_probe "$(printf '%s\n' "[TLS]" "Certificate=$tls/server.pem" "Key=$tls/server.key")"; then
    probe_port=$port probe_pid=$pid
fi
if start_reference --tls "$tls/server.pem" "$tls/server.key" --poll-us 30 --log "$work/tls-reference-log.txt"; then
    ref_port=$port ref_pid=$pid
fi
measure "1 sender over TLS" --tls "$tls/ca.pem"
results+=("$line")
kill ${probe_pid:-} ${ref_pid:-} 2>/dev/null || true

echo
echo "=== the headless AckmereProbe against the reference responders (this run, medians) ==="
echo "(a) senders in parallel, against the epoll reference that polls 30 us and logs each arrival:"
printf '   %s\n' "${results[@]:0:3}"
echo "(b) MLLP over TLS, against the TLS reference that polls 30 us and logs each arrival:"
printf '   %s\n' "${results[3]}"
