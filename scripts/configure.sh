#!/usr/bin/env bash
# Installs what is missing, builds (or reuses) the dependency cache, configures and builds the
# tree in $QM_BUILD_DIR (default build/). Shared by test.sh, bench.sh and run.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QM_BUILD_DIR:-$root/build}
"$root/scripts/install-packages.sh"
prefix=$("$root/scripts/build-deps.sh" | tail -n1)
mkdir -p "$build"
# QM_FOLDERS="common;audio": configure only those folders (a subsystem's developer, say).
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw32.cmake" \
  -DQM_DEPS_PREFIX="$prefix" -DQM_ONLY_FOLDERS="${QM_FOLDERS:-}" >"$build/configure.log" 2>&1 || { cat "$build/configure.log" >&2; exit 1; }
# QM_BUILD_TARGETS="a b": build only those targets (a developer working on one subsystem).
targets=()
for t in ${QM_BUILD_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$build" -j"$(nproc)" "${targets[@]}" "$@"
