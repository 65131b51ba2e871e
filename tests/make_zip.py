# Writes a zip archive with Python's zipfile, for tests that need archives
# another tool made, or made wrong on purpose.
#
#   make_zip.py ARCHIVE BODY [ARG]
#
# BODY is Python run with these in scope: add() writes one entry; fix(b), if
# BODY defines it, edits the finished bytes; put() patches one field of an
# entry's local and central headers; local(), central() and end() lay out
# records byte by byte, for archives no writer makes; sys.argv[2] is ARG.
import struct
import sys
import zipfile
import zlib

archive, body = sys.argv[1], sys.argv[2]
sys.argv = [sys.argv[0], archive] + sys.argv[3:]  # BODY sees ARG as sys.argv[2]
z = zipfile.ZipFile(archive, 'w', zipfile.ZIP_DEFLATED)


def add(name, data=b'', mode=0o100644, method=zipfile.ZIP_DEFLATED):
    """One entry with a fixed date; `mode` goes to the upper 16 bits."""
    i = zipfile.ZipInfo(name, (2024, 1, 2, 3, 4, 6))
    z.writestr(i, data, method)
    i.external_attr = mode << 16


def fix(b):
    pass


def put(b, name, local, central, fmt, value):
    """Packs `value` at offset `local` of the entry's local header and at
    `central` of its central record (None: leave that one alone)."""
    for sig, at, h, n in ((b'PK\3\4', local, 30, 26), (b'PK\1\2', central, 46, 28)):
        i = b.find(sig)
        while i >= 0 and at is not None:
            if b[i + h:i + h + struct.unpack_from('<H', b, i + n)[0]] == name.encode():
                struct.pack_into(fmt, b, i + at, value)
            i = b.find(sig, i + 1)


def local(name, data, extra=b'', method=0, crc=None):
    """A local header and its stored data."""
    crc = zlib.crc32(data) if crc is None else crc
    return struct.pack('<IHHHHHIIIHH', 0x04034b50, 20, 0, method, 0, 0x5821, crc, len(data), len(data),
                       len(name), len(extra)) + name + extra + data


def central(name, data, offset, mode=0o100644, made_by=3 << 8 | 20, attr=0, extra=b'', method=0):
    """A central record for stored `data` whose local header is at `offset`."""
    return struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, made_by, 20, 0, method, 0, 0x5821, zlib.crc32(data),
                       len(data), len(data), len(name), len(extra), 0, 0, 0, mode << 16 | attr, offset) + name + extra


def end(records, at, count=None, comment=b''):
    """The end record for the central records `records` that start at `at`."""
    n = len(records) if count is None else count
    cd = b''.join(records)
    return cd + struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, n, n, len(cd), at, len(comment)) + comment


exec(body)
z.close()
b = bytearray(open(archive, 'rb').read())
fix(b)
open(archive, 'wb').write(b)
