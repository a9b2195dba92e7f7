#!/usr/bin/env python3
"""The two packages one exit saves (Master and Student, from the dialog's in-process test) read by
unzip and python's zipfile: whole archives, their entries in order, the MP3 readable by ffprobe and
the chunk table's records."""
import os
import struct
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests", "support"))
from qmcheck import check, finish, win_path  # noqa: E402

BIN = os.environ.get("QM_BIN", "")

with tempfile.TemporaryDirectory() as keep:
    env = dict(os.environ, QM_KEEP_PACKAGES=win_path(keep))
    r = subprocess.run(["wine", os.path.join(BIN, "app_main_files_test.exe"),
                        "--gtest_filter=DialogFiles.TwoSavesInOneExitCloseOnlyWhenBothHaveEnded"],
                       env=env, capture_output=True, timeout=240)
    check(r.returncode == 0, "the in-process exit test passed: " + r.stdout.decode("utf-8", "replace")[-2000:])
    for stem, length_ms in (("master", 1000), ("student", 500)):
        path = os.path.join(keep, stem + ".qpk")
        if not check(os.path.exists(path), f"{stem}.qpk kept"):
            continue
        t = subprocess.run(["unzip", "-t", path], capture_output=True, text=True)
        check(t.returncode == 0, f"unzip -t {stem}.qpk: {t.stdout}{t.stderr}")
        names = subprocess.run(["unzip", "-Z1", path], capture_output=True, text=True).stdout.split()
        check(names == [stem + ".mpa", stem + ".cif"], f"{stem} entries in order: {names}")
        with zipfile.ZipFile(path) as z:
            table = z.read(stem + ".cif")
            check(len(table) == 8, f"{stem}: one chunk-table record, {len(table)} bytes")
            if len(table) == 8:
                start, length = struct.unpack("<II", table)
                check((start, length) == (0, length_ms), f"{stem}: record {(start, length)}")
            mpa = os.path.join(keep, stem + ".mpa")
            with open(mpa, "wb") as f:
                f.write(z.read(stem + ".mpa"))
        p = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_name", "-of", "csv=p=0", mpa],
                           capture_output=True, text=True)
        check(p.stdout.strip() == "mp3", f"{stem}.mpa is MP3: {p.stdout}{p.stderr}")
finish()
