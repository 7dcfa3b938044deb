#!/usr/bin/env bash
# Builds the library and starts the demo host (vexa-chat) with the repository
# root as its base directory: config/agent_config.json configures it, sessions
# go to data/ (both ignored by git).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/compiler_cache.sh"
"$root/scripts/install_deps.sh"
llama_dir=""
if [ -x "$root/scripts/build_llama.sh" ]; then
  llama_dir=$("$root/scripts/build_llama.sh" --print-prefix)
fi
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXA_LLAMA_DIR="$llama_dir" >/dev/null
cmake --build "$root/build" -j "$(nproc)" --target vexa-chat vexa-smoke
if [ -x "$root/build/examples/vexa-chat" ]; then
  exec "$root/build/examples/vexa-chat" --base-dir "$root" "$@"
fi
exec "$root/build/examples/vexa-smoke" "$root"
