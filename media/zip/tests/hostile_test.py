#!/usr/bin/env python3
"""Hostile packages: traversal names, bzip2, LZMA and encrypted entries, flipped bytes, truncation
and a few hundred mutated archives. Each is opened and extracted the way the package loader does
(zip_tool extract-as) under a time-out: no crash, no hang, nothing made outside the root folder,
and no damaged entry passes as good."""
import concurrent.futures
import os
import random
import shutil
import subprocess
import sys
import tempfile
import zipfile

sys.dont_write_bytecode = True  # keep the source folder clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zipscript import check, finish, tool, results, text_bytes, write_wav, make_mp3  # noqa: E402

MUTATIONS = 300
TIMEOUT = 30
EVIL_TMP = "/tmp/qm-zip-evil-%d" % os.getpid()


def make_seeds(work):
    src = os.path.join(work, "src")
    os.makedirs(src)
    with open(os.path.join(src, "lesson.txt"), "wb") as f:
        f.write(text_bytes(30000))
    with open(os.path.join(src, "lesson.cif"), "wb") as f:
        f.write(bytes(range(64)))
    write_wav(os.path.join(src, "lesson.wav"), seconds=1.0)
    make_mp3(os.path.join(src, "lesson.wav"), os.path.join(src, "lesson.mpa"))
    seeds = {}
    rc, out = tool(["create", "ours.qpk", "mem:lesson.txt=src/lesson.txt", "file:lesson.mpa=src/lesson.mpa",
                    "mem:lesson.cif=src/lesson.cif", "folder:notes", "mem:notes/more.txt=src/lesson.txt"], work)
    check(rc == 0, f"seed create rc={rc} {out}")
    seeds["ours"] = os.path.join(work, "ours.qpk")
    p = os.path.join(work, "infozip.zip")
    subprocess.run(["zip", "-q", "-r", "-9", p, "src"], cwd=work, check=True)
    seeds["infozip"] = p
    p = os.path.join(work, "python-stored.zip")
    with zipfile.ZipFile(p, "w", zipfile.ZIP_STORED) as z:
        z.write(os.path.join(src, "lesson.cif"), "lesson.cif")
        z.write(os.path.join(src, "lesson.txt"), "lesson.txt")
        z.comment = b"a comment"
    seeds["python-stored"] = p
    return {k: open(v, "rb").read() for k, v in seeds.items()}


def dir_info(name):
    i = zipfile.ZipInfo(name)
    i.external_attr = (0o40755 << 16) | 0x10
    return i


def fixtures(work):
    """(name, bytes, expectation) with expectation a function of the tool's output lines."""
    out = []
    p = os.path.join(work, "traversal.zip")
    with zipfile.ZipFile(p, "w", zipfile.ZIP_DEFLATED) as z:
        for name in ["../evil-file1.txt", "..\\evil-file2.txt", EVIL_TMP + "/evil-file3.txt", "C:\\evil-file4.txt",
                     "sub/../../evil-file5.txt"]:
            z.writestr(name, b"should land only inside the root")
        for name in ["../evil-dir1/", "..\\evil-dir2\\", EVIL_TMP + "/", "Z:" + EVIL_TMP + "-2/", "a/../../evil-dir3/",
                     "ok/../../../evil-dir4/", "ok/.. /evil-dir5/"]:
            z.writestr(dir_info(name), b"")

    def traversal_ok(lines):
        codes = {int(u[1]): u[2] for u in results(lines, "unzip")}
        return all(codes.get(i) == "0x200" for i in range(5, 12))
    out.append(("traversal", open(p, "rb").read(), traversal_ok))

    def refused(codes_wanted):
        def ok(lines):
            entries = results(lines, "entry")
            unz = results(lines, "unzip")
            return bool(entries) and all(e[2] in codes_wanted for e in entries) and all(u[2] in codes_wanted for u in unz)
        return ok

    for method, name in ((zipfile.ZIP_BZIP2, "bzip2"), (zipfile.ZIP_LZMA, "lzma")):
        p = os.path.join(work, name + ".zip")
        with zipfile.ZipFile(p, "w", method) as z:
            z.writestr("lesson.txt", text_bytes(5000))
            z.writestr("lesson.cif", bytes(64))
        out.append((name, open(p, "rb").read(), refused({"0x700"})))
    p = os.path.join(work, "encrypted.zip")
    subprocess.run(["zip", "-q", "-j", "-P", "secret", p, os.path.join(work, "src", "lesson.txt"),
                    os.path.join(work, "src", "lesson.cif")], check=True)
    out.append(("encrypted", open(p, "rb").read(), refused({"0x700"})))
    return out


def signatures(data):
    """Offsets of every local header, central record and end record."""
    offs = []
    for sig in (b"PK\x03\x04", b"PK\x01\x02", b"PK\x05\x06"):
        at = data.find(sig)
        while at >= 0:
            offs.append((sig, at))
            at = data.find(sig, at + 1)
    return offs


