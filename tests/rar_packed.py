#!/usr/bin/env python3
# Lists the compressed files of RAR archives for the decoder tests, one line
# each, tab-separated: archive path, offset and size of the packed data,
# unpacked size, CRC-32 (0 when absent), version, dictionary size, solid flag
# and name. Directories, encrypted entries and entries split over volumes are
# left out, as are archives this simple walk cannot follow.
import struct, sys

def vint(b, p):
    v = s = 0
    while True:
        c = b[p]; p += 1
        v |= (c & 0x7F) << s; s += 7
        if not c & 0x80:
            return v, p

def encrypted5(area):
    p = 0
    while p < len(area):
        size, q = vint(area, p)
        kind, _ = vint(area, q)
        if kind == 1:
            return True
        p = q + size
    return False

def rar5(b, path):
    p = 8
    while p + 4 < len(b):
        size, q = vint(b, p + 4)
        end = q + size
        htype, q = vint(b, q)
        hflags, q = vint(b, q)
        extra = data = 0
        if hflags & 1: extra, q = vint(b, q)
        if hflags & 2: data, q = vint(b, q)
        if htype == 2 and not hflags & 0x18:
            fflags, q = vint(b, q)
            usize, q = vint(b, q)
            _, q = vint(b, q)
            if fflags & 2: q += 4
            crc = struct.unpack_from('<I', b, q)[0] if fflags & 4 else 0
            if fflags & 4: q += 4
            comp, q = vint(b, q)
            _, q = vint(b, q)
            nlen, q = vint(b, q)
            fname = b[q:q + nlen].decode('utf-8', 'replace')
            method = (comp >> 7) & 7
            if method and not fflags & 1 and not (hflags & 1 and encrypted5(b[end - extra:end])):
                print(path, end, data, usize, crc, 50, 0x20000 << ((comp >> 10) & 15), (comp >> 6) & 1, fname, sep='\t')
        if htype == 5: return
        p = end + data

def rar4(b, path):
    p = 7
    while p + 7 <= len(b):
        _, htype, flags, hsize = struct.unpack_from('<HBHH', b, p)
        if hsize < 7: return
        add = struct.unpack_from('<I', b, p + 7)[0] if flags & 0x8000 else 0
        if htype == 0x74:
            pack, usize, _, crc, _, ver, method, nlen = struct.unpack_from('<IIBIIBBH', b, p + 7)
            if flags & 0x100:
                hp, hu = struct.unpack_from('<II', b, p + 32)
                pack |= hp << 32; usize |= hu << 32
            fname = b[p + 32 + (8 if flags & 0x100 else 0):][:nlen].split(b'\0')[0].decode('latin-1')
            if method != 0x30 and not flags & 0x7 and (flags & 0xE0) != 0xE0:
                print(path, p + hsize, pack, usize, crc, ver, 0x10000 << ((flags >> 5) & 7), (flags >> 4) & 1, fname, sep='\t')
        if htype == 0x7B: return
        p += hsize + add

for path in sys.argv[1:]:
    b = open(path, 'rb').read()
    try:
        (rar5 if b.startswith(b'Rar!\x1a\x07\x01\x00') else rar4)(b, path)
    except (IndexError, struct.error):
        pass
