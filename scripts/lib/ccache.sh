# Sourced by the build scripts: compile through ccache when it is installed. Paths are hashed
# relative to the repository, so a fresh clone elsewhere reuses what an earlier clone compiled.
# Sets `launcher` to the CMake arguments that turn it on (empty without ccache).
launcher=()
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=true
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
