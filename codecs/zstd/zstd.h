// The "zstd" codec: every frame of the packed data in turn (skippable frames
// passed over), each frame's checksum verified when it has one. Data that
// ends inside a frame, or anything but a frame after one, is an error.
#pragma once

#include <cstdint>

namespace zorvex {

class InStream;
struct CodecRequest;

InStream* makeZstdStream(const CodecRequest& request);

// The largest window (as a power of two) a frame in `packedSize` bytes may
// ask for. A block header and one byte can stand for a whole 128 KiB block,
// so no more output than that can come out of the data, and a larger window
// would never be filled. Windows up to 128 MiB are always allowed, as the
// reference decoder allows them by default.
inline int zstdWindowLogLimit(int64_t packedSize, int largestWindowLog) {
    constexpr int kAlwaysAllowed = 27;
    constexpr int64_t kMostOutputPerByte = int64_t{1} << 15;
    int log = kAlwaysAllowed;
    while (log < largestWindowLog && (int64_t{1} << log) / kMostOutputPerByte < packedSize) ++log;
    return log;
}

}  // namespace zorvex
