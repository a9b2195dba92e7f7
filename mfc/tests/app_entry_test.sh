#!/usr/bin/env bash
# The framework's program entry: the quit posted inside the dialog is the exit code, and the
# application object is destroyed after WinMain returns, while its thread still runs.
set -uo pipefail
out=$(wine "$QM_BIN/mfc_app_probe.exe" one "two words" 2>/dev/null | tr -d '\r')
rc=$?
echo "$out"
echo "exit code: $rc"
fail=0
[ "$rc" -eq 255 ] || { echo "FAIL: exit code $rc, want 255 (-1)"; fail=1; }
for want in "name: mfc_app_probe" 'command line: [one "two words"]' "worker alive at teardown: yes" "worker joined: yes"; do
  grep -qxF "$want" <<<"$out" || { echo "FAIL: missing '$want'"; fail=1; }
done
exit $fail
