#!/usr/bin/env bash
# A correlating sender (npm's @medplum/hl7, sendAndWait) against the headless
# probe with the Standard ACK texts and one rule, {MSH-9.1} = ADT -> AE: the
# ADT messages must come back AE, the others AA, each with its own control ID.
#   bench/peers/medplum-rules.sh [path/to/AckmereProbe]   (needs node 20 and npm: @medplum/hl7 4.5.2; version 5 needs a WebSocket of node 22)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
probe=${1:-$here/../../build/AckmereProbe}
work=$(mktemp -d); trap 'pkill -INT -f "settings-dir $work" || true; rm -rf "$work"' EXIT
(cd "$work" && npm init -y >/dev/null && npm install --silent @medplum/hl7@4.5.2 @medplum/core@4.5.2 >/dev/null)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '[RemoteIP]\r\n0.0.0.0\r\n\r\n[Port]\r\n%s\r\n\r\n[AutoStart]\r\nOn\r\n\r\n[ExitWarning]\r\nFalse\r\n\r\n' "$port" > "$work/ackprobe.ini"
printf '[MSH before date]\r\n|^~\\&|{MSH-5}|{MSH-6}|{MSH-3}|{MSH-4}|\r\n\r\n' >> "$work/ackprobe.ini"
printf '[MSH after date]\r\n||ACK^{MSH-9.2}^ACK|{MSH-10}|{MSH-11}|{MSH-12}||||||{MSH-18}\r\n\r\n' >> "$work/ackprobe.ini"
printf '[MSA Segment]\r\n|AA|{MSH-10}\r\n\r\n[Logfile Location]\r\n%s/log.txt\r\n' "$work" >> "$work/ackprobe.ini"
echo '{MSH-9.1} = ADT -> AE' > "$work/ackprobe-rules.txt"
"$probe" --headless --verbose --settings-dir "$work" > "$work/verbose.txt" 2> "$work/said.txt" &
until grep -q Listening "$work/said.txt"; do kill -0 $! 2>/dev/null || { cat "$work/said.txt"; exit 1; }; sleep 0.1; done
cp "$here/medplum-peer.js" "$work/" && (cd "$work" && node medplum-peer.js "$port")
echo "--- the probe's --verbose lines:"; sleep 0.3; cat "$work/verbose.txt"
