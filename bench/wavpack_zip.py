# Writes the WavPack test data of the bench scripts into the current folder:
# audio.wav (ten seconds of 16-bit stereo sine and noise, repeated with small
# changes), audio.wv (its WavPack form) and wavpack.zip (one entry of method
# 97 holding audio.wv).
import math
import os
import random
import struct
import subprocess
import zlib

rng = random.Random(11)
frames = bytearray()
for i in range(441000):
    l = int(math.sin(i * 0.013) * 12000) + rng.randint(-300, 300)
    r = int(math.sin(i * 0.021) * 9000) + rng.randint(-300, 300)
    frames += struct.pack('<hh', l, r)
with open('audio.wav', 'wb') as f:
    data_size = len(frames) * 12
    f.write(b'RIFF' + struct.pack('<I', 36 + data_size) + b'WAVEfmt ' +
            struct.pack('<IHHIIHH', 16, 1, 2, 44100, 44100 * 4, 4, 16) + b'data' + struct.pack('<I', data_size))
    for k in range(12):
        frames[rng.randrange(len(frames))] ^= 0x40
        f.write(frames)
subprocess.run(['wavpack', '-q', '-y', 'audio.wav', '-o', 'audio.wv'], check=True)

packed = open('audio.wv', 'rb').read()
crc = zlib.crc32(open('audio.wav', 'rb').read())
size = os.path.getsize('audio.wav')
name = b'audio.wav'
local = struct.pack('<IHHHHHIIIHH', 0x04034B50, 63, 0, 97, 0, 0x5A21, crc, len(packed), size, len(name), 0) + name
central = struct.pack('<IHHHHHHIIIHHHHHII', 0x02014B50, 63, 63, 0, 97, 0, 0x5A21, crc, len(packed), size,
                      len(name), 0, 0, 0, 0, 0, 0) + name
end = struct.pack('<IHHHHIIH', 0x06054B50, 0, 0, 1, 1, len(central), len(local) + len(packed), 0)
open('wavpack.zip', 'wb').write(local + packed + central + end)
