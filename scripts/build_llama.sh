#!/usr/bin/env bash
# Builds the pinned llama.cpp (CPU only, static, Release) into a per-user cache and
# installs headers, static libraries, llama-server and llama-bench under one prefix.
#
#   scripts/build_llama.sh                 build if needed, report where it lives
#   scripts/build_llama.sh --print-prefix  build if needed, print ONLY the prefix on stdout
#   scripts/build_llama.sh --rebuild       throw the cached build away and build again
#
# The source comes from the npm package node-llama-cpp, which carries the llama.cpp tree
# it was released with as a git bundle. The package is only downloaded and unpacked:
# none of its install scripts run and none of its prebuilt binaries are used.
#
# Environment:
#   VEXA_CACHE_DIR      cache root (default ~/.cache/vexa_core)
#   VEXA_LLAMA_NATIVE   ON (default): tune for this CPU (-march=native). The cache lives on
#                       the machine that uses it, and the runtime is benchmarked against
#                       llama.cpp's own tools built the same way. OFF: portable x86-64/arm64
#                       baseline, for a build that is shipped to other machines.
#   VEXA_LLAMA_JOBS     parallel compile jobs (default: number of CPUs)
set -euo pipefail

pinned_pkg="node-llama-cpp"
pinned_version="3.21.1"

print_prefix=0
rebuild=0
for arg in "$@"; do
  case "$arg" in
    --print-prefix) print_prefix=1 ;;
    --rebuild) rebuild=1 ;;
    -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
    *) echo "usage: $0 [--print-prefix] [--rebuild]" >&2; exit 2 ;;
  esac
done

# All chatter goes to stderr so that --print-prefix can be captured with $(...).
exec 3>&1 1>&2

native=${VEXA_LLAMA_NATIVE:-ON}
case "$native" in ON|on|1|true) native=ON; variant=native ;; *) native=OFF; variant=portable ;; esac

cache_root=${VEXA_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/vexa_core}
base="$cache_root/llama.cpp-$pinned_pkg-$pinned_version"
src="$base/src"
build="$base/build-$variant"
prefix="$base/install-$variant"
stamp="$prefix/.vexa-build-complete"

# The stamp records what the prefix was built from; a change in it means rebuild.
want_stamp="$pinned_pkg@$pinned_version native=$native"

done_already() {
  [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want_stamp" ] &&
    [ -f "$prefix/include/llama.h" ] && [ -x "$prefix/bin/llama-server" ] && [ -x "$prefix/bin/llama-bench" ]
}

finish() {
  if [ "$print_prefix" -eq 1 ]; then
    printf '%s\n' "$prefix" >&3
  else
    echo "llama.cpp ($pinned_pkg@$pinned_version, $variant) installed in $prefix"
  fi
  exit 0
}

if [ "$rebuild" -eq 0 ] && done_already; then
  finish
fi

mkdir -p "$base"
# Several builds (plain, sanitizers, CI jobs) may ask at once; only one builds.
exec 9>"$base/.lock"
if command -v flock >/dev/null 2>&1; then
  echo "build_llama: waiting for the cache lock ($base/.lock)"
  flock 9
fi
if [ "$rebuild" -eq 0 ] && done_already; then
  finish
fi
if [ "$rebuild" -eq 1 ]; then
  rm -rf "$build" "$prefix"
fi

for tool in npm git cmake tar; do
  command -v "$tool" >/dev/null 2>&1 || { echo "build_llama: '$tool' is required (run scripts/install_deps.sh)"; exit 1; }
done

# 1. Source: the git bundle inside the npm package, cloned once.
if [ ! -f "$src/CMakeLists.txt" ] || [ ! -f "$src/include/llama.h" ]; then
  rm -rf "$src" "$base/npm"
  mkdir -p "$base/npm"
  echo "build_llama: fetching $pinned_pkg@$pinned_version with npm"
  (cd "$base/npm" && npm pack --silent --ignore-scripts "$pinned_pkg@$pinned_version" >/dev/null)
  tarball=$(ls "$base/npm"/*.tgz | head -n1)
  tar -xzf "$tarball" -C "$base/npm" package/llama/gitRelease.bundle
  echo "build_llama: cloning the llama.cpp bundle"
  rm -rf "$src.tmp"
  git -c advice.detachedHead=false clone --quiet "$base/npm/package/llama/gitRelease.bundle" "$src.tmp"
  mv "$src.tmp" "$src"
  rm -rf "$base/npm"
fi

# 2. Configure: CPU backend only, static, position independent (it ends up inside a
#    shared library), no network code (no curl/OpenSSL, no downloaded web UI), and
#    ggml's own thread pool instead of OpenMP so thread sanitizer runs stay meaningful.
jobs=${VEXA_LLAMA_JOBS:-$(nproc 2>/dev/null || echo 2)}
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

echo "build_llama: configuring ($variant) in $build"
cmake -S "$src" -B "$build" "${generator[@]}" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
  -DBUILD_SHARED_LIBS=OFF \
  -DGGML_NATIVE="$native" \
  -DGGML_OPENMP=OFF \
  -DGGML_BACKEND_DL=OFF \
  -DGGML_CUDA=OFF -DGGML_VULKAN=OFF -DGGML_METAL=OFF -DGGML_RPC=OFF \
  -DLLAMA_BUILD_TESTS=OFF \
  -DLLAMA_BUILD_EXAMPLES=OFF \
  -DLLAMA_BUILD_APP=OFF \
  -DLLAMA_BUILD_TOOLS=ON \
  -DLLAMA_BUILD_SERVER=ON \
  -DLLAMA_BUILD_UI=OFF \
  -DLLAMA_USE_PREBUILT_UI=OFF \
  -DLLAMA_OPENSSL=OFF \
  -DLLAMA_TOOLS_INSTALL=OFF \
  -DLLAMA_ALL_WARNINGS=OFF \
  -Wno-dev >/dev/null

# 3. Build only what is used: the libraries and the two reference programs.
echo "build_llama: building llama, ggml, llama-server, llama-bench with $jobs jobs (this takes a while)"
cmake --build "$build" -j "$jobs" --target llama ggml llama-server llama-bench

# 4. Install by hand: cmake --install would want every tool target built.
rm -rf "$prefix"
mkdir -p "$prefix/include" "$prefix/lib" "$prefix/bin"
cp "$src/include/llama.h" "$src/include/llama-cpp.h" "$prefix/include/"
cp "$src"/ggml/include/*.h "$prefix/include/"
find "$build" -name '*.a' \( -name 'libllama.a' -o -name 'libggml*.a' \) -exec cp {} "$prefix/lib/" \;
cp "$build/bin/llama-server" "$build/bin/llama-bench" "$prefix/bin/"
printf '%s\n' "$want_stamp" > "$stamp"
finish
