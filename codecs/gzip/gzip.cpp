#include "codecs/gzip/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "engine/byte_order.h"
#include "engine/pipeline.h"

namespace zorvex {
namespace {

constexpr uint8_t kMagic[2] = {0x1F, 0x8B};
constexpr int kTrailerBytes = 8;
// Whether the 10 bytes at `p` can start a member: magic, method deflate and
// no reserved flag. The extra flags and the system byte vary among writers.
bool isGzipMemberHeader(const uint8_t* p) {
    return p[0] == kMagic[0] && p[1] == kMagic[1] && p[2] == 8 && (p[3] & 0xE0) == 0;
}

constexpr int kGzipWindowBits = 16 + MAX_WBITS;  // zlib parses and checks the gzip wrapper

// Decodes the members of a gzip file back to back (the gzip wrapper, CRC and
// size checks are zlib's). Bytes after a member that do not start another
// member (zero padding, junk) end the data.
class GzipStream final : public DecoderStream {
public:
    using DecoderStream::DecoderStream;
    ~GzipStream() override {
        if (ready_) inflateEnd(&z_);
    }

    bool init() {
        ready_ = inflateInit2(&z_, kGzipWindowBits) == Z_OK;
        return ready_;
    }

    void reset() override {
        inflateReset(&z_);
        state_ = State::inMember;
    }

    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
               int* produced) override {
        *consumed = 0;
        *produced = 0;
        int used = 0;
        while (state_ != State::inMember) {
            if (used == inLength) {
                *consumed = used;
                return inLength == 0 ? kDecodeEnd : kDecodeProgress;
            }
            uint8_t expected = state_ == State::afterMember ? kMagic[0] : kMagic[1];
            if (in[used] != expected) return kDecodeEnd;
            ++used;
            if (state_ == State::afterMember) {
                state_ = State::afterFirstMagicByte;
            } else {
                startNextMember(out, outCapacity);
                state_ = State::inMember;
            }
        }
        z_.next_in = const_cast<Bytef*>(in + used);
        z_.avail_in = static_cast<uInt>(inLength - used);
        z_.next_out = out;
        z_.avail_out = static_cast<uInt>(outCapacity);
        int rc = inflate(&z_, Z_NO_FLUSH);
        *consumed = inLength - static_cast<int>(z_.avail_in);
        *produced = outCapacity - static_cast<int>(z_.avail_out);
        if (rc == Z_STREAM_END) {
            state_ = State::afterMember;
            return kDecodeProgress;
        }
        if (rc == Z_OK || (rc == Z_BUF_ERROR && (*consumed > 0 || *produced > 0))) return kDecodeProgress;
        return kDecodeError;  // damaged, or the file ends inside a member
    }

private:
    enum class State { inMember, afterMember, afterFirstMagicByte };

    // The magic bytes were consumed while looking for the member: hand them to
    // the fresh inflater, which parses the header itself.
    void startNextMember(uint8_t* out, int outCapacity) {
        inflateReset(&z_);
        z_.next_in = const_cast<Bytef*>(kMagic);
        z_.avail_in = 2;
        z_.next_out = out;
        z_.avail_out = static_cast<uInt>(outCapacity);
        inflate(&z_, Z_NO_FLUSH);
    }

