# Sourced by the build scripts: when ccache is installed, compiles go through
# it, keyed on paths relative to the repository root, so a fresh clone in
# another folder (CI) reuses what earlier builds on this machine compiled.
# Without ccache nothing changes.
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
  export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
  export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
  export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-10G}
fi
