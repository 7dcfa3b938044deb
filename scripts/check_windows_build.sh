#!/usr/bin/env bash
# Cross-compiles the Windows DLL with MinGW-w64 (Win32 seams: WinHTTP, code
# pages, debugger output, module path) warnings-as-errors, checks that it
# exports the 32 C functions and CoreSession and nothing else, and runs the C
# interface tests and whole turns over WinHTTP against it under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/compiler_cache.sh"
build="$root/build-windows"
missing=()
for pkg in g++-mingw-w64-x86-64-posix wine64; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
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

# The C interface tests, as a Windows program beside the DLL and its runtime.
run_dir="$build/c_api_test"
rm -rf "$run_dir"
mkdir -p "$run_dir"
cp "$dll" "$run_dir/"
for runtime in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
  cp "$(x86_64-w64-mingw32-g++-posix -print-file-name="$runtime")" "$run_dir/"
done
x86_64-w64-mingw32-gcc-posix -std=c99 -Wall -Wextra -Werror -I"$root/include" "$root/tests/api/c_api_test.c" \
  "$build/vexa_core.dll.a" -o "$run_dir/c_api_test.exe"
x86_64-w64-mingw32-gcc-posix -std=c99 -Wall -Wextra -Werror -I"$root/include" \
  "$root/tests/llm/windows/winhttp_turn_test.c" "$build/vexa_core.dll.a" -o "$run_dir/winhttp_turn_test.exe"
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
export WINEDEBUG=-all WINEPREFIX="$build/wine"
(cd "$run_dir" && timeout 600 "$wine" c_api_test.exe work)

# Turns against a loopback server; a second port with nobody listening.
rm -f "$run_dir/port"
python3 "$root/tests/llm/windows/sse_server.py" "$run_dir/port" &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$run_dir/port" ] && break; sleep 0.1; done
free_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
(cd "$run_dir" && timeout 300 "$wine" winhttp_turn_test.exe "$(cat "$run_dir/port")" "$free_port")
