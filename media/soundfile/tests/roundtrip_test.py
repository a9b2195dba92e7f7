#!/usr/bin/env python3
"""Round trips of a track's files through real tools: WAVs read by sox, ffprobe and python's wave
(exact 44-byte header), MP3s read by ffprobe and mpg123 (64 kbit/s mono, 128 kbit/s stereo, decoded
length within the codec delay), packages passing unzip -t with their entries in order and the exact
.cif and .txt bytes, package -> load -> save -> load keeping chunk starts and texts, and packages
that other tools made (deflated, hostile names) loading without writing outside the temp folder."""
import json
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import wave
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests", "support"))
from qmcheck import check, finish, run_tool  # noqa: E402

BIN = os.environ.get("QM_BIN", "")
TOOL = os.path.join(BIN, "soundfile_tool.exe")

WORK = None


def tool(*args):
    """Runs soundfile_tool in the work folder: (rc, dumps, stderr)."""
    return run_tool(TOOL, args, WORK)


def ffprobe(path):
    r = subprocess.run(["ffprobe", "-v", "error", "-show_streams", "-show_format", "-of", "json", path],
                       capture_output=True, text=True)
    return json.loads(r.stdout) if r.returncode == 0 else None


def utf16_lines(*lines):
    return b"\xff\xfe" + "".join(line + "\r\n" for line in lines).encode("utf-16-le")


def wav_frames(path):
    with wave.open(path, "rb") as w:
        return w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes(), w.readframes(w.getnframes())


