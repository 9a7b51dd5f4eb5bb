#!/usr/bin/env python3
"""Makes the archives the COM server tests browse (see shell/shell_test.cpp)."""
import io
import os
import random
import sys
import zipfile

out = sys.argv[1]
src = os.path.join(out, "src")
os.makedirs(src, exist_ok=True)

rng = random.Random(5)
words = [b"archive ", b"stream ", b"folder ", b"entry ", b"\n", b"0123456789 "]
a_txt = b"".join(rng.choice(words) for _ in range(40000)) + bytes(rng.randrange(256) for _ in range(5000))
deep = b"deep inside a nested archive\n" * 100
x_bin = bytes(rng.randrange(256) for _ in range(3000))

dated = (2020, 6, 15, 12, 34, 56)
later = (2021, 1, 2, 3, 4, 6)
undated = (1980, 0, 0, 0, 0, 0)  # DOS date and time both 0


def add(z, name, data, when=later):
    info = zipfile.ZipInfo(name, when)
    info.compress_type = zipfile.ZIP_DEFLATED
    z.writestr(info, data)


inner = io.BytesIO()
with zipfile.ZipFile(inner, "w") as z:
    add(z, "dir/deep.txt", deep)
    add(z, "x.bin", x_bin)
inner_zip = inner.getvalue()

with zipfile.ZipFile(os.path.join(out, "main.zip"), "w") as z:
    add(z, "a.txt", a_txt, dated)
    add(z, "a01.txt", b"same size", later)
    add(z, "a1.txt", b"size same", undated)
    add(z, "Photo10.jpg", b"ten")
    add(z, "photo9.JPG", b"nine")
    add(z, "empty.txt", b"")
    add(z, "noext", b"no extension")
    add(z, "dup", b"a file named like a folder")
    add(z, "dup/z.txt", b"z")
    add(z, "sub/b.txt", b"b")
    add(z, "sub/inner.zip", inner_zip)

for name, data in (("a.txt", a_txt), ("deep.txt", deep), ("inner.zip", inner_zip)):
    with open(os.path.join(src, name), "wb") as f:
        f.write(data)


def raw_zip(path, entries):
    """A zip written by hand, so that its headers may lie. Entries are
    (name, data, method, packed, crc)."""
    import struct
    when_time, when_date = 0x6458, 0x50CF  # 2020-06-15 12:34:48
    body, central = b"", b""
    for name, data, method, packed, crc in entries:
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, method, when_time, when_date, crc,
                               len(packed), len(data), len(name), 0, 0, 0, 0, 0, len(body)) + name
        body += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, method, when_time, when_date, crc, len(packed),
                            len(data), len(name), 0) + name + packed
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central), len(body), 0)
    with open(path, "wb") as f:
        f.write(body + central + end)


def deflated(data):
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    return compressor.compress(data) + compressor.flush()


