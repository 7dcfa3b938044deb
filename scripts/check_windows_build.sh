#!/usr/bin/env bash
# Cross-compiles the Windows DLL with MinGW-w64 (Win32 seams: WinHTTP, code
# pages, debugger output, module path) warnings-as-errors, and checks that it
# exports the 32 C functions and CoreSession and nothing else.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-windows"
pkg=g++-mingw-w64-x86-64-posix
if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "$pkg"
fi
"$root/scripts/install_deps.sh"

# nlohmann/json is header-only: stage the host's copy for the target, without
# putting /usr/include (glibc's headers) on the cross compiler's path.
prefix="$build/prefix"
mkdir -p "$prefix/include" "$prefix/share/cmake"
rm -rf "$prefix/include/nlohmann" "$prefix/share/cmake/nlohmann_json"
cp -r /usr/include/nlohmann "$prefix/include/"
cp -r /usr/share/cmake/nlohmann_json "$prefix/share/cmake/"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DVEXA_CROSS_PREFIX="$prefix" \
  -DCMAKE_CXX_FLAGS=-Werror -DCMAKE_C_FLAGS=-Werror \
  -DVEXA_BUILD_TESTS=OFF -DVEXA_BUILD_BENCHMARKS=OFF -DVEXA_BUILD_EXAMPLES=OFF
cmake --build "$build" -j "$(nproc)"

dll="$build/vexa_core.dll"
exports=$(x86_64-w64-mingw32-objdump -p "$dll" | awk '/\[Ordinal\/Name Pointer\] Table/{on=1; next} on && NF==0{on=0} on{print $NF}')
c_count=$(grep -c '^vexa_core_' <<<"$exports" || true)
stray=$(grep -v -e '^vexa_core_' -e '^_ZN9vexa_core11CoreSession' -e '^_ZNK9vexa_core11CoreSession' <<<"$exports" || true)
if [ "$c_count" -ne 32 ] || [ -n "$stray" ]; then
  echo "vexa_core.dll exports $c_count C functions; unexpected exports:" >&2
  echo "$stray" >&2
  exit 1
fi
echo "windows build: vexa_core.dll exports the 32 C functions and CoreSession only"
