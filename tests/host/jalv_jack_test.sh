#!/usr/bin/env bash
# Runs the LV2 build in jalv against a JACK dummy server, the way a user runs it live: a click
# track goes in, the plug-in's output is recorded, and the recording must carry the clicks.
# Usage: jalv_jack_test.sh LV2_BUNDLE_DIR PLUGIN_URI
set -u
bundles=$1
uri=$2

work=$(mktemp -d /tmp/orvex-jalv-XXXXXX)
# One fixed server name: JACK keeps a small registry of servers, and names that change with
# every run would fill it up whenever a run ends abnormally.
export JACK_DEFAULT_SERVER="orvex-test"
export LV2_PATH="$bundles"
export HOME="$work"   # no user state, no installed copies

pids=()
cleanup() {
  exec 3>&-
  # Clients first, the server last, each given time to leave cleanly.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    p=${pids[$i]}
    kill "$p" 2>/dev/null || continue
    for _ in $(seq 30); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$p" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAILED: $*"; for f in "$work"/*.log; do echo "--- $f"; cat "$f"; done; exit 1; }

jackd -n "$JACK_DEFAULT_SERVER" --no-realtime -d dummy -r 44100 -p 512 > "$work/jackd.log" 2>&1 &
pids+=($!)
timeout 10 jack_wait -w > /dev/null 2>&1 || fail "the JACK dummy server did not start"

# jalv reads commands from stdin; a FIFO held open by this script keeps it running.
mkfifo "$work/jalv.in"
jalv -n orvex "$uri" < "$work/jalv.in" > "$work/jalv.log" 2>&1 &
pids+=($!)
exec 3> "$work/jalv.in"

for _ in $(seq 50); do
  jack_lsp 2>/dev/null | grep -q '^orvex:audio_out_2$' && break
  sleep 0.2
done
jack_lsp | grep -q '^orvex:audio_out_2$' || fail "jalv did not create the plug-in's ports"
echo "ok: jalv loaded $uri; ports:"; jack_lsp | grep '^orvex:' | sed 's/^/    /'

jack_metro -n click -b 240 -f 880 -D 20 > "$work/metro.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do jack_lsp 2>/dev/null | grep -q '^click:' && break; sleep 0.1; done
click_port=$(jack_lsp | grep '^click:' | head -n 1)
[ -n "$click_port" ] || fail "no click source"
jack_connect "$click_port" orvex:audio_in_1 || fail "cannot connect the click to the plug-in"
jack_connect "$click_port" orvex:audio_in_2 || fail "cannot connect the click to the plug-in"

jack_rec -f "$work/out.wav" -d 3 orvex:audio_out_1 orvex:audio_out_2 > "$work/rec.log" 2>&1 \
  || fail "recording the plug-in's output failed"
kill -0 "${pids[1]}" 2>/dev/null || fail "jalv exited while processing"

/usr/bin/python3 - "$work/out.wav" <<'PY' || fail "the plug-in's output does not carry the input"
import sys
import numpy as np
from scipy.io import wavfile
rate, data = wavfile.read(sys.argv[1])
data = data.astype(np.float64)
if data.dtype.kind == "i" or np.abs(data).max() > 2:
    data /= 32768.0
peak = np.abs(data).max(axis=0)
print(f"ok: recorded {data.shape[0] / rate:.2f} s from jalv, peak per channel {peak}")
assert data.shape[0] > rate and (peak > 0.05).all() and np.isfinite(data).all()
PY
echo "ok: jalv processed audio through the plug-in"
