#!/usr/bin/env python3
"""Interoperability both ways: archives our writer makes pass unzip -t, zipinfo, python's zipfile
and 7z and extract byte for byte with each; archives those tools make (stored, deflated, data
descriptors, zip64 records, a stub in front, the longest comment, folders, runs of one byte) extract
byte for byte with our reader."""
import os
import random
import shutil
import subprocess
import sys
import tempfile
import zipfile

sys.dont_write_bytecode = True  # keep the source folder clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zipscript import check, finish, tool, results, text_bytes, write_wav, make_mp3, Unseekable  # noqa: E402


def same_tree(expected, actual_root, what):
    """expected: {relative path: bytes}; every file must be there with exactly those bytes."""
    ok = True
    for rel, data in expected.items():
        p = os.path.join(actual_root, rel)
        if not os.path.isfile(p):
            ok = check(False, f"{what}: {rel} missing")
            continue
        with open(p, "rb") as f:
            ok = check(f.read() == data, f"{what}: {rel} differs") and ok
    return ok


def make_sources(src):
    rnd = random.Random(5)
    files = {
        "notes.txt": text_bytes(200000),
        "random.bin": bytes(rnd.getrandbits(8) for _ in range(100000)),
        "empty.dat": b"",
        "big.txt": text_bytes(1500000, seed=2),
    }
    # A match 32,506 bytes back still pending when the window slides for the last time.
    edge = bytearray(rnd.getrandbits(8) for _ in range(65300))
    edge[32767:32777] = edge[65273:65283] = b"ABCDEFGHIJ"
    files["edge.bin"] = bytes(edge)
    for name, data in files.items():
        with open(os.path.join(src, name), "wb") as f:
            f.write(data)
    write_wav(os.path.join(src, "pcm.wav"))
    make_mp3(os.path.join(src, "pcm.wav"), os.path.join(src, "tone.mp3"))
    subprocess.run(["zip", "-q", "-j", os.path.join(src, "nested.zip"), os.path.join(src, "notes.txt")], check=True)
    for name in ("pcm.wav", "tone.mp3", "nested.zip"):
        with open(os.path.join(src, name), "rb") as f:
            files[name] = f.read()
    return files


