#!/usr/bin/env python3
"""A cut through the real loader rewrites the WAV in place; python's wave module, soxi and a
RIFF walk of our own then read the result: frames, samples, sizes, and the LIST chunk after the
data kept byte for byte."""
import os
import struct
import subprocess
import sys
import tempfile
import wave

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests", "support"))
from qmcheck import check, finish  # noqa: E402

TOOL = os.path.join(os.environ["QM_BIN"], "wave_cut_tool.exe")


def list_chunk():
    text = b"lesson one\0"  # odd: the chunk carries a pad byte
    info = b"INFO" + b"ICMT" + struct.pack("<I", len(text)) + text + b"\0"
    return b"LIST" + struct.pack("<I", len(info)) + info


def write_wav(path, channels, frames, tail, stray=b""):
    pcm = b"".join(struct.pack("<h", ((i * 37 + c * 1000) % 60000) - 30000)
                   for i in range(frames) for c in range(channels))
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(44100)
        w.writeframes(pcm)
    if stray:
        # Bytes of a partial frame at the end of the data chunk (and its pad byte when odd).
        with open(path, "r+b") as f:
            f.seek(44 + len(pcm))
            f.write(stray + (b"\0" if len(stray) & 1 else b""))
            f.seek(40)
            f.write(struct.pack("<I", len(pcm) + len(stray)))
    if tail:
        with open(path, "r+b") as f:
            f.seek(0, 2)
            f.write(tail)
            size = f.tell()
            f.seek(4)
            f.write(struct.pack("<I", size - 8))
    return pcm


def riff_chunks(data):
    """(tag, body) of every chunk; None when the sizes do not walk exactly to the end."""
    if data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        return None
    if struct.unpack("<I", data[4:8])[0] != len(data) - 8:
        return None
    out, pos = [], 12
    while pos < len(data):
        if pos + 8 > len(data):
            return None
        tag, size = data[pos:pos + 4], struct.unpack("<I", data[pos + 4:pos + 8])[0]
        out.append((tag, data[pos + 8:pos + 8 + size]))
        pos += 8 + size + (size & 1)
    return out if pos == len(data) else None


def run(case, work):
    name, channels, frames, tail, start, cursor, whole, cut_from, cut_to, *rest = case
    path = os.path.join(work, name + ".wav")
    pcm = write_wav(path, channels, frames, tail, *rest)
    args = ["wine", TOOL, path, str(start), str(cursor)] + (["whole"] if whole else [])
    r = subprocess.run(args, capture_output=True, timeout=120)
    lines = r.stdout.decode("latin-1").split()
    if not check(r.returncode == 0 and lines[:2] == ["cut", "1"], f"{name}: tool said {lines} rc {r.returncode}"):
        return
    align = 2 * channels
    left = frames - (cut_to - cut_from)
    expected = pcm[:cut_from * align] + pcm[cut_to * align:]
    check(int(lines[2]) == left and int(lines[3]) == left * align, f"{name}: track reports {lines[2:]}")
    with open(path, "rb") as f:
        data = f.read()
    chunks = riff_chunks(data)
    if not check(chunks is not None, f"{name}: RIFF sizes do not walk to the end of the file"):
        return
    tags = [t for t, _ in chunks]
    check(tags == [b"fmt ", b"data"] + ([b"LIST"] if tail else []), f"{name}: chunks {tags}")
    if tail:
        check(b"LIST" + struct.pack("<I", len(chunks[2][1])) + chunks[2][1] == tail,
              f"{name}: LIST chunk changed")
    with wave.open(path, "rb") as w:
        check(w.getnframes() == left, f"{name}: wave module reads {w.getnframes()} frames, not {left}")
        check(w.readframes(w.getnframes()) == expected, f"{name}: samples differ")
    soxi = subprocess.run(["soxi", "-s", path], capture_output=True, text=True)
    check(soxi.returncode == 0 and soxi.stdout.strip() == str(left), f"{name}: soxi says {soxi.stdout!r} {soxi.stderr!r}")


def main():
    cases = [
        # name, channels, frames, tail, selection start, cursor, whole mode, cut from, cut to
        ("mono", 1, 88200, b"", 1000, 5000, False, 1000, 5000),
        ("mono_list", 1, 88200, list_chunk(), 1000, 5000, False, 1000, 5000),
        ("stereo_list_past_end", 2, 30001, list_chunk(), 29000, 40000, False, 29000, 30000),
        ("whole_mode_list", 1, 44100, list_chunk(), 0, 22050, True, 0, 22050),
        # The partial frame is no sound of the track; the LIST after it must still follow the data.
        ("stereo_partial_frame_list", 2, 20000, list_chunk(), 100, 900, False, 100, 900, b"\x11\x22"),
        ("mono_odd_data_list", 1, 20000, list_chunk(), 100, 900, False, 100, 900, b"\x33"),
    ]
    with tempfile.TemporaryDirectory() as work:
        for case in cases:
            run(case, work)
    finish()


if __name__ == "__main__":
    main()
