#!/usr/bin/env python3
"""Packages from other tools and our own packages whose entries deflate to long runs: each loads
with every chunk and text. The other tools (Python's zipfile, Info-ZIP zip, 7z) repack the entries
of a package of ours: stored and deflated, with data descriptors, an archive comment, the entries in
another order, extra entries beside them, and zip64 records; a zip64 sound entry beyond 4 GiB fails
the load without harm."""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

sys.dont_write_bytecode = True  # keep the source folder clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests", "support"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "zip", "tests"))
from qmcheck import check, finish, run_tool  # noqa: E402
from zipscript import Unseekable  # noqa: E402

BIN = os.environ.get("QM_BIN", "")
TOOL = os.path.join(BIN, "soundfile_tool.exe")
WORK = None


def tool(*args):
    """Runs soundfile_tool in the work folder: (rc, dumps, stderr)."""
    return run_tool(TOOL, args, WORK)


def sox(path, *effects):
    subprocess.run(["sox", "-n", "-r", "44100", "-c", "1", "-b", "16", path, *effects], check=True)


def save_and_reload(name, src, *edits):
    """Saves src with the edits as a package of ours and loads it back: (dump before, dump after)."""
    qpk = os.path.join(WORK, name)
    rc, before, err = tool("load", [src], *edits, "dump", "save", [qpk])
    if not check(rc == 0 and before, f"{name}: saving failed: {err[-500:]}"):
        return None, None
    rc, after, err = tool("load", [qpk], "dump")
    if not check(rc == 0 and after, f"{name}: the package does not load again: {err[-500:]}"):
        return before[0], None
    return before[0], after[0]


def same_track(what, expected, got):
    """Chunk starts within 1 ms (the table holds milliseconds), texts exactly, texts present."""
    if not check(got is not None, f"{what}: no track"):
        return
    want, have = expected["chunks"], got["chunks"]
    if not check(len(have) == len(want), f"{what}: {len(have)} chunks, not {len(want)}"):
        return
    check(all(abs(h[0] - w[0]) <= 45 for h, w in zip(have, want)), f"{what}: chunk starts moved")
    check([h[2] for h in have] == [w[2] for w in want], f"{what}: texts differ: {[h[2] for h in have][:5]}...")
    check(got["textsPresent"] == 1, f"{what}: texts present not set")


def own_packages():
    """Packages whose entries deflate to runs, where zlib ends a read holding output."""
    tone = os.path.join(WORK, "tone_silence.wav")
    sox(tone, "synth", "1", "sine", "440", "vol", "0.4", "pad", "0", "21.5")
    before, after = save_and_reload("ToneSilence.qpk", tone)
    if after:
        frames = after["dataSize"] // 2
        check(abs(frames - 22.5 * 44100) <= 3 * 1152, f"tone and silence: {frames} frames come back")
        check(len(after["chunks"]) == 1, "tone and silence: one chunk")

    many = os.path.join(WORK, "many.wav")
    sox(many, "synth", "21", "sine", "300", "vol", "0.3")
    cuts = ",".join(str(10 * i) for i in range(1, 2047))
    texts = "|".join(f"t{i}" for i in range(2047))
    before, after = save_and_reload("ManyChunks.qpk", many, "split", cuts, "texts", texts)
    if before:
        check(len(before["chunks"]) == 2047, f"the track to save has {len(before['chunks'])} chunks")
    same_track("2,047 chunks with short texts", before, after)


def entries_of(qpk):
    with zipfile.ZipFile(qpk) as z:
        return {i.filename: z.read(i) for i in z.infolist()}


def repacked(src_entries, work):
    """Packages of the same entries made by other tools: {name: path}."""
    made = {}
    stems = {n.rsplit(".", 1)[1]: data for n, data in src_entries.items()}
    tree = os.path.join(work, "tree")
    os.makedirs(os.path.join(tree, "docs"))
    files = {f"Other Name.{ext}": data for ext, data in stems.items()}
    files["docs/readme"] = b"read me\n"
    files["cover.jpg"] = b"\xff\xd8\xff\xe0 not really a picture"
    for name, data in files.items():
        with open(os.path.join(tree, name), "wb") as f:
            f.write(data)
    order = ["Other Name.txt", "Other Name.mpa", "Other Name.cif"]
    reordered = ["Other Name.cif", "Other Name.txt", "Other Name.mpa"]
    extra = order + ["cover.jpg", "docs/readme", "docs/"]

    def pyzip(name, names, method, comment=b"", stream=False, zip64=False):
        p = os.path.join(work, name)
        with open(p, "wb") as f:
            target = Unseekable(f) if stream else f
            with zipfile.ZipFile(target, "w", method) as z:
                for n in names:
                    if n.endswith("/"):
                        z.writestr(n, b"")
                        continue
                    info = zipfile.ZipInfo(n, date_time=(2024, 5, 6, 7, 8, 10))
                    info.compress_type = method
                    with z.open(info, "w", force_zip64=zip64) as e:
                        e.write(files[n])
                z.comment = comment
        made[name] = p

    pyzip("python stored.qpk", order, zipfile.ZIP_STORED)
    pyzip("python deflated.qpk", order, zipfile.ZIP_DEFLATED)
    pyzip("python descriptors.qpk", order, zipfile.ZIP_DEFLATED, stream=True)
    pyzip("python comment.qpk", order, zipfile.ZIP_DEFLATED, comment=b"lesson 7, " * 300)
    pyzip("python reordered.qpk", reordered, zipfile.ZIP_DEFLATED)
    pyzip("python extra entries.qpk", extra, zipfile.ZIP_DEFLATED)
    pyzip("python zip64.qpk", order, zipfile.ZIP_DEFLATED, zip64=True)

    def infozip(name, names, *flags, stdin=None):
        p = os.path.join(work, name)
        subprocess.run(["zip", "-q", *flags, p, *names], cwd=tree, check=True, input=stdin)
        made[name] = p

    infozip("infozip stored.qpk", order, "-0")
    infozip("infozip deflated.qpk", order, "-9")
    infozip("infozip comment.qpk", order, "-z", stdin=b"a lesson from the teacher\n.\n")
    infozip("infozip reordered.qpk", reordered)
    infozip("infozip extra entries.qpk", ["-r"] + order + ["docs"])
    infozip("infozip zip64.qpk", order, "-fz")
    # Written to a pipe, zip cannot seek back: sizes and CRC-32 go into data descriptors.
    p = os.path.join(work, "infozip descriptors.qpk")
    r = subprocess.run(["zip", "-q", "-", *order], cwd=tree, check=True, stdout=subprocess.PIPE)
    with open(p, "wb") as f:
        f.write(r.stdout)
    made["infozip descriptors.qpk"] = p

    def sevenzip(name, names, *flags):
        p = os.path.join(work, name)
        subprocess.run(["7z", "a", "-tzip", *flags, p, *names], cwd=tree, check=True, capture_output=True)
        made[name] = p

    # 7z writes the entries sorted by name: .cif, .mpa, .txt.
    sevenzip("7z stored.qpk", order, "-mm=Copy")
    sevenzip("7z deflated.qpk", order, "-mm=Deflate", "-mx=9")
    sevenzip("7z extra entries.qpk", extra[:-1], "-mm=Deflate")
    return made