def ours_to_tools(work, src, files):
    specs = [
        "mem:notes.txt=src/notes.txt",
        "file:sound\\tone.mp3=src/tone.mp3",
        "file:pcm.wav=src/pcm.wav",
        "handle:random.bin=src/random.bin",
        "file:empty.dat=src/empty.dat",
        "file:inner.zip=src/nested.zip",
        "folder:docs",
        "file:docs/big.txt=src/big.txt",
        "file:edge.bin=src/edge.bin",
    ]
    expected = {
        "notes.txt": files["notes.txt"], "sound/tone.mp3": files["tone.mp3"], "pcm.wav": files["pcm.wav"],
        "random.bin": files["random.bin"], "empty.dat": b"", "inner.zip": files["nested.zip"],
        "docs/big.txt": files["big.txt"], "edge.bin": files["edge.bin"],
    }
    rc, out = tool(["create", "ours.zip"] + specs, work)
    check(rc == 0, f"create ours.zip rc={rc} {out}")
    archive = os.path.join(work, "ours.zip")

    r = subprocess.run(["unzip", "-t", archive], capture_output=True, text=True)
    check(r.returncode == 0 and "No errors detected" in r.stdout, f"unzip -t: {r.stdout} {r.stderr}")

    r = subprocess.run(["zipinfo", archive], capture_output=True, text=True)
    check(r.returncode == 0, f"zipinfo rc={r.returncode} {r.stderr}")
    methods = {line.split()[-1]: line.split()[5] for line in r.stdout.splitlines() if line[:1] in "-d?"}
    check(methods.get("notes.txt") == "defX", f"zipinfo method of notes.txt: {methods.get('notes.txt')}")
    check(methods.get("inner.zip") == "stor", f"zipinfo method of inner.zip: {methods.get('inner.zip')}")
    check(methods.get("docs/") == "stor", f"zipinfo method of docs/: {methods.get('docs/')}")

    with zipfile.ZipFile(archive) as z:
        check(z.testzip() is None, "python zipfile testzip")
        names = [i.filename for i in z.infolist()]
        check(names == ["notes.txt", "sound/tone.mp3", "pcm.wav", "random.bin", "empty.dat", "inner.zip",
                        "docs/", "docs/big.txt", "edge.bin"], f"python names {names}")
        for info in z.infolist():
            check(info.create_system == 11 and info.create_version == 0x17 and info.extract_version == 20,
                  f"{info.filename}: version fields {info.create_system} {info.create_version} {info.extract_version}")
            check(info.flag_bits & 8 == 0, f"{info.filename}: data descriptor flag set")
            check(info.extra[:5] == b"UT\x05\x00\x07" and len(info.extra) == 9, f"{info.filename}: central extra {info.extra!r}")
            if info.filename in expected:
                check(z.read(info) == expected[info.filename], f"python read {info.filename}")
        check(z.getinfo("notes.txt").external_attr == 0x80000000, "memory entry attributes")
        check(z.getinfo("docs/").external_attr == 0x41C00010, "folder entry attributes")
        check(z.getinfo("random.bin").compress_type == zipfile.ZIP_DEFLATED, "random data stays deflated")
        check(z.getinfo("random.bin").compress_size > 100000, "random data made of stored blocks")

    r = subprocess.run(["7z", "t", archive], capture_output=True, text=True)
    check(r.returncode == 0 and "Everything is Ok" in r.stdout, f"7z t: {r.stdout[-400:]}")
    out7 = os.path.join(work, "out7z")
    r = subprocess.run(["7z", "x", "-y", "-o" + out7, archive], capture_output=True, text=True)
    check(r.returncode == 0, f"7z x: {r.stdout[-400:]}")
    same_tree(expected, out7, "7z x")
    outu = os.path.join(work, "outunzip")
    r = subprocess.run(["unzip", "-q", "-o", archive, "-d", outu], capture_output=True, text=True)
    check(r.returncode == 0, f"unzip: {r.stderr}")
    same_tree(expected, outu, "unzip")

    # An archive with no entries: 22 bytes that every tool reads as empty.
    rc, out = tool(["create", "none.zip"], work)
    check(rc == 0, f"create none.zip rc={rc}")
    with open(os.path.join(work, "none.zip"), "rb") as f:
        check(f.read() == b"PK\x05\x06" + bytes(18), "empty archive bytes")
    with zipfile.ZipFile(os.path.join(work, "none.zip")) as z:
        check(z.infolist() == [], "python: empty archive")
    r = subprocess.run(["7z", "t", os.path.join(work, "none.zip")], capture_output=True, text=True)
    check(r.returncode == 0, f"7z t empty: {r.stdout[-300:]}")