def mutate(data, rnd):
    d = bytearray(data)
    sigs = signatures(data)
    for _ in range(rnd.randint(1, 4)):
        op = rnd.random()
        if op < 0.45 and sigs:
            # A header field set to an extreme or random value.
            sig, at = rnd.choice(sigs)
            size = {b"PK\x03\x04": 30, b"PK\x01\x02": 46, b"PK\x05\x06": 22}[sig]
            field = at + rnd.randrange(4, size - 1)
            width = rnd.choice((1, 2, 4))
            value = rnd.choice((0, 0xFF, 0xFFFF, 0xFFFFFFFF, 0x7FFFFFFF, rnd.getrandbits(32), 1, 8, 12))
            for k in range(width):
                if field + k < len(d):
                    d[field + k] = (value >> (8 * k)) & 0xFF
        elif op < 0.75 and d:
            for _ in range(rnd.randint(1, 8)):
                d[rnd.randrange(len(d))] ^= 1 << rnd.randrange(8)
        elif op < 0.85 and d:
            del d[rnd.randrange(len(d)):]
        elif op < 0.93 and d:
            at = rnd.randrange(len(d))
            d[at:at] = bytes(rnd.getrandbits(8) for _ in range(rnd.randint(1, 40)))
        elif d:
            at = rnd.randrange(len(d))
            del d[at:at + rnd.randint(1, 40)]
    return bytes(d)


def run_case(work, index, name, data):
    case = os.path.join(work, "case-%04d" % index)
    root = os.path.join(case, "root")
    os.makedirs(root)
    with open(os.path.join(case, "a.zip"), "wb") as f:
        f.write(data)
    rc, lines = tool(["extract-as", "..\\a.zip", "out", "base"], root, timeout=TIMEOUT)
    problems = []
    if rc is None:
        problems.append("hang (time-out)")
    elif rc not in (0, 1, 2):
        problems.append(f"crash (rc={rc})")
    outside = sorted(set(os.listdir(case)) - {"root", "a.zip"})
    if outside:
        problems.append(f"made outside the root: {outside}")
    shutil.rmtree(case, ignore_errors=True)
    return name, rc, lines, problems


def main():
    work = tempfile.mkdtemp(prefix="zip-hostile-")
    try:
        seeds = make_seeds(work)
        originals = {}
        with zipfile.ZipFile(os.path.join(work, "ours.qpk")) as z:
            for i in z.infolist():
                originals[i.filename] = z.read(i)
        cases = []
        fixed = fixtures(work)
        expectations = {}
        for name, data, expect in fixed:
            cases.append((name, data))
            expectations[name] = expect
        # Truncation at 20 points across the package; and 20 cuts that keep the central directory
        # and end record, so the records point past the data that is left.
        ours = seeds["ours"]
        directory = ours.rfind(b"PK\x05\x06")
        directory = int.from_bytes(ours[directory + 16:directory + 20], "little")
        for k in range(20):
            cases.append((f"truncated-{k}", ours[:len(ours) * k // 20]))
            keep = directory * k // 20
            cut = bytearray(ours[:keep] + ours[directory:])
            cut[-6:-2] = keep.to_bytes(4, "little")  # the directory's new offset
            cases.append((f"cut-{k}", bytes(cut)))
        # Flipped bytes inside the entry data only: every entry either fails or comes out intact.
        rnd = random.Random(1234)
        data_start = 30 + len("lesson.txt") + 17
        for k in range(30):
            d = bytearray(ours)
            d[data_start + rnd.randrange(2000)] ^= 1 << rnd.randrange(8)
            cases.append((f"flipped-{k}", bytes(d)))
        for k in range(MUTATIONS):
            seed_name = rnd.choice(sorted(seeds))
            cases.append((f"mutated-{k}-{seed_name}", mutate(seeds[seed_name], rnd)))

        with concurrent.futures.ThreadPoolExecutor(max_workers=min(8, os.cpu_count() or 2)) as pool:
            futures = [pool.submit(run_case, work, i, n, d) for i, (n, d) in enumerate(cases)]
            done = [f.result() for f in futures]

        outcomes = {"ok": 0, "refused": 0, "unopened": 0}
        for name, rc, lines, problems in done:
            for p in problems:
                check(False, f"{name}: {p}")
            if name in expectations:
                check(expectations[name](lines), f"{name}: unexpected results {lines}")
            if name.startswith("flipped"):
                # The flipped entry (index 0, lesson.txt) must not pass as good.
                unz = {int(u[1]): u[2] for u in results(lines, "unzip")}
                check(unz.get(0) not in (None, "0x0"), f"{name}: damaged entry passed as good {lines}")
            outcomes["ok" if rc == 0 else "unopened" if rc == 2 else "refused"] += 1
        leftovers = sorted(n for n in os.listdir(work) if n.startswith("case-") or "evil" in n)
        check(not leftovers, f"left in the work folder: {leftovers}")
        for p in (EVIL_TMP, EVIL_TMP + "-2"):
            check(not os.path.exists(p), f"{p} was created")
        print(f"{len(done)} archives: {outcomes['ok']} extracted cleanly, {outcomes['refused']} with entries refused, "
              f"{outcomes['unopened']} not opened", flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
        for p in (EVIL_TMP, EVIL_TMP + "-2"):
            shutil.rmtree(p, ignore_errors=True)
    finish()


if __name__ == "__main__":
    main()
