#!/usr/bin/env python3
"""An hour of stereo 44.1 kHz sound in one chunk (635 MB of PCM) loaded and saved as WAV, MP3 and
package by one track: the WAV read by sox and python's wave, the MP3s by ffprobe, the package's
entries by zipfile, all with the hour's length; the track's peak private bytes stay near one copy
of the PCM (the save streams it instead of holding the chunk a second time)."""
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import wave
import zipfile
import json

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests", "support"))
from qmcheck import check, finish, win_path  # noqa: E402

TOOL = os.path.join(os.environ.get("QM_BIN", ""), "soundfile_tool.exe")
RATE = 44100
FRAMES = 3600 * RATE
PCM_BYTES = FRAMES * 4


def write_hour(path):
    """One second of two tones, repeated for an hour, as a canonical 44-byte-header WAV."""
    second = b"".join(struct.pack("<hh", int(8000 * math.sin(2 * math.pi * 330 * i / RATE)),
                                  int(8000 * math.sin(2 * math.pi * 440 * i / RATE))) for i in range(RATE))
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", PCM_BYTES + 36) + b"WAVEfmt " +
                struct.pack("<IHHIIHH", 16, 1, 2, RATE, RATE * 4, 4, 16) + b"data" + struct.pack("<I", PCM_BYTES))
        for _ in range(3600):
            f.write(second)


def duration(path):
    r = subprocess.run(["ffprobe", "-v", "error", "-show_streams", "-show_format", "-of", "json", path],
                       capture_output=True, text=True)
    if r.returncode != 0:
        return None, None
    info = json.loads(r.stdout)
    return float(info["format"]["duration"]), info["streams"][0]["channels"]


def main():
    work = tempfile.mkdtemp(prefix="qmhour", dir="/tmp")
    try:
        src = os.path.join(work, "hour.wav")
        write_hour(src)
        out = os.path.join(work, "out")
        r = subprocess.run(["wine", TOOL, "load", win_path(src), "save", win_path(out + ".wav"),
                            "save", win_path(out + ".mp3"), "save", win_path(out + ".qpk")],
                           capture_output=True, timeout=2200, cwd=work)
        err = r.stderr.decode("utf-8", "replace")
        print(err)
        check(r.returncode == 0, "the hour loads and saves as WAV, MP3 and package")
        peak = [int(line.split()[2]) for line in err.splitlines() if line.startswith("memory peak_private")]
        check(peak and peak[0] < PCM_BYTES * 1.2,
              f"peak private bytes {peak[0] if peak else '?'} near one copy of the PCM ({PCM_BYTES})")

        sox = subprocess.run(["sox", "--i", "-s", out + ".wav"], capture_output=True, text=True)
        check(sox.returncode == 0 and int(sox.stdout.strip() or -1) == FRAMES, f"sox reads {sox.stdout.strip()} frames")
        with wave.open(out + ".wav") as w:
            check(w.getnframes() == FRAMES and w.getnchannels() == 2, "python's wave reads the hour in stereo")
        with open(out + ".wav", "rb") as f, open(src, "rb") as g:
            same = True
            while same:
                a, b = f.read(1 << 24), g.read(1 << 24)
                same = a == b
                if not a:
                    break
            check(same, "the saved WAV is the loaded one byte for byte")

        seconds, channels = duration(out + ".mp3")
        check(seconds is not None and abs(seconds - 3600) < 0.2 and channels == 2,
              f"ffprobe reads the MP3 as {seconds} s, {channels} channels")
        with zipfile.ZipFile(out + ".qpk") as z:
            check(z.namelist() == ["out.mpa", "out.cif"], f"package entries {z.namelist()}")
            check(z.read("out.cif") == struct.pack("<II", 0, 3600000), "one chunk of an hour in the .cif")
            z.extract("out.mpa", work)
        seconds, channels = duration(os.path.join(work, "out.mpa"))
        check(seconds is not None and abs(seconds - 3600) < 0.2 and channels == 2,
              f"ffprobe reads the package's MP3 as {seconds} s, {channels} channels")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    finish()


if __name__ == "__main__":
    main()
