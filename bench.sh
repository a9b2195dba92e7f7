#!/usr/bin/env bash
# Builds and runs the benchmarks under the test harness: ./bench.sh [NAME]
# Each prints one line "NAME: key=value ..." with its figures and ratios against its reference.
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
export HOME=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
# Wine spells non-ASCII file names in the Unix locale's charset and picks its code pages from it.
export LC_ALL=C.UTF-8
export QM_BUILD_DIR=${QM_BUILD_DIR:-$root/build}
"$root/scripts/configure.sh"
source "$root/scripts/harness.sh"
trap harness_stop EXIT
harness_start "$QM_BUILD_DIR"
export QM_BIN=$QM_BUILD_DIR/bin QM_SOURCE=$root
name=${1:-}
status=0
for exe in "$QM_BIN"/bench_*.exe; do
  [ -e "$exe" ] || continue
  base=$(basename "$exe" .exe); base=${base#bench_}
  [ -z "$name" ] || [ "$name" = "$base" ] || continue
  (cd "$QM_BIN" && wine "$exe" </dev/null) || { echo "$base: failed" >&2; status=1; }
done
while IFS= read -r script; do
  base=$(basename "$script" .sh); base=${base#bench_}
  [ -z "$name" ] || [ "$name" = "$base" ] || continue
  # The loop reads the names from its standard input: a script (or Wine under it) must not eat them.
  bash "$script" </dev/null || { echo "$base: failed" >&2; status=1; }
done < <(cd "$root" && git ls-files -co --exclude-standard -- '*bench_*.sh' | sed "s|^|$root/|")
exit $status
