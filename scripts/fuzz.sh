#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer)
# in their own build directory and runs each for a bounded time. Fails on a crash,
# a sanitizer report, a failed check, a slow input or a memory blow-up; the input
# that did it is left in <build>/artifacts/.
#   scripts/fuzz.sh              60 seconds per target
#   scripts/fuzz.sh 300          300 seconds per target
# Environment: VEXA_FUZZ_BUILD (build directory, default <repo>/build-fuzz),
#              VEXA_FUZZ_JOBS (parallel compile jobs, default: number of cores).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=${VEXA_FUZZ_BUILD:-$root/build-fuzz}
jobs=${VEXA_FUZZ_JOBS:-$(nproc)}
cc=$(command -v clang-14 || command -v clang)
cxx=$(command -v clang++-14 || command -v clang++)

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
  -DVEXA_BUILD_FUZZERS=ON -DVEXA_BUILD_TESTS=OFF -DVEXA_BUILD_BENCHMARKS=OFF -DVEXA_BUILD_EXAMPLES=OFF \
  -DVEXA_LLAMA_DIR= >/dev/null

targets=(output_parser)
# shellcheck disable=SC2046
cmake --build "$build" -j "$jobs" --target $(printf 'vexa_%s_fuzz ' "${targets[@]}")

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$build/artifacts"
for t in "${targets[@]}"; do
  # New inputs go to a working corpus in the build directory; the seeds in the
  # repository stay as they are.
  work="$build/corpus/$t"
  mkdir -p "$work"
  dict=()
  [ -f "$root/fuzz/$t.dict" ] && dict=(-dict="$root/fuzz/$t.dict")
  echo "fuzzing $t for ${seconds}s"
  "$build/fuzz/vexa_${t}_fuzz" "$work" "$root/fuzz/corpus/$t" "${dict[@]}" \
    -max_total_time="$seconds" -max_len=16384 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/artifacts/$t-" -print_final_stats=1
done
echo "fuzzing passed"
