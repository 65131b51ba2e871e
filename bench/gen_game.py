#!/usr/bin/env python3
"""Writes version N of a game-shaped tree into DIR, the same bytes every time:
a few big pack files (half like compressed textures, which do not compress,
half like meshes and levels, which do) and thousands of small files. Each
version after 1 changes what a real release does: in every pack file a few MB
inserted, removed and overwritten; of the small files 2% edited, 1% added,
1% removed; one folder renamed.

usage: gen_game.py DIR VERSION [--packs MB,MB,...] [--small COUNT]
       (defaults: --packs 512,512 --small 10000)"""
import argparse, os, random

MiB = 1 << 20
CHUNK = MiB

ap = argparse.ArgumentParser()
ap.add_argument("dir")
ap.add_argument("version", type=int)
ap.add_argument("--packs", default="512,512")
ap.add_argument("--small", type=int, default=10000)
args = ap.parse_args()
packs = [int(x) for x in args.packs.split(",") if x]


def structured(stream, size):
    """Mesh-like records: vertices that drift, indices that count up."""
    rng = random.Random(stream)
    base = rng.randbytes(4096)
    out = bytearray()
    n = 0
    while len(out) < size:
        rec = bytearray(base[(n * 48) % 4000:(n * 48) % 4000 + 48])
        rec[0:4] = n.to_bytes(4, "little")
        rec[8 + rng.randrange(32)] = rng.randrange(256)
        out += rec
        n += 1
    return bytes(out[:size])


def chunk_bytes(kind, stream, size):
    if kind == "noise":
        return random.Random(stream).randbytes(size)
    return structured(stream, size)


def apply_edits(segments, rng, total):
    """segments: [(source, offset, length)] where source is "base" or a stream number
    for new bytes. Inserts, removes and overwrites a few MB."""
    def split(pos):
        out, at = [], 0
        for src, off, ln in segments_[0]:
            if at < pos < at + ln:
                cut = pos - at
                out += [(src, off, cut), (src, off + cut, ln - cut)]
            else:
                out.append((src, off, ln))
            at += ln
        segments_[0] = out

    def span(lo, hi):
        i, at, keep_before, keep_after = 0, 0, [], []
        for seg in segments_[0]:
            if at + seg[2] <= lo:
                keep_before.append(seg)
            elif at >= hi:
                keep_after.append(seg)
            at += seg[2]
        return keep_before, keep_after

    segments_ = [segments]
    for op in ("insert", "remove", "overwrite"):
        length = rng.randint(1, 4) * MiB + rng.randrange(MiB)
        pos = rng.randrange(0, max(1, total - length))
        if op == "insert":
            split(pos)
            before, after = span(pos, pos)
            segments_[0] = before + [(rng.randrange(1 << 60), 0, length)] + after
            total += length
        else:
            split(pos)
            split(pos + length)
            before, after = span(pos, pos + length)
            new = [(rng.randrange(1 << 60), 0, length)] if op == "overwrite" else []
            segments_[0] = before + new + after
            total -= 0 if op == "overwrite" else length
    return segments_[0], total


def write_pack(path, kind, stream, size_mb, version):
    total = size_mb * MiB
    segments = [("base", 0, total)]
    for v in range(2, version + 1):
        segments, total = apply_edits(segments, random.Random(stream * 1000 + v), total)
    cache = {}

    def base_chunk(i):
        if i not in cache:
            cache.clear()
            cache[i] = chunk_bytes(kind, (stream, i).__hash__() & 0xFFFFFFFF, CHUNK)
        return cache[i]

    with open(path, "wb") as f:
        for src, off, ln in segments:
            if src == "base":
                while ln > 0:
                    i, within = divmod(off, CHUNK)
                    piece = base_chunk(i)[within:within + ln]
                    f.write(piece)
                    off += len(piece)
                    ln -= len(piece)
            else:
                left, n = ln, 0
                while left > 0:
                    piece = chunk_bytes(kind, (src + n) & 0xFFFFFFFF, min(CHUNK, left))
                    f.write(piece)
                    left -= len(piece)
                    n += 1


def small_files(version):
    """The small files of a version: {relative path: (stream, size)}."""
    rng = random.Random(7)
    files = {}
    for n in range(args.small):
        folder = "Resources/area%02d/set%02d" % (n % 40, (n // 40) % 25)
        ext = rng.choice(["lua", "json", "txt", "dat", "png", "ogg"])
        size = max(16, min(int(rng.lognormvariate(9.5, 1.2)), 4 * MiB))
        files["%s/item%05d.%s" % (folder, n, ext)] = (n, size)
    for v in range(2, version + 1):
        vr = random.Random(v)
        names = sorted(files)
        for name in vr.sample(names, len(names) // 50):          # 2% edited
            stream, size = files[name]
            files[name] = (stream + 1000003 * v, size)
        for name in vr.sample(names, len(names) // 100):         # 1% removed
            files.pop(name, None)
        for i in range(len(names) // 100):                       # 1% added
            files["Resources/added%d/new%05d.dat" % (v, i)] = (5000000 + 100000 * v + i, vr.randint(100, 60000))
        renamed = "Resources/area%02d/" % (v % 40)                # one folder renamed
        for name in [k for k in files if k.startswith(renamed)]:
            files[name.replace(renamed, "Resources/area%02d-v%d/" % (v % 40, v), 1)] = files.pop(name)
    return files


app = os.path.join(args.dir, "Vantorique.app", "Contents")
os.makedirs(os.path.join(app, "MacOS"), exist_ok=True)
written = 0
for i, size_mb in enumerate(packs):
    kind = "noise" if i % 2 == 0 else "structured"
    path = os.path.join(app, "Resources", "pack%d.%s" % (i, "tex" if kind == "noise" else "geo"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    write_pack(path, kind, 100 + i, size_mb, args.version)
    written += os.path.getsize(path)
for name, (stream, size) in small_files(args.version).items():
    path = os.path.join(app, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    kind = "noise" if name.endswith((".png", ".ogg")) else "structured"
    with open(path, "wb") as f:
        f.write(chunk_bytes(kind, stream, size))
    written += size
with open(os.path.join(app, "MacOS", "Vantorique"), "w") as f:
    f.write("#!/bin/sh\necho game version %d\n" % args.version)
os.chmod(os.path.join(app, "MacOS", "Vantorique"), 0o755)
print("version %d: %.0f MB" % (args.version, written / MiB))
