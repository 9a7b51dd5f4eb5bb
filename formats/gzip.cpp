// gzip: one entry, the data of every member joined.
//
// The trailer at the end of the file states the size of the LAST member only,
// modulo 2^32. Listing trusts it only when nothing argues against it; otherwise
// the data is decoded once to learn the true size (see trailerTrusted).
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "engine/archive.h"
#include "engine/codec.h"
#include "engine/convert.h"
#include "engine/stream.h"
#include "formats/entry_name.h"
#include "formats/single.h"

namespace zorvex {
namespace {

constexpr uint8_t kMagic[2] = {0x1F, 0x8B};

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
        ready_ = inflateInit2(&z_, 16 + MAX_WBITS) == Z_OK;
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

// A gzip stream over the whole file; its size is decoded once when not given.
GzipStream* makeGzipStream(const char16_t* name, Archive* owner, InStream* file, int64_t size) {
    auto* stream = new (std::nothrow) GzipStream(name, owner, file->tag(), file, 0, file->size(), size);
    if (!stream) return nullptr;
    if (!stream->ok() || !stream->init()) {
        stream->release();
        return nullptr;
    }
    if (size < 0) stream->measureSize();
    return stream;
}

// Small buffered reader for the header fields.
class HeaderReader {
public:
    explicit HeaderReader(InStream* stream) : stream_(stream) {}
    bool byte(uint8_t* b) {
        if (pos_ == fill_) {
            consumedBefore_ += fill_;
            fill_ = std::max(stream_->read(buf_, sizeof buf_), 0);
            pos_ = 0;
            if (fill_ == 0) return false;
        }
        *b = buf_[pos_++];
        return true;
    }
    bool skip(int count) {
        uint8_t b;
        while (count-- > 0)
            if (!byte(&b)) return false;
        return true;
    }
    // A zero-terminated field; only its first `keep` bytes are stored.
    bool text(std::string* out, size_t keep) {
        uint8_t b;
        while (byte(&b)) {
            if (b == 0) return true;
            if (out && out->size() < keep) out->push_back(static_cast<char>(b));
        }
        return false;
    }
    int64_t consumed() const { return consumedBefore_ + pos_; }

private:
    InStream* stream_;
    uint8_t buf_[4096];
    int fill_ = 0;
    int pos_ = 0;
    int64_t consumedBefore_ = 0;
};

struct GzipHeader {
    int64_t dataStart = 0;
    std::string storedName;
};

constexpr uint8_t kFlagHeaderCrc = 0x02, kFlagExtra = 0x04, kFlagName = 0x08, kFlagComment = 0x10;

bool readHeader(InStream* stream, GzipHeader* header) {
    if (!stream->seek(0)) return false;
    HeaderReader in(stream);
    uint8_t magic1, magic2, method, flags;
    if (!in.byte(&magic1) || !in.byte(&magic2) || !in.byte(&method) || !in.byte(&flags)) return false;
    if (magic1 != kMagic[0] || magic2 != kMagic[1] || method != 8) return false;
    if (!in.skip(6)) return false;
    if (flags & kFlagExtra) {
        uint8_t lo, hi;
        if (!in.byte(&lo) || !in.byte(&hi) || !in.skip(lo | hi << 8)) return false;
    }
    if ((flags & kFlagName) && !in.text(&header->storedName, 4096)) return false;
    if ((flags & kFlagComment) && !in.text(nullptr, 0)) return false;
    if ((flags & kFlagHeaderCrc) && !in.skip(2)) return false;
    header->dataStart = in.consumed();
    return true;
}

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

// Inflates the start of the first member (output discarded). Returns false
// when the member ends inside the probe: the file has more than one member or
// junk after it. Otherwise *ratio is decoded bytes per packed byte so far.
bool probeFirstMember(InStream* stream, int64_t dataStart, int64_t packedSize, double* ratio) {
    constexpr int64_t kProbeInput = 4 << 20;
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK || !stream->seek(dataStart)) {
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

bool looksLikeMemberHeader(const uint8_t* p) {
    return p[0] == kMagic[0] && p[1] == kMagic[1] && p[2] == 8 && (p[3] & 0xE0) == 0 &&
           (p[8] == 0 || p[8] == 2 || p[8] == 4) && (p[9] <= 13 || p[9] == 255);
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
            if (looksLikeMemberHeader(p)) {
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
bool trailerTrusted(InStream* stream, int64_t dataStart, int64_t packedSize, int64_t statedSize) {
    constexpr int64_t kAlwaysDecode = 1 << 20;
    constexpr int64_t kMaxDeflateRatio = 1032;  // a 258-byte match costs at least 2 bits
    if (packedSize <= kAlwaysDecode) return false;
    // Deflate never needs much more than the data itself (stored blocks add
    // 5 bytes per block): more packed bytes mean more data than stated.
    if (packedSize > statedSize + statedSize / 1024 + 1024) return false;
    if ((statedSize - 1024) / kMaxDeflateRatio > packedSize) return false;
    double ratio = 0;
    if (!probeFirstMember(stream, dataStart, packedSize, &ratio)) return false;
    // 4 GiB more than stated is plausible when the data compresses nearly as
    // well as its start does.
    double plausibleRatio = std::min(double(kMaxDeflateRatio), 2 * ratio);
    if (double(statedSize) + 4294967296.0 <= double(packedSize) * plausibleRatio) return false;
    return !mayHoldAnotherMember(stream, dataStart + 1, dataStart + packedSize);
}

// The stored name without any folders it names.
std::u16string storedEntryName(const std::string& stored) {
    size_t cut = stored.find_last_of("/\\");
    std::string base = cut == std::string::npos ? stored : stored.substr(cut + 1);
    if (base.empty() || base == "." || base == "..") return {};
    if (auto wide = utf8ToWide(base)) return *wide;
    return ansiToWide(base).value_or(std::u16string());
}

}  // namespace

Archive* openGzip(const char16_t* name, Archive* container, InStream* stream) {
    GzipHeader header;
    int64_t fileSize = stream->size();
    uint8_t trailer[8];
    if (!readHeader(stream, &header) || header.dataStart >= fileSize - 8 || !stream->seek(fileSize - 8) ||
        !readExact(stream, trailer, 8))
        return newArchive(name, container, stream);

    std::u16string entryName = storedEntryName(header.storedName);
    if (entryName.empty()) entryName = singleEntryName(stream, {{u".gz", u""}, {u".tgz", u".tar"}}, u"gz.out");

    int64_t packedSize = fileSize - 8 - header.dataStart;
    int64_t statedSize = le32(trailer + 4);
    bool trusted = trailerTrusted(stream, header.dataStart, packedSize, statedSize);
    Ref<GzipStream> data(makeGzipStream(stream->name(), container, stream, trusted ? statedSize : -1));
    if (!data) return newArchive(name, container, stream);
    int64_t size = data->size();
    Archive* archive = newArchive(name, container, data.get());
    if (!archive) return nullptr;
    // The trailer's CRC covers the whole data only when it has one member.
    std::optional<uint32_t> crc;
    if (size == statedSize || trusted) crc = le32(trailer);
    if (size >= 0) addEntry(archive, findCodec(u"store"), entryName, 0, size, size, stream->tag(), crc);
    return archive;
}

}  // namespace zorvex
