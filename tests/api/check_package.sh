#!/bin/sh
# Installs the library into a scratch prefix, then builds two small hosts
# against the installed tree only: one through find_package(vexa_core), one
# through pkg-config. Both must compile, link and run.
#   check_package.sh <build dir> <consumer source dir> <work dir> <cmake> <generator> <cc> <c++>
set -eu
build=$1
consumer=$2
work=$3
cmake=$4
generator=$5
cc=$6
cxx=$7

rm -rf "$work"
mkdir -p "$work/base"
prefix="$work/prefix"

"$cmake" --install "$build" --prefix "$prefix" > "$work/install.log"
for header in vexa_core.h core_session.hpp; do
    test -f "$prefix/include/vexa_core/$header" || { echo "not installed: $header"; exit 1; }
done
extra=$(cd "$prefix/include" && find . -type f ! -name vexa_core.h ! -name core_session.hpp)
if [ -n "$extra" ]; then
    echo "unexpected installed headers: $extra"
    exit 1
fi

echo "== find_package"
"$cmake" -S "$consumer" -B "$work/cmake-build" -G "$generator" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" > "$work/configure.log"
"$cmake" --build "$work/cmake-build" > "$work/build.log"
"$work/cmake-build/consumer_c" "$work/base"
"$work/cmake-build/consumer_cpp" "$work/base"

echo "== pkg-config"
pcdir=$(dirname "$(find "$prefix" -name vexa_core.pc | head -n 1)")
flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs vexa_core)
echo "flags: $flags"
libdir=$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=libdir vexa_core)
# shellcheck disable=SC2086
"$cc" -std=c99 -Wall -Wextra -pedantic -Werror "$consumer/main.c" -o "$work/pc_consumer_c" $flags
# shellcheck disable=SC2086
"$cxx" -std=c++17 -Wall -Wextra -pedantic -Werror "$consumer/main.cpp" -o "$work/pc_consumer_cpp" $flags
LD_LIBRARY_PATH="$libdir" "$work/pc_consumer_c" "$work/base"
LD_LIBRARY_PATH="$libdir" "$work/pc_consumer_cpp" "$work/base"

echo "== version"
# The header, the pkg-config file, the CMake package and the library file name
# carry one version.
header_version=$(sed -n 's/^#define VEXA_CORE_VERSION_STRING "\(.*\)"$/\1/p' "$prefix/include/vexa_core/vexa_core.h")
pc_version=$(PKG_CONFIG_PATH="$pcdir" pkg-config --modversion vexa_core)
cmake_version=$(sed -n 's/^-- vexa_core version: //p' "$work/configure.log")
echo "header $header_version, pkg-config $pc_version, CMake package $cmake_version"
[ -n "$header_version" ] && [ "$header_version" = "$pc_version" ] && [ "$header_version" = "$cmake_version" ] || {
    echo "version mismatch"; exit 1; }
test -e "$libdir/libvexa_core.so.$header_version" || { echo "no libvexa_core.so.$header_version"; exit 1; }
echo "package ok"
