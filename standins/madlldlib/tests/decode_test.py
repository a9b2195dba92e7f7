#!/usr/bin/env python3
"""madlldlib.dll against ffmpeg: MP3s made by lame and sox decode to the same samples, and bad
input fails with nothing left at the output path."""
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import wave

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests", "support"))
from qmcheck import win_path  # noqa: E402

BIN = os.environ["QM_BIN"]
ERR_TRUNCATED = 4
ERR_WRITE_OUTPUT = 6


def tone_wav(path, rate, channels, frames):
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        data = bytearray()
        for i in range(frames):
            for c in range(channels):
                f = 440.0 * (c + 1)
                data += struct.pack("<h", int(9000 * math.sin(2 * math.pi * f * i / rate)
                                              + 3000 * math.sin(2 * math.pi * 3.7 * f * i / rate)))
        w.writeframes(bytes(data))


def read_wav(path):
    with wave.open(path, "rb") as w:
        params = (w.getnchannels(), w.getframerate(), w.getsampwidth())
        raw = w.readframes(w.getnframes())
    return params, struct.unpack("<%dh" % (len(raw) // 2), raw)


def crossing_rate(signal, rate):
    return sum(1 for a, b in zip(signal, signal[1:]) if (a < 0) != (b < 0)) * rate / len(signal)


def frame_offsets(data):
    """Offsets of the MPEG-1/2 Layer III frames after any ID3v2 tag, walking frame lengths."""
    at = 0
    if data[:3] == b"ID3":
        size = (data[6] << 21) | (data[7] << 14) | (data[8] << 7) | data[9]
        at = 10 + size
    offsets = []
    while at + 4 <= len(data) and data[at] == 0xFF and (data[at + 1] & 0xE0) == 0xE0:
        version = (data[at + 1] >> 3) & 3
        kbps = ([0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320] if version == 3 else
                [0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160])[data[at + 2] >> 4]
        rate = {3: (44100, 48000, 32000), 2: (22050, 24000, 16000), 0: (11025, 12000, 8000)}[version][
            (data[at + 2] >> 2) & 3]
        length = (144000 if version == 3 else 72000) * kbps // rate + ((data[at + 2] >> 1) & 1)
        offsets.append(at)
        at += length
    return offsets


class MadllDecode(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = cls.tmp.name
        cls.sources = {}
        for rate, channels, frames in [(44100, 2, 100003), (44100, 1, 60001), (22050, 1, 30011), (16000, 2, 20005),
                                       (8000, 1, 9001)]:
            path = os.path.join(cls.dir, "src_%d_%d.wav" % (rate, channels))
            tone_wav(path, rate, channels, frames)
            cls.sources[(rate, channels)] = (path, frames)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def make(self, name, tool_args, source):
        path = os.path.join(self.dir, name)
        src = self.sources[source][0]
        if tool_args[0] == "lame":
            subprocess.run(["lame", "--quiet"] + tool_args[1:] + [src, path], check=True)
        else:
            subprocess.run(["sox", src] + tool_args[1:] + [path], check=True)
        return path

    def decode(self, mp3, wav, *options):
        run = subprocess.run(["wine", os.path.join(BIN, "madll_decode.exe"), *options, win_path(mp3), win_path(wav)],
                             capture_output=True, text=True, timeout=120)
        stats = dict(re.findall(r"(\w+)=(-?\d+)", run.stdout))
        return run.returncode, {k: int(v) for k, v in stats.items()}

    def leftovers(self, folder, keep):
        return sorted(set(os.listdir(folder)) - set(keep))

    def test_files_made_by_lame_and_sox_decode_like_ffmpeg(self):
        # name, tool and options, source, whether a LAME tag gives the encoder delay and padding
        # (lame writes none into the tiny frames of MPEG-2.5 at 16 kbit/s; sox writes none at all)
        cases = [
            ("lame_cbr_stereo.mp3", ["lame", "-b", "128"], (44100, 2), True),
            ("lame_no_tag.mp3", ["lame", "-b", "64", "-t"], (44100, 1), False),
            ("lame_id3v2.mp3", ["lame", "-b", "128", "--id3v2-only", "--tt", "Lesson", "--ta", "Teacher",
                                "--pad-id3v2-size", "6000"], (44100, 2), True),
            ("lame_vbr_xing.mp3", ["lame", "-V", "4"], (22050, 1), True),
            ("lame_mpeg2_stereo.mp3", ["lame", "-b", "64"], (16000, 2), True),
            ("lame_mpeg25.mp3", ["lame", "-b", "16"], (8000, 1), False),
            ("sox_default.mp3", ["sox"], (44100, 2), False),
            ("sox_64k_mono.mp3", ["sox", "-C", "64"], (44100, 1), False),
            ("sox_id3v2_id3v1.mp3", ["sox", "--comment", "Title=Lesson one"], (44100, 2), False),
            ("Übung é.mp3", ["lame", "-b", "128"], (44100, 2), True),  # OEM path with accents
        ]
        for name, tool_args, source, gapless in cases:
            with self.subTest(name):
                mp3 = self.make(name, tool_args, source)
                out = os.path.join(self.dir, "out.wav")
                ref = os.path.join(self.dir, "ref.wav")
                result, stats = self.decode(mp3, out)
                self.assertEqual(result, 0, stats)
                subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", mp3, "-f", "wav", ref], check=True)
                (channels, rate, width), got = read_wav(out)
                ref_params, want = read_wav(ref)
                self.assertEqual((channels, rate, width), ref_params)
                self.assertEqual((rate, channels), source)
                self.assertEqual(len(got), len(want), "sample count differs from ffmpeg's")
                if gapless:
                    self.assertEqual(len(got) // channels, self.sources[source][1], "encoder delay or padding left")
                worst = max(abs(a - b) for a, b in zip(got, want))
                self.assertLessEqual(worst, 1, "samples differ from ffmpeg's")

                with open(out, "rb") as f:
                    header = f.read(44)
                size = os.path.getsize(out)
                self.assertEqual(header[:4] + header[8:16] + header[36:40], b"RIFFWAVEfmt data")
                self.assertEqual(struct.unpack("<I", header[4:8])[0], size - 8)
                self.assertEqual(struct.unpack("<I", header[40:44])[0], size - 44)

                self.assertGreater(stats["calls"], 0)
                self.assertEqual(stats["ordered"], 1, "progress went backwards or skipped a frame")
                self.assertEqual(stats["total"], os.path.getsize(mp3))
                self.assertGreaterEqual(stats["read"], stats["total"] * 9 // 10)
                os.remove(out)
                os.remove(ref)
                os.remove(mp3)
        self.assertEqual([f for f in os.listdir(self.dir) if f.startswith("mdl")], [], "temporary files left")

    @unittest.skipIf((os.cpu_count() or 1) < 2, "one processor: every decode runs on one thread")
    def test_long_files_decode_on_several_processors_as_on_one(self):
        # Minutes of noise and tones, so that the file spans many segments, at rates, bit rates
        # and modes that lean on the bit reservoir to different depths.
        cases = [
            ("cbr_stereo", 44100, 2, ["lame", "-b", "128"]),
            ("vbr_low_mono", 22050, 1, ["lame", "-V", "9"]),
            ("mpeg25_8k", 8000, 1, ["lame", "-b", "8"]),
            ("sox_joint_stereo", 48000, 2, ["sox", "-C", "96"]),
        ]
        for name, rate, channels, tool in cases:
            with self.subTest(name):
                src = os.path.join(self.dir, name + ".wav")
                mp3 = os.path.join(self.dir, name + ".mp3")
                subprocess.run(["sox", "-n", "-r", str(rate), "-c", str(channels), "-b", "16", src, "synth", "200",
                                "pinknoise", "synth", "200", "sine", "mix", "100-3000", "tremolo", "3", "60",
                                "vol", "0.5"], check=True)
                if tool[0] == "lame":
                    subprocess.run(["lame", "--quiet"] + tool[1:] + [src, mp3], check=True)
                else:
                    subprocess.run(["sox", src] + tool[1:] + [mp3], check=True)
                many, one = os.path.join(self.dir, "many.wav"), os.path.join(self.dir, "one.wav")
                result_many, stats_many = self.decode(mp3, many)
                result_one, stats_one = self.decode(mp3, one, "--one-cpu")
                self.assertEqual((result_many, result_one), (0, 0))
                self.assertGreater(stats_one["frames"], 2500)
                self.assertEqual(stats_many, stats_one)
                with open(many, "rb") as a, open(one, "rb") as b:
                    self.assertTrue(a.read() == b.read(), "the WAVs differ")
                for f in (src, mp3, many, one):
                    os.remove(f)

    def test_a_stream_that_changes_format_keeps_the_first_one(self):
        # Two files joined: 44,100 Hz stereo, then 22,050 Hz mono (440 and 880 Hz tones).
        first = self.make("first.mp3", ["lame", "-b", "128", "-t"], (44100, 2))
        second = self.make("second.mp3", ["lame", "-b", "64", "-t"], (22050, 1))
        joined = os.path.join(self.dir, "joined.mp3")
        with open(joined, "wb") as out:
            for part in (first, second):
                with open(part, "rb") as f:
                    out.write(f.read())
        lengths = []
        for part in (first, second):
            ref = os.path.join(self.dir, "part.wav")
            subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", part, "-f", "wav", ref], check=True)
            (channels, _, _), samples = read_wav(ref)
            lengths.append(len(samples) // channels)
            os.remove(ref)
        wav = os.path.join(self.dir, "joined.wav")
        result, _ = self.decode(joined, wav)
        self.assertEqual(result, 0)
        (channels, rate, _), samples = read_wav(wav)
        self.assertEqual((rate, channels), (44100, 2))
        frames = len(samples) // 2
        # The second part is resampled to twice its length; the decoder may lose a frame at the join.
        self.assertAlmostEqual(frames, lengths[0] + 2 * lengths[1], delta=1152)
        # Zero crossings a second in the joined file's second part match the source's.
        (_, src_rate, _), src = read_wav(self.sources[(22050, 1)][0])
        want = crossing_rate(src[4000:-4000], src_rate)
        tail = samples[2 * (lengths[0] + 4000):2 * (frames - 4000)]
        for c in range(2):
            self.assertAlmostEqual(crossing_rate(tail[c::2], 44100), want, delta=want * 0.02,
                                   msg="pitch of channel %d" % c)
        for f in (first, second, joined, wav):
            os.remove(f)

    def test_truncated_files_fail_and_leave_no_wav(self):
        tagged = self.make("tagged.mp3", ["lame", "-b", "128"], (44100, 2))
        plain = self.make("plain.mp3", ["lame", "-b", "64", "-t"], (44100, 1))
        with open(tagged, "rb") as f:
            tagged_bytes = f.read()
        with open(plain, "rb") as f:
            plain_bytes = f.read()
        tagged_frames = frame_offsets(tagged_bytes)
        plain_frames = frame_offsets(plain_bytes)
        self.assertGreater(len(tagged_frames), 50)
        cases = [
            ("inside a frame", tagged_bytes[:tagged_frames[40] + 100]),
            ("inside the last frame", plain_bytes[:-7]),
            # Whole frames, but fewer than the Info header counts.
            ("at a frame boundary", tagged_bytes[:tagged_frames[40]]),
        ]
        self.assertGreater(plain_frames[-1], 0)
        folder = os.path.join(self.dir, "truncated")
        os.mkdir(folder)
        for what, data in cases:
            with self.subTest(what):
                mp3 = os.path.join(folder, "cut.mp3")
                with open(mp3, "wb") as f:
                    f.write(data)
                result, _ = self.decode(mp3, os.path.join(folder, "cut.wav"))
                self.assertEqual(result, ERR_TRUNCATED)
                self.assertEqual(self.leftovers(folder, ["cut.mp3"]), [])
        shutil.rmtree(folder)
        os.remove(tagged)
        os.remove(plain)

    def test_unwritable_output_fails_and_leaves_nothing(self):
        mp3 = self.make("good.mp3", ["lame", "-b", "64"], (22050, 1))
        folder = os.path.join(self.dir, "target")
        os.mkdir(folder)
        os.mkdir(os.path.join(folder, "taken.wav"))
        for what, out in [("missing folder", os.path.join(self.dir, "no_such_folder", "x.wav")),
                          ("a folder stands at the path", os.path.join(folder, "taken.wav"))]:
            with self.subTest(what):
                result, _ = self.decode(mp3, out)
                self.assertEqual(result, ERR_WRITE_OUTPUT)
                self.assertEqual(self.leftovers(folder, ["taken.wav"]), [])
        shutil.rmtree(folder)
        os.remove(mp3)


if __name__ == "__main__":
    unittest.main()
