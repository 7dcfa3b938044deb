#!/bin/sh
# Compiles the C# binding with its test program and runs it under mono.
# Usage: run_tests.sh MCS MONO LIBRARY_DIR SCRIPTED_SERVER WORK_DIR [TEST_FILTER]
set -eu
mcs=$1 mono=$2 libdir=$3 server=$4 work=$5
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work"
"$mcs" -langversion:7 -warn:4 -warnaserror -r:System.Core.dll -out:"$work/VexaCoreTests.exe" \
  "$here/../VexaCore.Native.cs" "$here/../VexaCore.cs" "$here/VexaCoreTests.cs"
LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" VEXA_SCRIPTED_SERVER="$server" \
  exec "$mono" --debug "$work/VexaCoreTests.exe" ${6:+"$6"}
