#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer)
# in their own build directory and runs each for a bounded time. Fails on a crash,
# a sanitizer report, a failed check, a slow input or a memory blow-up; the input
# that did it is left in <build>/artifacts/.
#   scripts/fuzz.sh              60 seconds per target
#   scripts/fuzz.sh 300          300 seconds per target
#   scripts/fuzz.sh 300 sse_stream   only the named targets
# Environment: VEXA_FUZZ_BUILD (build directory, default <repo>/build-fuzz),
#              VEXA_FUZZ_JOBS (parallel compile jobs, default: number of cores).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/compiler_cache.sh"
seconds=${1:-60}
[ $# -gt 0 ] && shift
build=${VEXA_FUZZ_BUILD:-$root/build-fuzz}
jobs=${VEXA_FUZZ_JOBS:-$(nproc)}
cc=$(command -v clang-14 || command -v clang)
cxx=$(command -v clang++-14 || command -v clang++)

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
  -DVEXA_BUILD_FUZZERS=ON -DVEXA_BUILD_TESTS=OFF -DVEXA_BUILD_BENCHMARKS=OFF -DVEXA_BUILD_EXAMPLES=OFF \
  -DVEXA_LLAMA_DIR= >/dev/null

# Every target with the longest input it is given: the stream session needs
# room for a body of many events, the JSON readers find their bugs in short
# documents.
targets=(
  output_parser:16384
  sse_stream:65536
  chat_message:16384
  session_file:16384
  records:16384
  agent_config:8192
  ensure_utf8:4096
  redaction:16384
  tool_schema:16384
  skill_content:16384
  knowledge:16384
  models:16384
  plan:16384
  commands:4096
)
if [ $# -gt 0 ]; then
  chosen=()
  for name in "$@"; do
    found=
    for entry in "${targets[@]}"; do
      [ "${entry%%:*}" = "$name" ] && chosen+=("$entry") && found=1
    done
    [ -n "$found" ] || { echo "no fuzz target named $name" >&2; exit 2; }
  done
  targets=("${chosen[@]}")
fi
# shellcheck disable=SC2046
cmake --build "$build" -j "$jobs" --target $(printf 'vexa_%s_fuzz ' "${targets[@]%%:*}")

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$build/artifacts"
for entry in "${targets[@]}"; do
  t=${entry%%:*}
  max_len=${entry##*:}
  # New inputs go to a working corpus in the build directory; the seeds in the
  # repository stay as they are.
  work="$build/corpus/$t"
  mkdir -p "$work"
  dict=()
  [ -f "$root/fuzz/$t.dict" ] && dict=(-dict="$root/fuzz/$t.dict")
  echo "fuzzing $t for ${seconds}s"
  "$build/fuzz/vexa_${t}_fuzz" "$work" "$root/fuzz/corpus/$t" "${dict[@]}" \
    -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/artifacts/$t-" -print_final_stats=1
done
echo "fuzzing passed"
