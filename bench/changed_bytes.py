#!/usr/bin/env python3
"""Prints the bytes of the files of NEW that are not OLD's file at that path
(changed or new): what an update must write at the least.

usage: changed_bytes.py OLD_TREE NEW_TREE"""
import filecmp, os, sys

old, new = sys.argv[1:]
total = 0
for d, _, files in os.walk(new):
    for f in files:
        n = os.path.join(d, f)
        o = os.path.join(old, os.path.relpath(n, new))
        if not (os.path.isfile(o) and filecmp.cmp(o, n, shallow=False)):
            total += os.path.getsize(n)
print(total)
