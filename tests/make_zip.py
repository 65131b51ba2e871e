# Writes a zip archive with Python's zipfile, for tests that need archives
# another tool made, or made wrong on purpose.
#
#   make_zip.py ARCHIVE BODY [ARG]
#
# BODY is Python run with these in scope: add() writes one entry; fix(b), if
# BODY defines it, edits the finished bytes; put() patches one field of an
# entry's local and central headers; sys.argv[2] is ARG.
import struct
import sys
import zipfile

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


exec(body)
z.close()
b = bytearray(open(archive, 'rb').read())
fix(b)
open(archive, 'wb').write(b)
