# Writes intact and damaged xz, .lzma, gzip, lzip and zstd files into the
# current folder for the stream check tests: "data" is the content, NAME.EXT
# holds it (intact) or a damaged copy. Files that need a missing tool are
# not written.
import shutil, struct, subprocess, zlib

data = b"".join(b"line %06d: %s\n" % (i, b"the quick brown fox jumps over the lazy dog"[: i % 43])
                for i in range(4000))
open("data", "wb").write(data)


def tool(*command, stdin=data):
    return subprocess.run(command, input=stdin, stdout=subprocess.PIPE, check=True).stdout


def save(name, content):
    open(name, "wb").write(content)


def flipped(content, at, mask=1):
    out = bytearray(content)
    out[at] ^= mask
    return bytes(out)


# ---- xz: stream header, blocks, index, footer ----

def vli(value):
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    return bytes(out + bytes([value]))


def read_vli(content, pos):
    value = shift = 0
    while True:
        byte = content[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, pos


def xz_index(xz):
    """(index start, [(unpadded, uncompressed)]) of a one-stream file."""
    start = len(xz) - 12 - (struct.unpack_from("<I", xz, len(xz) - 8)[0] + 1) * 4
    count, pos = read_vli(xz, start + 1)
    records = []
    for _ in range(count):
        unpadded, pos = read_vli(xz, pos)
        size, pos = read_vli(xz, pos)
        records.append((unpadded, size))
    return start, records


def xz_footer(index_size, flags):
    body = struct.pack("<I", index_size // 4 - 1) + flags
    return struct.pack("<I", zlib.crc32(body)) + body + b"YZ"


def with_index(xz, records):
    """The file with its index replaced (footer fixed to match)."""
    start, _ = xz_index(xz)
    index = bytearray(b"\0" + vli(len(records)))
    for unpadded, size in records:
        index += vli(unpadded) + vli(size)
    index += bytes(-len(index) % 4)
    index += struct.pack("<I", zlib.crc32(index))
    return xz[:start] + bytes(index) + xz_footer(len(index), xz[-4:-2])


def one_block_xz(filters):
    """A one-block file without a check value whose unpadded size leaves 1 or
    2 bytes of padding, so that it may grow or shrink by one within the same
    padding. `filters` gives the filter options for an LZMA2 preset."""
    for preset in ("%d%s" % (level, extreme) for extreme in ("", "e") for level in range(10)):
        xz = tool("xz", "-c", "-T1", "--check=none", *filters(preset))
        if xz_index(xz)[1][0][0] % 4 in (2, 3):
            return xz
    raise SystemExit("no preset leaves the padding wanted")


def make_xz():
    blocks = tool("xz", "-c", "-T1", "--check=crc64", "--block-size=40000")
    save("xz-intact.xz", blocks)
    save("xz-stream-padding.xz", blocks + bytes(8))
    start, records = xz_index(blocks)
    save("xz-check.xz", flipped(blocks, start - 1))
    save("xz-nonzero-stream-padding.xz", blocks + b"\0\0\1\0")
    save("xz-short-stream-padding.xz", blocks + b"\0\0")
    merged = records[:-2] + [(records[-2][0], records[-2][1] + records[-1][1])]
    save("xz-index-count.xz", with_index(blocks, merged))
    save("xz-footer-flags.xz", blocks[:-12] + xz_footer(len(blocks) - 12 - start, b"\0\1"))

    # One block without a check value: nothing but the framing finds these.
    for name, filters in (("plain", lambda preset: ["-" + preset]),
                          ("x86", lambda preset: ["--x86", "--lzma2=preset=" + preset])):
        xz = one_block_xz(filters)
        (unpadded, size), = xz_index(xz)[1]
        save("xz-%s-intact.xz" % name, xz)
        save("xz-%s-bigger-packed-size.xz" % name, with_index(xz, [(unpadded + 1, size)]))
        save("xz-%s-smaller-packed-size.xz" % name, with_index(xz, [(unpadded - 1, size)]))
        save("xz-%s-smaller-size.xz" % name, with_index(xz, [(unpadded, size - 1)]))
        save("xz-%s-larger-size.xz" % name, with_index(xz, [(unpadded, size + 1)]))
        save("xz-%s-block-padding.xz" % name, flipped(xz, 12 + unpadded))
        # The LZMA2 end mark (the block's last packed byte) made an invalid control byte.
        save("xz-%s-control-byte.xz" % name, flipped(xz, 12 + unpadded - 1, 0x03))


# ---- .lzma: properties, 64-bit size (all ones: not stated), data ----

def with_size(lzma, size):
    return lzma[:5] + struct.pack("<Q", size) + lzma[13:]


def make_lzma():
    lzma = tool("xz", "--format=lzma", "-c")  # no size stated, an end mark
    save("lzma-intact.lzma", lzma)
    save("lzma-stated-size.lzma", with_size(lzma, len(data)))
    save("lzma-size-before-end-mark.lzma", with_size(lzma, len(data) - 1))
    save("lzma-size-after-end.lzma", with_size(lzma, len(data) + 1))
    save("lzma-bytes-after-end-mark.lzma", lzma + b"junk")  # tar readers pass over it
    if shutil.which("7zz"):
        # A 7z archive's LZMA stream: a stated size and no end mark.
        subprocess.run(["7zz", "a", "-t7z", "-m0=LZMA", "-mhc=off", "-bso0", "-bsp0", "d.7z", "data"], check=True)
        archive = open("d.7z", "rb").read()
        packed_end = 32 + struct.unpack_from("<Q", archive, 12)[0]
        coder = archive.index(b"\x23\x03\x01\x01\x05", packed_end) + 5
        no_mark = archive[coder:coder + 5] + struct.pack("<Q", len(data)) + archive[32:packed_end]
        save("lzma-no-end-mark.lzma", no_mark)
        save("lzma-no-end-mark-short-size.lzma", with_size(no_mark, len(data) - 1))


# ---- gzip and lzip members, zstd frames ----

def make_members(ext, compress, trailer):
    half = len(data) // 2
    first, second = compress(data[:half]), compress(data[half:])
    whole = first + second
    save("%s-intact.%s" % (ext, ext), whole)
    save("%s-crc.%s" % (ext, ext), flipped(whole, len(whole) - trailer))
    save("%s-size.%s" % (ext, ext), flipped(whole, len(whole) - trailer + 4))
    save("%s-first-member-crc.%s" % (ext, ext), flipped(whole, len(first) - trailer))
    return whole


def make_gzip():
    whole = make_members("gz", lambda part: tool("gzip", "-n", "-c", stdin=part), 8)
    save("gz-zero-padding.gz", whole + bytes(16))
    save("gz-garbage.gz", whole + b"junk")  # gzip -t passes over it
    save("gz-magic-byte.gz", whole + b"\x1f")


def make_lzip():
    whole = make_members("lz", lambda part: tool("lzip", "-c", stdin=part), 20)
    save("lz-member-size.lz", flipped(whole, len(whole) - 8))
    save("lz-garbage.lz", whole + b"junk")  # lzip -t passes over it
    save("lz-cut-member.lz", whole + b"LZIP")


def make_zstd():
    half = len(data) // 2
    first = tool("zstd", "-q", "-c", "--check", stdin=data[:half])
    second = tool("zstd", "-q", "-c", "--no-check", stdin=data[half:])
    save("zst-intact.zst", first + second)
    save("zst-checksum.zst", flipped(first + second, len(first) - 1))
    # Read from a file, the data gets a frame that states its size.
    last = tool("zstd", "-q", "-c", "--check", "data", stdin=None)
    save("zst-last-checksum.zst", flipped(last, len(last) - 1))
    save("zst-zero-padding.zst", last + bytes(4))
    # The content size (4 bytes after the descriptor of a single-segment frame).
    plain = bytearray(tool("zstd", "-q", "-c", "--no-check", "data", stdin=None))
    assert plain[4] & 0xE0 == 0xA0
    for name, size in (("smaller", len(data) - 1), ("larger", len(data) + 1)):
        struct.pack_into("<I", plain, 5, size)
        save("zst-%s-content-size.zst" % name, plain)


make_xz()
make_lzma()
make_gzip()
for program, make in (("lzip", make_lzip), ("zstd", make_zstd)):
    if shutil.which(program):
        make()
