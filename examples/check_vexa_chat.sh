#!/usr/bin/env bash
# Drives the demo host as a user would, on a fresh base directory (so it falls
# back to the generated tiny model): a question typed on stdin, an answer
# streamed, /exit. Then two very long messages, which together no longer fit
# the model's context: the second turn must still be answered, with the
# oldest turn left out and a notice saying so.
# Usage: check_vexa_chat.sh VEXA_CHAT WORK_DIR
set -euo pipefail
chat=$1 work=$2
rm -rf "$work"
mkdir -p "$work/base"

fail() { echo "FAILED: $1" >&2; echo "--- stdout"; cat "$work/out.txt"; echo "--- stderr"; tail -20 "$work/err.txt"; exit 1; }
red=$'\x1b[31m'

printf 'What is the capital of France?\n/exit\n' | "$chat" --base-dir "$work/base" > "$work/out.txt" 2> "$work/err.txt" ||
  fail "exit status $?"
grep -q 'tiny built-in model' "$work/out.txt" || fail "the demo did not start on the tiny model"
grep -q 'vexa-chat — model vexa-tiny-random' "$work/out.txt" || fail "no start-up banner"
if grep -qF "$red" "$work/out.txt"; then fail "an error was shown"; fi
# The answer is what stands between the question's prompt and the next one.
answer=$(awk '/^> /{n++} n==1' "$work/out.txt" | sed '1s/^> //' | tr -d '\n[:space:]')
[ -n "$answer" ] || fail "no answer was streamed"
[ "$(ls "$work/base/data/conversations" | grep -c '\.json$')" -ge 1 ] || fail "the session was not saved"

long=$(head -c 9000 /dev/zero | tr '\0' 'a' | sed 's/a\{12\}/lorem ipsum /g')
{ echo "first: $long"; echo "second: $long"; echo /exit; } |
  "$chat" --base-dir "$work/base" > "$work/out.txt" 2> "$work/err.txt" || fail "exit status $?"
if grep -qF "$red" "$work/out.txt"; then fail "an error was shown for the long turns"; fi
grep -q 'its oldest turn was left out of this request' "$work/out.txt" || fail "no notice that the oldest turn was left out"
echo "vexa-chat answered; long history trimmed"
