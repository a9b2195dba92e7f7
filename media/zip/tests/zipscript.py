"""Shared pieces of the Linux-side ZIP tests: running zip_tool under Wine and making inputs."""
import io
import os
import random
import subprocess
import sys
import wave
import struct
import math

BIN = os.environ.get("QM_BIN", "")
TOOL = os.path.join(BIN, "zip_tool.exe")

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests", "support"))
from qmcheck import check, failures, finish  # noqa: E402,F401  (the scripts take them from here)


def tool(args, cwd, timeout=120):
    """Runs zip_tool under Wine; returns (returncode, stdout lines). A time-out gives rc None."""
    try:
        r = subprocess.run(["wine", TOOL] + args, cwd=cwd, capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None, []
    return r.returncode, r.stdout.decode("latin-1").splitlines()


def results(lines, step):
    """{index or name: code} of the lines of one step ("add", "unzip", "entry")."""
    out = []
    for line in lines:
        parts = line.split("\t")
        if parts[0] == step:
            out.append(parts)
    return out


def text_bytes(n, seed=1):
    rnd = random.Random(seed)
    words = ["lesson", "teacher", "student", "records", "her", "voice", "beside", "the", "master",
             "track", "chunk", "listen", "and", "repeat", "each", "line", "Quillmeridian"]
    out = []
    size = 0
    while size < n:
        w = rnd.choice(words) + (" " if rnd.random() < 0.9 else ".\r\n")
        out.append(w)
        size += len(w)
    return "".join(out).encode()[:n]


def write_wav(path, seconds=2.0, rate=44100):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        frames = bytearray()
        for i in range(int(seconds * rate)):
            v = int(9000 * math.sin(2 * math.pi * 220 * i / rate) * (0.6 + 0.4 * math.sin(2 * math.pi * 3 * i / rate)))
            frames += struct.pack("<h", v)
        w.writeframes(bytes(frames))


def make_mp3(wav_path, mp3_path):
    subprocess.run(["lame", "--quiet", "-b", "64", wav_path, mp3_path], check=True)


class Unseekable(io.RawIOBase):
    """A write-only stream without seek, so zipfile has to write data descriptors."""
    def __init__(self, f):
        self.f = f

    def writable(self):
        return True

    def write(self, b):
        return self.f.write(b)
