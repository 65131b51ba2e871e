# Lists an archive as Python's zipfile reads it, one entry a line:
# "name method raw mode system" (raw: over 100 bytes and not made smaller).
#
#   zip_listing.py ARCHIVE [TREE]
#
# Fails unless every CRC checks and, given TREE, every data entry's date is
# its file's local time.
import zipfile, sys, os, time
z = zipfile.ZipFile(sys.argv[1])
assert z.testzip() is None
for i in z.infolist():
    name = i.filename if i.flag_bits & 0x800 else i.filename.encode('cp437').decode()
    print(name, i.compress_type, i.compress_size >= i.file_size > 100, oct(i.external_attr >> 16), i.create_system)
    if sys.argv[2] and not name.startswith('__MACOSX'):
        t = time.localtime(os.lstat(os.path.join(sys.argv[2], name)).st_mtime)
        assert i.date_time == t[:5] + (t[5] // 2 * 2,), (name, i.date_time, t)