def rms(pcm):
    samples = struct.unpack("<%dh" % (len(pcm) // 2), pcm)
    return math.sqrt(sum(s * s for s in samples) / max(1, len(samples)))


def header44(channels, rate, data):
    return (b"RIFF" + struct.pack("<I", data + 36) + b"WAVEfmt " +
            struct.pack("<IHHIIHH", 16, 1, channels, rate, rate * channels * 2, channels * 2, 16) +
            b"data" + struct.pack("<I", data))


def wav_round_trip(work, src, frames):
    out = os.path.join(work, "out.wav")
    rc, _, err = tool("load", [src], "split", "1500,3000", "texts", r"one|two\r\nlines|three", "save", [out])
    check(rc == 0, f"WAV save failed: {err}")
    with open(out, "rb") as f:
        data = f.read()
    check(data[:44] == header44(1, 44100, frames * 2), "WAV header is not the 44-byte PCM header")
    ch, width, rate, n, pcm = wav_frames(out)
    _, _, _, _, source = wav_frames(src)
    check((ch, width, rate, n) == (1, 2, 44100, frames), f"wave reads {(ch, width, rate, n)}")
    check(pcm == source, "WAV samples differ from the source")
    sox = subprocess.run(["sox", "--i", "-s", out], capture_output=True, text=True)
    check(sox.returncode == 0 and int(sox.stdout.strip() or -1) == frames, f"sox reads {sox.stdout.strip()}")
    probe = ffprobe(out)
    stream = probe and probe["streams"][0]
    check(stream and stream["codec_name"] == "pcm_s16le" and int(stream["sample_rate"]) == 44100 and
          stream["channels"] == 1, f"ffprobe reads {stream}")
    with open(os.path.join(work, "out.txt"), "rb") as f:
        check(f.read() == utf16_lines("one", "two  lines", "three"), "the .txt beside the WAV differs")
    check(not os.path.exists(os.path.join(work, "out.cif")), "a WAV save wrote a .cif")
    check(not any(name.endswith(".saving") for name in os.listdir(work)), "a partial file was left")


def mp3_round_trip(work, src, frames, channels):
    out = os.path.join(work, f"out{channels}.mp3")
    rc, _, err = tool("load", [src], "save", [out])
    if not check(rc == 0, f"MP3 save ({channels} ch) failed: {err}"):
        return
    with open(out, "rb") as f:
        head = f.read(4)
    check(head[0] == 0xFF and head[1] & 0xE0 == 0xE0, "the MP3 does not start with a frame (a tag in front?)")
    probe = ffprobe(out)
    stream = probe and probe["streams"][0]
    check(stream and stream["codec_name"] == "mp3" and stream["channels"] == channels and
          int(stream["sample_rate"]) == 44100 and int(stream["bit_rate"]) == 64000 * channels,
          f"ffprobe reads {stream}")
    dec = os.path.join(work, f"dec{channels}.wav")
    r = subprocess.run(["mpg123", "-q", "-w", dec, out], capture_output=True)
    if not check(r.returncode == 0, f"mpg123 cannot decode: {r.stderr[-300:]}"):
        return
    ch, _, rate, n, pcm = wav_frames(dec)
    check(ch == channels and rate == 44100, f"mpg123 decodes {ch} ch at {rate}")
    # The Info frame tells the delay, the frame count and the padding: a gapless decoder gives
    # exactly the frames saved.
    check(n == frames, f"mpg123 decodes {n} frames of {frames}")
    ffdec = os.path.join(work, f"ffdec{channels}.wav")
    r = subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", out, ffdec], capture_output=True)
    if check(r.returncode == 0, f"ffmpeg cannot decode: {r.stderr[-300:]}"):
        check(wav_frames(ffdec)[3] == frames, f"ffmpeg decodes {wav_frames(ffdec)[3]} frames of {frames}")
    _, _, _, _, source = wav_frames(src)
    ratio = rms(pcm) / rms(source)
    check(0.8 < ratio < 1.2, f"decoded level is {ratio:.2f} of the source's")
    # The track's own decoder reads it back too.
    rc, dumps, err = tool("load", [out], "dump")
    if check(rc == 0 and dumps, f"loading the MP3 failed: {err}"):
        got = dumps[0]["dataSize"] // (2 * channels)
        check(got == frames, f"the track decodes {got} frames of {frames}")


def package_round_trip(work, src, frames):
    qpk = os.path.join(work, "Lesson.qpk")
    texts = ["first", "", "\u00e9t\u00e9 \u4e2d\u6587"]
    rc, _, err = tool("load", [src], "split", "1500,3000", "texts", "|".join(texts), "save",
                      [os.path.join(work, "Lesson.QPK")])
    if not check(rc == 0, f"package save failed: {err}"):
        return
    check(subprocess.run(["unzip", "-t", "-qq", qpk], capture_output=True).returncode == 0, "unzip -t fails")
    with zipfile.ZipFile(qpk) as z:
        check(z.namelist() == ["Lesson.txt", "Lesson.mpa", "Lesson.cif"], f"entries {z.namelist()}")
        check(z.read("Lesson.cif") == struct.pack("<6I", 0, 1500, 1500, 1500, 3000, (frames - 132300) * 1000 // 44100),
              f"cif is {z.read('Lesson.cif').hex()}")
        check(z.read("Lesson.txt") == utf16_lines(*texts), "txt entry differs")
        mpa = os.path.join(work, "extracted.mp3")
        with open(mpa, "wb") as f:
            f.write(z.read("Lesson.mpa"))
    probe = ffprobe(mpa)
    stream = probe and probe["streams"][0]
    check(stream and stream["codec_name"] == "mp3" and stream["channels"] == 1 and int(stream["bit_rate"]) == 64000,
          f"the .mpa reads as {stream}")
    check(not os.path.exists(os.path.join(work, "Lesson.mpa")), "the .mpa was left beside the package")

    starts = [0, 66150, 132300]
    path = qpk
    for name in ("Again.qpk", "Third.qpk"):
        rc, dumps, err = tool("load", [path], "dump", "save", [os.path.join(work, name)])
        if not check(rc == 0 and dumps, f"package load and save failed: {err}"):
            return
        chunks = dumps[0]["chunks"]
        check(len(chunks) == 3, f"{len(chunks)} chunks")
        # Starts come back through whole milliseconds: within 1 ms of where they were.
        check(all(abs(c[0] - s) <= 44.1 for c, s in zip(chunks, starts)), f"starts {[c[0] for c in chunks]}")
        check([c[2] for c in chunks] == texts, f"texts {[c[2] for c in chunks]}")
        check(dumps[0]["textsPresent"] == 1, "texts present not set")
        path = os.path.join(work, name)

    back = os.path.join(work, "Back.wav")
    rc, dumps, err = tool("load", [path], "dump", "save", [back])
    if check(rc == 0, f"package to WAV failed: {err}"):
        total = sum(c[1] for c in dumps[0]["chunks"])
        check(wav_frames(back)[3] == total, "the WAV from the package holds other frames than its chunks")
        sox = subprocess.run(["sox", back, "-n", "stat"], capture_output=True, text=True)
        check(sox.returncode == 0, "sox cannot read the WAV from the package")


def package_named_outside_the_code_pages(work, src):
    """Entry names that no 8-bit code page holds are stored in UTF-8 with the language-encoding
    flag: unzip, Python's zipfile and the recorder itself read them back as they were."""
    base = "Pr\u00fcfung \u2014 \u97f3\u58f0"
    qpk = os.path.join(work, base + ".qpk")
    rc, _, err = tool("load", [src], "split", "1500", "texts", "eins|zwei", "save", [qpk])
    if not check(rc == 0, f"saving {base}.qpk failed: {err}"):
        return
    check(subprocess.run(["unzip", "-t", "-qq", qpk], capture_output=True).returncode == 0, "unzip -t fails")
    with zipfile.ZipFile(qpk) as z:
        names = z.namelist()
        check(names == [base + ".txt", base + ".mpa", base + ".cif"], f"entries {names}")
        check(all(i.flag_bits & 0x800 for i in z.infolist()), "the language-encoding flag is not set")
    listing = subprocess.run(["unzip", "-Z1", qpk], capture_output=True).stdout.decode("utf-8", "replace")
    check(listing.splitlines() == names, f"unzip lists {listing!r}")
    rc, dumps, err = tool("load", [qpk], "dump")
    if check(rc == 0 and dumps, f"loading {base}.qpk failed: {err}"):
        check([c[2] for c in dumps[0]["chunks"]] == ["eins", "zwei"], f"texts {dumps[0]['chunks']}")


def foreign_packages(work, src):
    """A package another tool deflated, with hostile names beside the real entries."""
    mp3 = os.path.join(work, "lame.mp3")
    subprocess.run(["lame", "--quiet", "-b", "64", "-m", "m", src, mp3], check=True)
    qpk = os.path.join(work, "foreign.qpk")
    with zipfile.ZipFile(qpk, "w", zipfile.ZIP_DEFLATED) as z:
        z.write(mp3, "anything.mpa")
        z.writestr("anything.cif", struct.pack("<4I", 0, 2000, 2000, 4000))
        z.writestr("anything.txt", utf16_lines("a", "b"))
        z.writestr("../../escaped.exe", b"boom")
        z.writestr("x.\\..\\..\\escaped", b"boom")
        z.writestr("x.c:escaped", b"boom")
        z.writestr("sub/", b"")
        z.writestr("deep/dir/x.wav", b"RIFF junk")  # a suffix that would replace the decoded WAV
    before = set(os.listdir(work))
    rc, dumps, err = tool("load", [qpk], "dump")
    # The entry with the suffix "wav" stands where the decoded WAV would: the load fails cleanly.
    check(rc == 1 and not dumps, f"a package whose WAV entry is junk: rc {rc}")
    check(set(os.listdir(work)) == before, f"files appeared beside the package: {set(os.listdir(work)) - before}")
    with zipfile.ZipFile(qpk, "w", zipfile.ZIP_DEFLATED) as z:
        z.write(mp3, "anything.mpa")
        z.writestr("anything.cif", struct.pack("<4I", 0, 2000, 2000, 4000))
        z.writestr("anything.txt", utf16_lines("a", "b"))
        z.writestr("../../escaped.exe", b"boom")
        z.writestr("sub/", b"")
    rc, dumps, err = tool("load", [qpk], "dump")
    if check(rc == 0 and dumps, f"a deflated package from zipfile does not load: {err}"):
        chunks = dumps[0]["chunks"]
        check([(c[0], c[1], c[2]) for c in chunks] == [(0, 88200, "a"), (88200, 176400, "b")], f"chunks {chunks}")
    check(set(os.listdir(work)) == before, "files appeared beside the package")
    for p in ("/tmp/escaped.exe", os.path.join(os.path.dirname(work), "escaped.exe")):
        check(not os.path.exists(p), f"{p} was written")


def main():
    if not os.path.exists(TOOL):
        print("soundfile_tool.exe is missing", flush=True)
        sys.exit(1)
    global WORK
    work = WORK = tempfile.mkdtemp(prefix="qmsf")
    try:
        mono = os.path.join(work, "src_mono.wav")
        stereo = os.path.join(work, "src_stereo.wav")
        subprocess.run(["sox", "-n", "-r", "44100", "-c", "1", "-b", "16", mono, "synth", "6.1", "sine", "440",
                        "vol", "0.4"], check=True)
        subprocess.run(["sox", "-n", "-r", "44100", "-c", "2", "-b", "16", stereo, "synth", "3.3", "sine", "330",
                        "sine", "550", "vol", "0.4"], check=True)
        mono_frames = wav_frames(mono)[3]
        wav_round_trip(work, mono, mono_frames)
        mp3_round_trip(work, mono, mono_frames, 1)
        mp3_round_trip(work, stereo, wav_frames(stereo)[3], 2)
        package_round_trip(work, mono, mono_frames)
        package_named_outside_the_code_pages(work, mono)
        foreign_packages(work, mono)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    finish()


if __name__ == "__main__":
    main()
