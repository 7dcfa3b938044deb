#!/usr/bin/env bash
# Stream throughput of the library against the official Node.js client library
# of the chat-completions protocol, in one run on the same loopback stream:
# both consume an N-event stream served by the peer kit's fast_sse_server.py;
# runs alternate (peer, ours, peer, ours, ...) so drift hits both alike.
#
#   bench/stream_vs_peer.sh [BUILD_DIR] [EVENTS] [RUNS]
#
# BUILD_DIR holds bench/vexa_stream_turn (default: build); with BASELINE_BUILD
# set to another build directory, that build's turns run in the same rounds
# too (e.g. the library before a change). The peer kit
# (make_stream.py, fast_sse_server.py, peer_stream.mjs, package.json) is taken
# from $STREAM_PEER_DIR (default: ../shared/bench/stream-peer beside the
# repository); the peer is installed once with npm.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
n=${2:-100000}
runs=${3:-5}
peer_dir=${STREAM_PEER_DIR:-$root/../shared/bench/stream-peer}
ours=$build/bench/vexa_stream_turn
[ -x "$ours" ] || { echo "no $ours: build the target vexa_stream_turn first" >&2; exit 1; }
baseline=
if [ -n "${BASELINE_BUILD:-}" ]; then
    baseline=$BASELINE_BUILD/bench/vexa_stream_turn
    [ -x "$baseline" ] || { echo "no $baseline" >&2; exit 1; }
fi
for f in make_stream.py fast_sse_server.py peer_stream.mjs package.json; do
    [ -f "$peer_dir/$f" ] || { echo "no $peer_dir/$f (set STREAM_PEER_DIR)" >&2; exit 1; }
done

work=${TMPDIR:-/tmp}/vexa-stream-peer
mkdir -p "$work"
if [ ! -d "$work/node_modules/openai" ]; then
    cp "$peer_dir/package.json" "$work/"
    (cd "$work" && npm install --no-audit --no-fund >/dev/null)
fi
cp "$peer_dir/peer_stream.mjs" "$work/"
script=$work/stream_$n.json
[ -f "$script" ] || python3 "$peer_dir/make_stream.py" "$n" "$script" >/dev/null

portfile=$(mktemp)
python3 "$peer_dir/fast_sse_server.py" "$script" 3600 >"$portfile" &
server=$!
trap 'kill "$server" 2>/dev/null || true; rm -f "$portfile"' EXIT
for _ in $(seq 50); do [ -s "$portfile" ] && break; sleep 0.1; done
port=$(head -1 "$portfile")
[ -n "$port" ] || { echo "the server did not start" >&2; exit 1; }

results=$(mktemp)
echo "stream: $n content events, ~$(($(stat -c %s "$script") / n)) script bytes/event, server port $port"
for i in $(seq "$runs"); do
    peer=$(cd "$work" && node peer_stream.mjs "$port")
    echo "peer $i: $peer"
    echo "peer $peer" >>"$results"
    own=$("$ours" "$port" 1)
    echo "ours $i: $own"
    echo "ours $own" >>"$results"
    if [ -n "$baseline" ]; then
        base=$("$baseline" "$port" 1)
        echo "baseline $i: $base"
        echo "baseline $base" >>"$results"
    fi
done
python3 - "$results" <<'PY'
import json, statistics, sys
rates = {}
for line in open(sys.argv[1]):
    who, text = line.split(" ", 1)
    rates.setdefault(who, []).append(json.loads(text)["events_per_s"])
median = {who: statistics.median(values) for who, values in rates.items()}
print("median events/s: " + ", ".join(f"{who} {value:,.0f}" for who, value in median.items()))
print(f"ratio ours/peer {median['ours'] / median['peer']:.2f}")
if "baseline" in median:
    print(f"ratio baseline/peer {median['baseline'] / median['peer']:.2f}, ours/baseline {median['ours'] / median['baseline']:.2f}")
PY
rm -f "$results"
