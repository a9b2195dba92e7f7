#!/usr/bin/env python3
"""Real sound through the engine under Wine, checked from the Linux side with sox.

  wine_audio_test.py capture      a 440 Hz tone played into the source "mic" is captured
  wine_audio_test.py two-streams  "mic" (440 Hz) and "Monitor of speakers" (1 kHz) at once
  wine_audio_test.py play         a 440 Hz tone played through XAudio2 reaches the speakers
  wine_audio_test.py loop         a 660 Hz tone goes in through WASAPI and out through XAudio2
  wine_audio_test.py no-server    with no audio server an output fails with its message, no crash
"""
import array
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

BIN = os.environ["QM_BIN"]
PROBE = os.path.join(BIN, "audio_probe.exe")


def tone_into(sink, frequency, seconds):
    """Starts sox | pacat playing a sine into a PulseAudio sink; returns the two processes."""
    sox = subprocess.Popen(
        ["sox", "-n", "-t", "raw", "-r", "44100", "-c", "2", "-e", "signed", "-b", "16", "-",
         "synth", str(seconds), "sine", str(frequency), "vol", "0.5"],
        stdout=subprocess.PIPE)
    pacat = subprocess.Popen(
        ["pacat", "-d", sink, "--raw", "--rate", "44100", "--channels", "2", "--latency-msec=20"],
        stdin=sox.stdout)
    sox.stdout.close()
    return [sox, pacat]


def stop(processes):
    for p in processes:
        if p.poll() is None:
            p.terminate()
    for p in processes:
        try:
            p.wait(5)
        except subprocess.TimeoutExpired:
            p.kill()


def probe(*args, timeout=60, env=None):
    run = subprocess.run(["wine", PROBE, *args], cwd=BIN, capture_output=True, text=True, timeout=timeout,
                         env=env)
    print("probe", *args, "->", run.returncode, run.stdout.strip(), run.stderr.strip()[-2000:])
    if run.returncode != 0:
        sys.exit(f"audio_probe {args[0]} failed with {run.returncode}")
    return run.stdout


def stat(path, fmt, skip=0.5, length=None):
    """sox's RMS amplitude and rough frequency of a raw mono file, after `skip` seconds."""
    trim = ["trim", str(skip)] + ([str(length)] if length else [])
    enc = ["-t", "f32"] if fmt == "f32" else ["-t", "raw", "-e", "signed", "-b", "16"]
    run = subprocess.run(["sox", *enc, "-r", "44100", "-c", "1", path, "-n", *trim, "stat"],
                         capture_output=True, text=True)
    text = run.stderr

    def field(name):
        m = re.search(name + r":\s+(-?[0-9.]+)", text)
        if not m:
            sys.exit(f"sox stat gave no {name}: {text}")
        return float(m.group(1))

    return field("RMS     amplitude"), field("Rough   frequency"), field("Length \\(seconds\\)")


def tone_frequency(path, fmt, skip=0.5, length=None):
    """The tone's frequency from the median period between rising zero crossings. sox's rough
    frequency comes from the signal's slope, which a few dropped or repeated packets (the sound
    server on a busy machine) move by tens of hertz; they spoil only the periods they fall in."""
    samples = array.array("f" if fmt == "f32" else "h")
    with open(path, "rb") as f:
        samples.frombytes(f.read())
    start = int(skip * 44100)
    end = len(samples) if length is None else min(len(samples), start + int(length * 44100))
    part = samples[start:end]
    peak = max((abs(v) for v in part), default=0)
    # A rising crossing, placed between its two samples; near-silent stretches (gaps) give none.
    rising = [i + a / (a - b) for i, (a, b) in enumerate(zip(part, part[1:])) if a < 0 <= b]
    periods = [q - p for p, q in zip(rising, rising[1:])]
    loud = [d for d, at in zip(periods, rising) if max(abs(v) for v in part[int(at):int(at + d) + 1]) > peak / 4]
    return 44100 / statistics.median(loud) if loud else 0.0


def expect_tone(label, path, fmt, frequency, rms_range, skip=0.5, length=None, min_seconds=1.0):
    rms, rough, seconds = stat(path, fmt, skip, length)
    measured = tone_frequency(path, fmt, skip, length)
    print(f"{label}: rms={rms:.3f} frequency={measured:.0f} rough_frequency={rough:.0f} seconds={seconds:.2f}")
    ok = True
    if seconds < min_seconds:
        print(f"  FAIL: only {seconds:.2f} s of sound")
        ok = False
    if abs(measured - frequency) > frequency * 0.05:
        print(f"  FAIL: frequency {measured:.0f}, expected {frequency}")
        ok = False
    if not rms_range[0] <= rms <= rms_range[1]:
        print(f"  FAIL: level {rms:.3f} outside {rms_range}")
        ok = False
    return ok


def record_speakers(path):
    out = open(path, "wb")
    return subprocess.Popen(["parec", "-d", "speakers.monitor", "--raw", "--rate", "44100", "--channels", "1",
                             "--format", "s16le", "--latency-msec=20"], stdout=out)


def main():
    what = sys.argv[1]
    tmp = tempfile.mkdtemp(prefix="qm-audio-")
    win = lambda p: "Z:" + p.replace("/", "\\")
    ok = True
    if what == "capture":
        tone = tone_into("micsink", 440, 6)
        time.sleep(0.3)
        try:
            probe("capture", "mic", "3", win(f"{tmp}/mic.f32"))
        finally:
            stop(tone)
        # A 0.5 full-scale sine: RMS 0.35 in each channel, and the mono mix keeps it.
        ok = expect_tone("mic", f"{tmp}/mic.f32", "f32", 440, (0.25, 0.45))
    elif what == "two-streams":
        # The monitor's first packet can come up to 2 s after its start (no low-latency stream on it).
        mic = tone_into("micsink", 440, 9)
        speakers = tone_into("speakers", 1000, 9)
        time.sleep(0.3)
        try:
            probe("capture2", "mic", "Monitor of speakers", "5", win(f"{tmp}/k0.f32"), win(f"{tmp}/k1.f32"))
        finally:
            stop(mic + speakers)
        ok = expect_tone("source key 0 (mic)", f"{tmp}/k0.f32", "f32", 440, (0.25, 0.45))
        ok = expect_tone("source key 1 (monitor)", f"{tmp}/k1.f32", "f32", 1000, (0.25, 0.45)) and ok
    elif what == "play":
        rec = record_speakers(f"{tmp}/speakers.s16")
        time.sleep(0.3)
        try:
            probe("play", "3", "440")
        finally:
            time.sleep(0.3)
            stop([rec])
        # 16000 / 32768 peak: RMS 0.345.
        ok = expect_tone("speakers", f"{tmp}/speakers.s16", "s16", 440, (0.25, 0.45), skip=0.8, length=1.5)
    elif what == "loop":
        tone = tone_into("micsink", 660, 8)
        rec = record_speakers(f"{tmp}/speakers.s16")
        time.sleep(0.3)
        try:
            probe("loop", "mic", "4")
        finally:
            time.sleep(0.3)
            stop(tone + [rec])
        ok = expect_tone("speakers", f"{tmp}/speakers.s16", "s16", 660, (0.2, 0.45), skip=1.5, length=1.5)
    elif what == "no-server":
        env = dict(os.environ, PULSE_SERVER="unix:/nonexistent/qm-no-audio-server")
        probe("no-server", env=env)
    else:
        sys.exit(f"unknown check {what}")
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
