#!/usr/bin/env python3
"""MP3s written through LAME_ENC.DLL, checked with ffprobe, mpg123 and sox."""
import json
import math
import os
import struct
import subprocess
import sys
import tempfile
import unittest
import wave

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests", "support"))
from qmcheck import win_path  # noqa: E402

BIN = os.environ["QM_BIN"]
# Decoders emit the 576-sample encoder delay and the 529-sample decoder delay, then pad the end
# to a whole frame; nothing of the source may be missing.
ENCODER_DELAY = 576 + 529


def tone_wav(path, rate, channels, frames):
    freqs = (440.0, 660.0)
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        data = bytearray()
        for i in range(frames):
            for c in range(channels):
                data += struct.pack("<h", int(8000 * math.sin(2 * math.pi * freqs[c] * i / rate)))
        w.writeframes(bytes(data))


def read_wav(path):
    with wave.open(path, "rb") as w:
        channels, rate, n = w.getnchannels(), w.getframerate(), w.getnframes()
        raw = w.readframes(n)
    samples = struct.unpack("<%dh" % (len(raw) // 2), raw)
    return rate, [samples[c::channels] for c in range(channels)]


def frequency(signal, rate):
    """Frequency from the zero crossings of the middle half of a channel."""
    part = signal[len(signal) // 4: 3 * len(signal) // 4]
    crossings = sum(1 for a, b in zip(part, part[1:]) if (a < 0) != (b < 0))
    return crossings * rate / (2.0 * len(part))


def rms(signal):
    part = signal[len(signal) // 4: 3 * len(signal) // 4]
    return math.sqrt(sum(s * s for s in part) / len(part))


class LameEncRoundTrip(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def encode(self, rate, channels, frames):
        src = os.path.join(self.dir.name, "src_%d_%d.wav" % (rate, channels))
        mp3 = os.path.join(self.dir.name, "out_%d_%d.mp3" % (rate, channels))
        tone_wav(src, rate, channels, frames)
        run = subprocess.run(["wine", os.path.join(BIN, "lame_enc_encode.exe"), win_path(src), win_path(mp3)],
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        return mp3

    def check_decoded(self, tool, path, rate, channels, frames, frame_size):
        got_rate, signal = read_wav(path)
        self.assertEqual(got_rate, rate, tool)
        self.assertEqual(len(signal), channels, tool)
        n = len(signal[0])
        self.assertGreaterEqual(n, frames, "%s: the end of the sound is missing" % tool)
        self.assertLessEqual(n, frames + ENCODER_DELAY + 2 * frame_size, "%s: more than delay and padding" % tool)
        for c, expected in enumerate((440.0, 660.0)[:channels]):
            self.assertAlmostEqual(frequency(signal[c], rate), expected, delta=expected * 0.01,
                                   msg="%s channel %d" % (tool, c))
            self.assertAlmostEqual(rms(signal[c]), 8000 / math.sqrt(2), delta=8000 * 0.07,
                                   msg="%s channel %d level" % (tool, c))

    def test_tones_decode_at_the_rate_mode_and_bit_rate_asked_for(self):
        # (rate, channels, frame size, MP3 rate); each length is one frame past a whole number of
        # pieces. A rate MPEG audio lacks is resampled by the encoder.
        cases = [(44100, 1, 1152, 44100), (44100, 2, 1152, 44100), (22050, 2, 576, 22050),
                 (8000, 1, 576, 8000), (96000, 2, 1152, 48000)]
        for source_rate, channels, frame_size, rate in cases:
            with self.subTest(rate=source_rate, channels=channels):
                source_frames = (source_rate // frame_size) * frame_size + 1
                mp3 = self.encode(source_rate, channels, source_frames)
                frames = source_frames
                if rate != source_rate:  # the source's length at the MP3's rate, less a resampler frame
                    frames = source_frames * rate // source_rate - 1
                probe = json.loads(subprocess.run(
                    ["ffprobe", "-v", "error", "-show_streams", "-show_format", "-of", "json", mp3],
                    capture_output=True, text=True, check=True).stdout)
                stream = probe["streams"][0]
                self.assertEqual(probe["format"]["format_name"], "mp3")
                self.assertEqual(stream["codec_name"], "mp3")
                self.assertEqual(int(stream["sample_rate"]), rate)
                self.assertEqual(stream["channels"], channels)
                self.assertEqual(int(stream["bit_rate"]), 64000 * channels)
                self.assertNotIn("tags", probe["format"], "no ID3 tag is written")

                by_mpg123 = os.path.join(self.dir.name, "mpg123.wav")
                subprocess.run(["mpg123", "-q", "-w", by_mpg123, mp3], check=True, timeout=60)
                self.check_decoded("mpg123", by_mpg123, rate, channels, frames, frame_size)
                by_sox = os.path.join(self.dir.name, "sox.wav")
                subprocess.run(["sox", mp3, "-b", "16", by_sox], check=True, timeout=60)
                self.check_decoded("sox", by_sox, rate, channels, frames, frame_size)


if __name__ == "__main__":
    unittest.main()
