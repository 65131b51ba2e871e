#!/usr/bin/env python3
"""Writes a game-like tree of about SIZE_MB megabytes into DIR, the same bytes
every time: text and binary assets that compress, random data in .png files
that does not, nested folders and relative links.

usage: gen_tree.py DIR [SIZE_MB]"""
import os, random, sys

root = sys.argv[1]
size_mb = int(sys.argv[2]) if len(sys.argv) > 2 else 300
rng = random.Random(2026)
words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 10))) for _ in range(5000)]
text_pool = b" ".join(rng.choice(words) for _ in range(400000))          # ~2.4 MB of "prose"
bin_pool = bytes(rng.randrange(256) >> rng.choice((0, 3, 5, 7)) for _ in range(1 << 21))  # skewed bytes
noise = os.urandom  # incompressible


def piece(pool, size):
    start = rng.randrange(0, len(pool) - size) if size < len(pool) else 0
    out = pool[start:start + size]
    while len(out) < size:
        out += pool[:size - len(out)]
    return out


budget = size_mb * 1024 * 1024
written = files = 0
app = os.path.join(root, "Vantorique.app", "Contents")
kinds = [("txt", text_pool, 0.25), ("lua", text_pool, 0.15), ("dat", bin_pool, 0.25), ("png", None, 0.35)]
while written < budget:
    area = rng.choice(["Resources/levels", "Resources/scripts", "Resources/sprites", "Resources/sounds",
                       "Resources/maps/world%d" % rng.randrange(8), "Frameworks/Engine.framework/Versions/A/Res"])
    folder = os.path.join(app, area, "pack%02d" % rng.randrange(24))
    os.makedirs(folder, exist_ok=True)
    r, acc = rng.random(), 0
    for ext, pool, share in kinds:
        acc += share
        if r <= acc:
            break
    size = int(rng.lognormvariate(10.2, 1.3))  # median ~27 KB, a long tail of large assets
    size = max(16, min(size, 8 << 20, budget - written))
    data = noise(size) if pool is None else piece(pool, size)
    with open(os.path.join(folder, "asset%05d.%s" % (files, ext)), "wb") as f:
        f.write(data)
    written += size
    files += 1

os.makedirs(os.path.join(app, "MacOS"), exist_ok=True)
with open(os.path.join(app, "MacOS", "Vantorique"), "w") as f:
    f.write("#!/bin/sh\necho game\n")
os.chmod(os.path.join(app, "MacOS", "Vantorique"), 0o755)
fw = os.path.join(app, "Frameworks", "Engine.framework")
for link, target in (("Versions/Current", "A"), ("Res", "Versions/Current/Res"), ("Engine", "Versions/Current/Engine")):
    path = os.path.join(fw, link)
    if not os.path.lexists(path):
        os.symlink(target, path)
with open(os.path.join(fw, "Versions", "A", "Engine"), "wb") as f:
    f.write(piece(bin_pool, 3 << 20))
print("%d files, %.0f MB" % (files + 2, (written + (3 << 20)) / 1048576))
