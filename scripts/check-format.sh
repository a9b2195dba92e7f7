#!/usr/bin/env bash
# Checks that the tracked C and C++ sources are formatted as .clang-format says; on a difference,
# lists the files and prints the one command that formats them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mapfile -t files < <(git ls-files -- '*.c' '*.cpp' '*.h')
[ ${#files[@]} -gt 0 ] || exit 0
mapfile -t bad < <(printf '%s\0' "${files[@]}" |
  xargs -0 -n 16 -P "$(nproc)" sh -c 'for f; do clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || echo "$f"; done' sh |
  sort)
[ ${#bad[@]} -eq 0 ] && exit 0
echo "These files are not formatted as .clang-format says:" >&2
printf '  %s\n' "${bad[@]}" >&2
echo "Format them with:" >&2
echo "  clang-format -i ${bad[*]}" >&2
exit 1
