#!/usr/bin/env bash
# Builds everything and runs the tests under Wine: ./test.sh [ctest arguments, e.g. -L audio]
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
# CI may start us with a bare environment.
export HOME=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
# Wine spells non-ASCII file names in the Unix locale's charset and picks its code pages from it.
export LC_ALL=C.UTF-8
export PATH=${PATH:-/usr/local/bin:/usr/bin:/bin}
export QM_BUILD_DIR=${QM_BUILD_DIR:-$root/build}
# The sources' format first (QM_SKIP_FORMAT_CHECK=1 skips it), then the build.
"$root/scripts/install-packages.sh"
[ "${QM_SKIP_FORMAT_CHECK:-}" = 1 ] || "$root/scripts/check-format.sh"
"$root/scripts/configure.sh"
source "$root/scripts/harness.sh"
trap harness_stop EXIT
harness_start "$QM_BUILD_DIR"
ctest --test-dir "$QM_BUILD_DIR" --output-on-failure --no-tests=error -j"$(nproc)" "$@"
