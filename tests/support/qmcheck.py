"""Shared pieces of the Linux-side tests: checks that are counted and reported at the end, and the
Wine name of a Linux path.

A script finds this module beside the repository's tests folder:
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), <up to the root>, "tests", "support"))
"""
import os
import sys

failures = []


def check(cond, what):
    """Counts a failed check (printed at once) and goes on; returns cond."""
    if not cond:
        failures.append(what)
        print("FAIL:", what, flush=True)
    return cond


def finish():
    """Ends the script: exit code 1 when a check failed."""
    if failures:
        print(f"{len(failures)} check(s) failed", flush=True)
        sys.exit(1)
    print("all checks passed", flush=True)


def win_path(path):
    """The path as a Wine program sees it (drive Z: is the Linux root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run_tool(exe, args, cwd=None):
    """Runs exe under Wine in cwd; an argument given as a list [linux path] goes as its Wine path.
    Gives (rc, the JSON lines it printed, stderr)."""
    import json
    import subprocess
    argv = ["wine", exe] + [win_path(a[0]) if isinstance(a, list) else a for a in args]
    r = subprocess.run(argv, capture_output=True, timeout=300, cwd=cwd)
    dumps = [json.loads(line) for line in r.stdout.decode("utf-8").splitlines() if line.startswith("{")]
    return r.returncode, dumps, r.stderr.decode("utf-8", "replace")