def shows_its_kind(name, path):
    """The archive has what its name promises, so that no case quietly tests less."""
    with zipfile.ZipFile(path) as z:
        infos, comment = z.infolist(), z.comment
    with open(path, "rb") as f:
        data = f.read()
    methods = {i.compress_type for i in infos if not i.filename.endswith("/")}
    kinds = {
        "stored": methods == {zipfile.ZIP_STORED},
        "deflated": zipfile.ZIP_DEFLATED in methods,
        "descriptors": any(i.flag_bits & 8 for i in infos),
        "comment": len(comment) > 0,
        "reordered": infos[0].filename.endswith(".cif"),
        "extra entries": len(infos) > 3,
        "zip64": b"\xff\xff\xff\xff\xff\xff\xff\xff" in data[:64] or b"PK\x06\x06" in data,
    }
    for kind, shown in kinds.items():
        if kind in name:
            check(shown, f"{name}: the archive is not {kind}")


def claim_beyond_4gib(src, dst, suffix):
    """A copy of src whose central zip64 block gives the entry ending in suffix 4 GiB more."""
    with open(src, "rb") as f:
        data = bytearray(f.read())
    pos = data.find(b"PK\x01\x02")
    while pos >= 0:
        name_length, extra_length = struct.unpack_from("<HH", data, pos + 28)
        at = pos + 46 + name_length
        if bytes(data[pos + 46:at]).endswith(suffix):
            while at + 4 <= pos + 46 + name_length + extra_length:
                tag, size = struct.unpack_from("<HH", data, at)
                if tag == 1:
                    data[at + 8] += 1  # bit 32 of the first value, the uncompressed size
                at += 4 + size
        pos = data.find(b"PK\x01\x02", pos + 4)
    with open(dst, "wb") as f:
        f.write(data)


def foreign_packages():
    src = os.path.join(WORK, "lesson.wav")
    sox(src, "synth", "4.2", "sine", "440", "vol", "0.4")
    # Long enough that every tool deflates the .txt rather than storing it.
    texts = ["Hello, listen and repeat. " * 8, "", "\u00e9t\u00e9 \u4e2d\u6587 " * 20, "the end"]
    before, original = save_and_reload("Lesson.qpk", src, "split", "1000,1500,3100", "texts", "|".join(texts))
    same_track("our own package", before, original)
    if not original:
        return
    made = repacked(entries_of(os.path.join(WORK, "Lesson.qpk")), os.path.join(WORK, "repacked"))
    for name, path in sorted(made.items()):
        shows_its_kind(name, path)
        with zipfile.ZipFile(path) as z:
            check(z.testzip() is None, f"{name}: zipfile finds it damaged")
        rc, dumps, err = tool("load", [path], "dump")
        if check(rc == 0 and dumps, f"{name}: does not load: {err[-500:]}"):
            same_track(name, original, dumps[0])
            check(dumps[0]["dataSize"] == original["dataSize"], f"{name}: other sound data")
    # A zip64 sound entry beyond 4 GiB cannot be read: the load fails, it does not crash.
    huge = os.path.join(WORK, "repacked", "huge zip64.qpk")
    claim_beyond_4gib(made["infozip zip64.qpk"], huge, b".mpa")
    with zipfile.ZipFile(huge) as z:
        check(z.getinfo("Other Name.mpa").file_size > 1 << 32, "the zip64 entry does not claim more than 4 GiB")
    rc, dumps, err = tool("load", [huge], "dump")
    check(rc == 1 and not dumps, f"a sound entry beyond 4 GiB: rc {rc}, {len(dumps)} dumps")


def main():
    if not os.path.exists(TOOL):
        print("soundfile_tool.exe is missing", flush=True)
        sys.exit(1)
    global WORK
    WORK = tempfile.mkdtemp(prefix="qmpk")
    try:
        own_packages()
        foreign_packages()
    finally:
        shutil.rmtree(WORK, ignore_errors=True)
    finish()


if __name__ == "__main__":
    main()