def tools_to_ours(work, src, files):
    tree = os.path.join(work, "tree")
    content = {
        "lesson/notes.txt": files["notes.txt"],
        "lesson/audio/tone.mp3": files["tone.mp3"],
        "lesson/audio/pcm.wav": files["pcm.wav"],
        "lesson/random.bin": files["random.bin"],
        "lesson/empty.dat": b"",
        "lesson/big.txt": files["big.txt"],
    }
    # Runs of one byte: deflated, a few input bytes give more output than one read takes.
    for n in (16387, 32769, 65537):
        content[f"lesson/run{n}.bin"] = b"\x55" * n
    for rel, data in content.items():
        os.makedirs(os.path.dirname(os.path.join(tree, rel)), exist_ok=True)
        with open(os.path.join(tree, rel), "wb") as f:
            f.write(data)
    made = {}

    def infozip(name, *flags):
        p = os.path.join(work, name)
        subprocess.run(["zip", "-q", "-r", *flags, p, "lesson"], cwd=tree, check=True)
        made[name] = p

    infozip("infozip-stored.zip", "-0")
    infozip("infozip-deflated.zip", "-9")
    infozip("infozip-zip64.zip", "-fz")  # zip64 blocks and end record, the values all small
    # Written to a pipe, zip cannot seek back: sizes and CRC go into data descriptors.
    p = os.path.join(work, "infozip-stream.zip")
    r = subprocess.run(["zip", "-q", "-r", "-", "lesson"], cwd=tree, stdout=subprocess.PIPE, check=True)
    with open(p, "wb") as f:
        f.write(r.stdout)
    made["infozip-stream.zip"] = p

    p = os.path.join(work, "7z-deflate.zip")
    subprocess.run(["7z", "a", "-tzip", "-mm=Deflate", "-mx=9", p, "lesson"], cwd=tree, check=True, capture_output=True)
    made["7z-deflate.zip"] = p
    p = os.path.join(work, "7z-copy.zip")
    subprocess.run(["7z", "a", "-tzip", "-mm=Copy", p, "lesson"], cwd=tree, check=True, capture_output=True)
    made["7z-copy.zip"] = p

    def pyzip(name, method, comment=b"", stream=False):
        p = os.path.join(work, name)
        with open(p, "wb") as f:
            target = Unseekable(f) if stream else f
            with zipfile.ZipFile(target, "w", method) as z:
                for rel, data in content.items():
                    z.writestr(rel, data)
                z.comment = comment
        made[name] = p

    pyzip("python-deflated-longest-comment.zip", zipfile.ZIP_DEFLATED, comment=b"c" * 65535)
    pyzip("python-stored.zip", zipfile.ZIP_STORED, comment=b"lesson package")
    pyzip("python-descriptors.zip", zipfile.ZIP_DEFLATED, stream=True)

    # A stub in front without adjusting the offsets, and one that zip -A adjusted.
    stub = bytes(random.Random(3).getrandbits(8) for _ in range(100))

    def with_stub(name, source):
        with open(made[source], "rb") as f:
            body = f.read()
        made[name] = os.path.join(work, name)
        with open(made[name], "wb") as f:
            f.write(stub + body)
        return made[name]

    with_stub("stub-unadjusted.zip", "infozip-deflated.zip")
    subprocess.run(["zip", "-q", "-A", with_stub("stub-adjusted.zip", "infozip-deflated.zip")], check=True)
    with_stub("stub-zip64-unadjusted.zip", "infozip-zip64.zip")

    with zipfile.ZipFile(made["infozip-stream.zip"]) as z:
        check(any(i.flag_bits & 8 for i in z.infolist()), "infozip stream archive has data descriptors")
    with zipfile.ZipFile(made["python-descriptors.zip"]) as z:
        check(all(i.flag_bits & 8 for i in z.infolist()), "python stream archive has data descriptors")

    for name, path in sorted(made.items()):
        root = os.path.join(work, "x-" + name)
        os.makedirs(root)
        rc, out = tool(["extract", os.path.relpath(path, root)], root)
        unz = results(out, "unzip")
        check(rc == 0, f"{name}: our extract rc={rc}: {[u for u in unz if u[2] != '0x0']}")
        check(len(unz) >= len(content), f"{name}: {len(unz)} entries extracted")
        same_tree(content, root, f"{name} by our reader")
        if name.startswith("infozip"):
            # Info-ZIP writes UT times: the file gets the source's modification time (UTC).
            for rel in content:
                a = os.stat(os.path.join(tree, rel)).st_mtime
                b = os.stat(os.path.join(root, rel)).st_mtime if os.path.exists(os.path.join(root, rel)) else 0
                check(abs(a - b) < 1.0, f"{name}: {rel} modification time {b} vs {a}")


def main():
    work = tempfile.mkdtemp(prefix="zip-interop-")
    try:
        src = os.path.join(work, "src")
        os.makedirs(src)
        files = make_sources(src)
        ours_to_tools(work, src, files)
        tools_to_ours(work, src, files)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    finish()


if __name__ == "__main__":
    main()
