# Writes self.zip: a zip whose one entry, self.zip, deflated, holds the very
# bytes of the whole file (a zip quine), and outer.zip, which stores it.
#
# The deflate data is a program of two instructions: "literal n" (a stored
# block header: the next n bytes are output as they are) and "repeat n" (a
# fixed-code block that copies the last n bytes of output, then an empty
# stored block back to a byte boundary). Every instruction is padded to the
# same size u with empty fixed-code blocks, so that a repeat of k
# instructions repeats the same bytes wherever it stands. The program below
# prints the local header P, then itself, then the central directory S.
# The CRC-32, stored in P and in S, is affine in its own bits over GF(2):
# it is found by solving a 32 by 32 system.
import struct
import zipfile
import zlib

LENGTH_BASE = [3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163,
               195, 227, 258]
LENGTH_EXTRA = [0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0]
DISTANCE_BASE = [1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257, 385, 513, 769, 1025, 1537, 2049,
                 3073, 4097, 6145, 8193, 12289, 16385, 24577]
DISTANCE_EXTRA = [0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13]


class Bits:
    def __init__(self):
        self.value, self.count = 0, 0

    def put(self, value, count):  # least significant bit first
        self.value |= value << self.count
        self.count += count

    def code(self, code, count):  # Huffman codes go most significant bit first
        self.put(int(format(code, f'0{count}b')[::-1], 2), count)

    def fixed(self, symbol):
        if symbol < 144:
            self.code(0x30 + symbol, 8)
        elif symbol < 256:
            self.code(0x190 + symbol - 144, 9)
        elif symbol < 280:
            self.code(symbol - 256, 7)
        else:
            self.code(0xC0 + symbol - 280, 8)

    def empty_fixed_blocks(self, count):
        for _ in range(count):
            self.put(0b010, 3)
            self.fixed(256)

    def bytes(self):
        return self.value.to_bytes((self.count + 7) // 8, 'little')


def copy(bits, length, distance):
    i = 28 if length == 258 else max(i for i in range(28) if LENGTH_BASE[i] <= length)
    bits.fixed(257 + i)
    bits.put(length - LENGTH_BASE[i], LENGTH_EXTRA[i])
    j = max(j for j in range(30) if DISTANCE_BASE[j] <= distance)
    bits.code(j, 5)
    bits.put(distance - DISTANCE_BASE[j], DISTANCE_EXTRA[j])


def literal(n, size):
    for padding in range(12):
        bits = Bits()
        bits.empty_fixed_blocks(padding)
        bits.put(0, 3)
        op = bits.bytes() + struct.pack('<HH', n, n ^ 0xFFFF)
        if len(op) == size:
            return op
    raise ValueError


def repeat(n, size, final=False):
    for parts in range(1, 4):
        lengths = [n // parts + (i < n % parts) for i in range(parts)]
        if min(lengths) < 3 or max(lengths) > 258:
            continue
        for padding in range(12):
            bits = Bits()
            bits.put(0b010, 3)
            for length in lengths:
                copy(bits, length, n)
            bits.fixed(256)
            bits.empty_fixed_blocks(padding)
            bits.put(int(final), 1)
            bits.put(0, 2)
            op = bits.bytes() + struct.pack('<HH', 0, 0xFFFF)
            if len(op) == size:
                return op
    raise ValueError


PROGRAM = ('La P La Ra L1 Ra L1 L1 L4 Ra L1 L1 L4 R4 L4 R4 L4 R4 L4 R4 L4 R4 L0 L0 Lb R4 L0 L0 Lb Rb S Rb').split()


def quine(name):
    p, s = 30 + len(name), 46 + len(name) + 22
    for u in range(10, 40):
        try:
            ops = dict(La=literal(p + u, u), Lb=literal(u + s, u), L1=literal(u, u), L4=literal(4 * u, u),
                       L0=literal(0, u), Ra=repeat(p + u, u), R4=repeat(4 * u, u), Rb=repeat(u + s, u, True))
            break
        except ValueError:
            continue
    packed = sum(p if op == 'P' else s if op == 'S' else u for op in PROGRAM)
    size = p + packed + s

    def build(crc):
        local = struct.pack('<IHHHHHIIIHH', 0x04034B50, 20, 0, 8, 0, 0x21, crc, packed, size, len(name), 0) + name
        central = struct.pack('<IHHHHHHIIIHHHHHII', 0x02014B50, 20, 20, 0, 8, 0, 0x21, crc, packed, size,
                              len(name), 0, 0, 0, 0, 0, 0) + name
        end = struct.pack('<IHHHHIIH', 0x06054B50, 0, 0, 1, 1, len(central), p + packed, 0)
        parts = dict(ops, P=local, S=central + end)
        return local + b''.join(parts[op] for op in PROGRAM) + central + end

    # crc32(build(c)) == c: (A + I) c = crc32(build(0)), A's columns the effect of each bit.
    base = zlib.crc32(build(0))
    basis = {}
    for i in range(32):
        v, m = zlib.crc32(build(1 << i)) ^ base ^ (1 << i), 1 << i
        for bit in reversed(range(32)):
            if v >> bit & 1:
                if bit not in basis:
                    basis[bit] = (v, m)
                    break
                v, m = v ^ basis[bit][0], m ^ basis[bit][1]
    want, crc = base, 0
    for bit in reversed(range(32)):
        if want >> bit & 1:
            want, crc = want ^ basis[bit][0], crc ^ basis[bit][1]
    data = build(crc)
    assert zlib.crc32(data) == crc and zlib.decompress(data[p:p + packed], -15) == data
    return data


data = quine(b'self.zip')
open('self.zip', 'wb').write(data)
with zipfile.ZipFile('outer.zip', 'w') as z:
    z.writestr('self.zip', data)