# damaged.zip: big.txt's deflate data is cut in half while its header keeps the
# full sizes, so decoding fails in the middle of the entry; flipped.txt is
# stored whole, but under a CRC-32 its data does not give.
import zlib
packed = deflated(a_txt)
flipped = b"stored bytes that are not what was packed\n" * 100
raw_zip(os.path.join(out, "damaged.zip"), [(b"big.txt", a_txt, 8, packed[: len(packed) // 2], zlib.crc32(a_txt)),
                                           (b"flipped.txt", flipped, 0, flipped, zlib.crc32(flipped) ^ 1)])

# open.zip: files of a type the open tests associate with a stand-in program;
# bad.zvt is damaged like big.txt.
doc, other = b"document to open\n" * 300, b"opened beside it\n"
raw_zip(os.path.join(out, "open.zip"), [
    (b"doc.zvt", doc, 8, deflated(doc), zlib.crc32(doc)),
    (b"bad.zvt", a_txt, 8, packed[: len(packed) // 2], zlib.crc32(a_txt)),
    (b"other.zvt", other, 0, other, zlib.crc32(other)),
])

# bundle.tar.gz: a tar with folders inside gzip (unwrapped by extraction).
import tarfile
with tarfile.open(os.path.join(out, "bundle.tar.gz"), "w:gz") as t:
    for name, data in (("docs/readme.txt", b"read me\n" * 50), ("docs/deeper/notes.txt", x_bin),
                       ("top.bin", a_txt[:20000])):
        info = tarfile.TarInfo(name)
        info.size = len(data)
        info.mtime = 1600000000
        t.addfile(info, io.BytesIO(data))

# pieces.zip.001 ...: a zip split into three pieces.
pieces = io.BytesIO()
with zipfile.ZipFile(pieces, "w") as z:
    add(z, "p/one.txt", a_txt[:30000])
    add(z, "two.bin", x_bin)
whole = pieces.getvalue()
third = len(whole) // 3 + 1
for i in range(3):
    with open(os.path.join(out, "pieces.zip.%03d" % (i + 1)), "wb") as f:
        f.write(whole[i * third:(i + 1) * third])

# names.zip: names Windows would take for devices, streams or other names.
with zipfile.ZipFile(os.path.join(out, "names.zip"), "w") as z:
    for name in ("CON.txt", "a:b.txt", "trail.", "trail", "space ", "q?x", "dir./LPT1", "ok.txt"):
        add(z, name, name.encode())

# only.zip: one file, extracted without a wrapper folder.
with zipfile.ZipFile(os.path.join(out, "only.zip"), "w") as z:
    add(z, "only.txt", b"the only entry")

# case.zip: names that differ only in case, of files and of folders.
with zipfile.ZipFile(os.path.join(out, "case.zip"), "w") as z:
    for name in ("Case.txt", "case.txt", "Docs/a.txt", "docs/a.txt", "Note.zvt", "note.zvt"):
        add(z, name, name.encode())

# long.zip: a path longer than a file descriptor's name field.
with zipfile.ZipFile(os.path.join(out, "long.zip"), "w") as z:
    add(z, "d" * 100 + "/" + "e" * 100 + "/" + "f" * 100 + ".txt", b"deep")
    add(z, "short.txt", b"short")

# links.zip: symbolic links (Unix mode) to an entry inside and to a path
# outside the archive; their stored data is the target's path.
def add_link(z, name, target):
    info = zipfile.ZipInfo(name, later)
    info.create_system = 3
    info.external_attr = 0o120777 << 16
    z.writestr(info, target)


with zipfile.ZipFile(os.path.join(out, "links.zip"), "w") as z:
    add(z, "dir/target.txt", b"the data the link points to\n")
    add_link(z, "dir/inside", "target.txt")
    add_link(z, "dir/outside", "../../outside.txt")


# view.zip: one folder, one nested archive and one file of the test type, as
# the hosted folder view shows them.
note = b"a note opened from the view\n" * 40
with zipfile.ZipFile(os.path.join(out, "view.zip"), "w") as z:
    add(z, "docs/readme.txt", b"read me\n")
    add(z, "inner.zip", inner_zip)
    add(z, "note.zvt", note)


def tar_of(members):
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w", format=tarfile.GNU_FORMAT) as t:
        for name, data in members:
            info = tarfile.TarInfo(name)
            info.size = len(data)
            info.mtime = 1600000000
            t.addfile(info, io.BytesIO(data))
    return buf.getvalue()


# cut.tar.gz: an intact gzip stream of a tar cut inside its second header; the
# tar level is damaged after its first entry.
import gzip
one = b"1" * 700
with open(os.path.join(out, "cut.tar.gz"), "wb") as f:
    f.write(gzip.compress(tar_of([("one", one), ("two", b"2" * 10)])[:1636], 9, mtime=0))

# flip.tar.gz: one bit flipped in the deflate data near its end such that it
# still decodes, to as many bytes, changing only last.txt's data: only the
# gzip CRC at the stream's end tells.
first = b"intact before the damage\n" * 200
last = b"".join(b"line %06d: the quick brown fox jumps over the lazy dog\n" % i for i in range(400))
plain = tar_of([("first.txt", first), ("last.txt", last)])
packed = gzip.compress(plain, 9, mtime=0)
start = plain.index(last)


def decodes_to_changed_last(candidate):
    d = zlib.decompressobj(-15)
    try:
        got = d.decompress(candidate[10:])
    except zlib.error:
        return False
    return (d.eof and len(got) == len(plain) and got[start:start + len(last)] != last
            and got[:start] == plain[:start] and got[start + len(last):] == plain[start + len(last):])


def flipped_near_end():
    for at in range(len(packed) - 9, 10, -1):  # before the 8-byte trailer
        for bit in range(8):
            candidate = bytearray(packed)
            candidate[at] ^= 1 << bit
            if decodes_to_changed_last(bytes(candidate)):
                return bytes(candidate)
    raise SystemExit("no flip keeps the deflate data decodable")


with open(os.path.join(out, "flip.tar.gz"), "wb") as f:
    f.write(flipped_near_end())

# Encrypted archives, the password "secret" (password_test.cpp): secret.zip,
# traditional zip encryption beside a plain entry; aes.zip, AES-256; secret.7z,
# AES-256 data under plain headers; hidden.7z, encrypted headers; nested.zip
# below.
import subprocess
sources = {"hidden.bin": a_txt[:40000] + x_bin, "plain.txt": b"readable without a password\n",
           "second.bin": x_bin[::-1] * 3}
for name, data in sources.items():
    with open(os.path.join(src, name), "wb") as f:
        f.write(data)


def crc_byte(crc, byte):
    return zlib.crc32(bytes([byte]), crc ^ 0xFFFFFFFF) ^ 0xFFFFFFFF


class ZipCrypto:
    """The traditional zip cipher, keyed by a password."""

    def __init__(self, password):
        self.keys = [0x12345678, 0x23456789, 0x34567890]
        for byte in password:
            self.update(byte)

    def update(self, byte):
        k = self.keys
        k[0] = crc_byte(k[0], byte)
        k[1] = ((k[1] + (k[0] & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
        k[2] = crc_byte(k[2], k[1] >> 24)

    def mask(self):
        t = (self.keys[2] | 2) & 0xFFFF
        return ((t * (t ^ 1)) >> 8) & 0xFF

    def encrypt(self, data):
        out = bytearray()
        for byte in data:
            out.append(byte ^ self.mask())
            self.update(byte)
        return bytes(out)

    def decrypt(self, data):
        out = bytearray()
        for byte in data:
            out.append(byte ^ self.mask())
            self.update(out[-1])
        return bytes(out)


def zipcrypto_zip(path, entries, password):
    """A zip whose entries (name, data, encrypted) are deflated, the encrypted
    ones under a fixed 12-byte header (so that a test's wrong password fails
    its check byte every run, not all but one in 256)."""
    import struct
    body, central = b"", b""
    for name, data, encrypted in entries:
        crc, packed, flags = zlib.crc32(data), deflated(data), 0
        if encrypted:
            cipher = ZipCrypto(password)
            packed, flags = cipher.encrypt(bytes(range(11)) + bytes([crc >> 24]) + packed), 1
            assert ZipCrypto(b"wrong").decrypt(packed[:12])[11] != crc >> 24
        name = name.encode()
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, flags, 8, 0x6458, 0x50CF, crc,
                               len(packed), len(data), len(name), 0, 0, 0, 0, 0, len(body)) + name
        body += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, 8, 0x6458, 0x50CF, crc, len(packed),
                            len(data), len(name), 0) + name + packed
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central), len(body), 0)
    with open(path, "wb") as f:
        f.write(body + central + end)


zipcrypto_zip(os.path.join(out, "secret.zip"), [("plain.txt", sources["plain.txt"], False),
                                                ("hidden.bin", sources["hidden.bin"], True),
                                                ("second.bin", sources["second.bin"], True)], b"secret")
# nested.zip: a plain listing, but the nested archive's data is encrypted.
with open(os.path.join(src, "x.bin"), "wb") as f:
    f.write(x_bin)
zipcrypto_zip(os.path.join(out, "nested.zip"), [("inner.zip", inner_zip, True), ("plain.txt", b"plain", False)],
              b"secret")


def seven_zip(archive, names, *options):
    subprocess.run(["7zz", "a", "-bso0", "-bsp0", os.path.join(out, archive), *names, *options], cwd=src,
                   check=True)


seven_zip("aes.zip", ["hidden.bin", "second.bin"], "-tzip", "-psecret", "-mem=AES256")
seven_zip("secret.7z", ["hidden.bin", "second.bin"], "-psecret", "-mhe=off", "-ms=off")
seven_zip("hidden.7z", ["hidden.bin", "second.bin"], "-psecret", "-mhe=on")
