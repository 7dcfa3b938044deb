#!/usr/bin/env bash
# Runs one stream-turn example against the scripted server: the model first
# calls the clock tool, then answers. The example must show the tool call and
# the streamed answer, and the tool's result must reach the model.
# Usage: check_example.sh SCRIPTED_SERVER WORK_DIR COMMAND [ARGS...]
set -euo pipefail
server=$1 work=$2
shift 2
rm -rf "$work"
mkdir -p "$work/base"
cat > "$work/script.json" <<'JSON'
{"responses": [
  {"sse": ["{\"choices\":[{\"index\":0,\"delta\":{\"tool_calls\":[{\"index\":0,\"id\":\"call_1\",\"type\":\"function\",\"function\":{\"name\":\"clock\",\"arguments\":\"{}\"}}]}}]}",
           "{\"choices\":[{\"index\":0,\"delta\":{},\"finish_reason\":\"tool_calls\"}]}"]},
  {"sse": ["{\"choices\":[{\"index\":0,\"delta\":{\"content\":\"It is noon \"}}]}",
           "{\"choices\":[{\"index\":0,\"delta\":{\"content\":\"somewhere.\"}}]}",
           "{\"choices\":[{\"index\":0,\"delta\":{},\"finish_reason\":\"stop\"}]}"]}
]}
JSON

coproc SERVER { exec "$server" "$work/script.json" --requests "$work/requests.json"; }
server_pid=$SERVER_PID
read -r word port <&"${SERVER[0]}"
[ "$word" = PORT ] || { echo "scripted server did not start" >&2; exit 1; }

status=0
VEXA_BASE_DIR="$work/base" VEXA_BASE_URL="http://127.0.0.1:$port/v1" VEXA_MODEL=example-model \
  VEXA_API_KEY=example-key VEXA_PROMPT="What time is it?" \
  "$@" > "$work/out.txt" 2> "$work/err.txt" || status=$?
eval "exec ${SERVER[1]}>&-"   # end of stdin stops the server
wait "$server_pid"

fail() { echo "FAILED: $1" >&2; echo "--- stdout"; cat "$work/out.txt"; echo "--- stderr"; tail -20 "$work/err.txt"; exit 1; }
[ "$status" -eq 0 ] || fail "exit status $status"
grep -q '^\[tool\] clock' "$work/out.txt" || fail "no tool call shown"
grep -q 'It is noon somewhere\.' "$work/out.txt" || fail "no streamed answer"
[ "$(grep -c '"method"' "$work/requests.json")" -eq 2 ] || fail "expected two model requests"
grep -q 'utc' "$work/requests.json" || fail "the tool result did not reach the model"
cat "$work/out.txt"