    z_stream z_{};
    bool ready_ = false;
    State state_ = State::inMember;
};

// Inflates the start of the first member, header included (output discarded). Returns false
// when the member ends inside the probe: the file has more than one member or
// junk after it. Otherwise *ratio is decoded bytes per packed byte so far.
bool probeFirstMember(InStream* stream, int64_t start, int64_t packedSize, double* ratio) {
    constexpr int64_t kProbeInput = 4 << 20;
    z_stream z{};
    if (inflateInit2(&z, kGzipWindowBits) != Z_OK || !stream->seek(start)) {
        inflateEnd(&z);
        return false;
    }
    static thread_local uint8_t in[1 << 16], out[1 << 16];
    int64_t left = std::min(packedSize, kProbeInput), consumed = 0, produced = 0;
    bool memberEnded = false;
    while (left > 0 && !memberEnded) {
        int n = stream->read(in, static_cast<int>(std::min<int64_t>(left, sizeof in)));
        if (n <= 0) break;
        left -= n;
        z.next_in = in;
        z.avail_in = static_cast<uInt>(n);
        int rc = Z_OK;
        while (z.avail_in > 0 && rc == Z_OK) {
            z.next_out = out;
            z.avail_out = sizeof out;
            rc = inflate(&z, Z_NO_FLUSH);
            produced += sizeof out - z.avail_out;
        }
        consumed += n - z.avail_in;
        if (rc == Z_STREAM_END) memberEnded = true;
        else if (rc != Z_OK) break;
    }
    inflateEnd(&z);
    *ratio = consumed > 0 ? double(produced) / double(consumed) : 0;
    return !memberEnded;
}

// Looks through the packed data for the header of a further member. Reading
// is far cheaper than inflating; a chance match only costs a full decode.
bool mayHoldAnotherMember(InStream* stream, int64_t from, int64_t to) {
    constexpr int kHeaderBytes = 10;
    constexpr int kChunk = 1 << 20;
    uint8_t* buf = static_cast<uint8_t*>(malloc(kChunk + kHeaderBytes));
    if (!buf || !stream->seek(from)) {
        free(buf);
        return true;
    }
    bool found = false;
    int carried = 0;
    for (int64_t pos = from; pos < to && !found;) {
        int n = stream->read(buf + carried, static_cast<int>(std::min<int64_t>(kChunk, to - pos)));
        if (n <= 0) {
            found = true;  // unreadable: let decoding decide
            break;
        }
        pos += n;
        int avail = carried + n;
        const uint8_t* p = buf;
        const uint8_t* end = buf + avail - (kHeaderBytes - 1);
        while (p < end && (p = static_cast<const uint8_t*>(memchr(p, kMagic[0], end - p)))) {
            if (isGzipMemberHeader(p)) {
                found = true;
                break;
            }
            ++p;
        }
        carried = std::min(avail, kHeaderBytes - 1);
        memmove(buf, buf + avail - carried, carried);
    }
    free(buf);
    return found;
}

// Whether the trailer's size can stand for the whole data without decoding it.
// It states the last member's size modulo 2^32, so it is wrong when the file
// has several members or holds 4 GiB or more. Small files are simply decoded.
bool trailerTrusted(InStream* stream, int64_t start, int64_t packedSize, int64_t statedSize) {
    constexpr int64_t kAlwaysDecode = 1 << 20;
    constexpr int64_t kMaxDeflateRatio = 1032;  // a 258-byte match costs at least 2 bits
    if (packedSize <= kAlwaysDecode) return false;
    // Deflate never needs much more than the data itself (stored blocks add
    // 5 bytes per block): more packed bytes mean more data than stated.
    if (packedSize > statedSize + statedSize / 1024 + 1024) return false;
    if ((statedSize - 1024) / kMaxDeflateRatio > packedSize) return false;
    double ratio = 0;
    if (!probeFirstMember(stream, start, packedSize, &ratio)) return false;
    // 4 GiB more than stated is plausible when the data compresses nearly as
    // well as its start does.
    double plausibleRatio = std::min(double(kMaxDeflateRatio), 2 * ratio);
    if (double(statedSize) + 4294967296.0 <= double(packedSize) * plausibleRatio) return false;
    return !mayHoldAnotherMember(stream, start + 1, start + packedSize);
}

// The size the last member's trailer states, when it can stand for the whole
// data; -1 when the data must be decoded to learn it.
int64_t trustedTrailerSize(InStream* file, int64_t offset, int64_t packedSize) {
    uint8_t trailer[kTrailerBytes];
    if (packedSize <= kTrailerBytes || !file->seek(offset + packedSize - kTrailerBytes) ||
        !readExact(file, trailer, kTrailerBytes))
        return -1;
    int64_t stated = le32(trailer + 4);
    // The packed size counts the header too: a little more than the deflate
    // data, which only makes the checks below stricter.
    return trailerTrusted(file, offset, packedSize - kTrailerBytes, stated) ? stated : -1;
}

}  // namespace

InStream* makeGzipStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                         int64_t packedSize, int64_t unpackedSize) {
    if (!source) return nullptr;
    if (unpackedSize < 0) unpackedSize = trustedTrailerSize(source, offset, packedSize);
    return startDecoderStream(
        new (std::nothrow) GzipStream(name, owner, tag, source, offset, packedSize, unpackedSize),
        [](GzipStream& stream) { return stream.init(); });
}

}  // namespace zorvex
