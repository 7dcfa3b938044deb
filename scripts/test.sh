#!/usr/bin/env bash
# Builds the library and runs the whole test suite.
#   scripts/test.sh            plain build (with local inference)
#   scripts/test.sh --asan     AddressSanitizer + UndefinedBehaviorSanitizer
#   scripts/test.sh --tsan     ThreadSanitizer, threading tests only
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/compiler_cache.sh"
mode=${1:-plain}
"$root/scripts/install_deps.sh"
llama_dir=""
if [ -x "$root/scripts/build_llama.sh" ]; then
  llama_dir=$("$root/scripts/build_llama.sh" --print-prefix)
fi
jobs=$(nproc)
case "$mode" in
  plain)  build="$root/build"; extra=(); label="" ;;
  --asan) build="$root/build-asan"; extra=(-DVEXA_SANITIZE=address,undefined -DVEXA_BUILD_BENCHMARKS=OFF -DVEXA_BUILD_EXAMPLES=OFF); label="" ;;
  --tsan) build="$root/build-tsan"; extra=(-DVEXA_SANITIZE=thread -DVEXA_BUILD_BENCHMARKS=OFF -DVEXA_BUILD_EXAMPLES=OFF); label="threading" ;;
  *) echo "usage: $0 [--asan|--tsan]" >&2; exit 2 ;;
esac
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXA_LLAMA_DIR="$llama_dir" "${extra[@]}"
cmake --build "$build" -j "$jobs"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
if [ -n "$label" ]; then
  ctest --test-dir "$build" --output-on-failure -j "$jobs" -R "$label|Thread|Concurren|Cancel"
else
  ctest --test-dir "$build" --output-on-failure -j "$jobs"
fi
