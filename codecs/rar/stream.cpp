// The stream every RAR codec makes: reads the member table from the
// request's properties, runs the unpacker, and keeps what a step decoded beyond the reader's
// request for the next read. Seeking backwards decodes again from the start.
#include <algorithm>
#include <new>
#include <span>

#include "codecs/rar/unpacker.h"
#include "engine/byte_order.h"
#include "engine/codec.h"
#include "engine/copy_bytes.h"
#include "engine/stream.h"

namespace zorvex {
namespace {

using rar::Member;
using rar::StepResult;
using rar::Unpacker;
using rar::Version;

uint64_t roundUpToPowerOfTwo(uint64_t v) {
    uint64_t p = 1;
    while (p < v && p != 0) p <<= 1;
    return p;
}

class RarStream final : public InStream, private rar::OutputSink {
public:
    RarStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source)
        : InStream(name, owner, tag), source_(source) {
        source_->addRef();
    }
    ~RarStream() override { source_->release(); }

    bool init(Version version, const CodecRequest& request);

    int64_t tell() override { return position_; }
    int64_t size() override { return size_; }
    int read(void* buf, int count) override;
    bool seek(int64_t position) override;

private:
    void output(const uint8_t* data, size_t size) override;
    bool readProperties(std::span<const uint8_t> properties, int64_t packedSize, uint64_t* dictionary,
                        std::vector<Member>* members);
    // Delivers `count` bytes to `dest` (null: discards them); returns how many.
    int64_t pull(uint8_t* dest, int64_t count);
    int64_t pendingLeft() const { return static_cast<int64_t>(pending_.size() - pendingOffset_); }

    InStream* source_;
    std::unique_ptr<Unpacker> unpacker_;
    int64_t size_ = 0;
    int64_t position_ = 0;
    bool finished_ = false;
    // Decoded bytes not yet delivered.
    std::vector<uint8_t> pending_;
    size_t pendingOffset_ = 0;
    // The read in progress: where its bytes go (null: discarded) and how many
    // it still wants.
    uint8_t* dest_ = nullptr;
    int64_t want_ = 0;
};

bool RarStream::readProperties(std::span<const uint8_t> properties, int64_t packedSize, uint64_t* dictionary,
                               std::vector<Member>* members) {
    if (properties.size() < rar::kPropertiesFixedSize) return false;
    *dictionary = le64(properties.data());
    uint32_t count = le32(properties.data() + 8);
    if (count == 0 || count > rar::kMaxMembers || properties.size() != rar::propertiesSize(count)) return false;
    const uint8_t* table = properties.data() + rar::kPropertiesFixedSize;
    uint64_t packedTotal = 0, unpackedTotal = 0;
    members->resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        Member& m = (*members)[i];
        m.packedSize = le64(table + i * rar::kPropertiesMemberSize);
        m.unpackedSize = le64(table + i * rar::kPropertiesMemberSize + 8);
        packedTotal += m.packedSize;
        unpackedTotal += m.unpackedSize;
        if (m.packedSize > INT64_MAX / 2 || m.unpackedSize > INT64_MAX / 2 || packedTotal > INT64_MAX / 2 ||
            unpackedTotal > INT64_MAX / 2)
            return false;
    }
    if (packedSize < 0 || packedTotal != static_cast<uint64_t>(packedSize)) return false;
    size_ = static_cast<int64_t>(unpackedTotal);
    return true;
}

bool RarStream::init(Version version, const CodecRequest& request) {
    uint64_t dictionary = 0;
    std::vector<Member> members;
    if (!readProperties(request.properties, request.packedSize, &dictionary, &members)) return false;
    uint64_t window = dictionary == 0 ? rar::kDefaultWindow : roundUpToPowerOfTwo(dictionary);
    if (window == 0 || window > rar::kMaxWindow) return false;
    // Matches never reach before the start of the stream, so the window need
    // not be bigger than everything the stream decodes.
    uint64_t needed = roundUpToPowerOfTwo(static_cast<uint64_t>(size_) + Unpacker::kMaxSymbolOutput);
    window = std::max(std::min(window, needed), rar::kMinWindow);
    unpacker_.reset(new (std::nothrow)
                        Unpacker(version, window, source_, request.offset, std::move(members), this));
    return unpacker_ && unpacker_->init();
}

void RarStream::output(const uint8_t* data, size_t size) {
    size_t direct = static_cast<size_t>(std::min<int64_t>(want_, static_cast<int64_t>(size)));
    if (dest_) {
        copyBytes(dest_, data, direct);
        dest_ += direct;
    }
    want_ -= static_cast<int64_t>(direct);
    if (direct < size) pending_.insert(pending_.end(), data + direct, data + size);
}

int64_t RarStream::pull(uint8_t* dest, int64_t count) {
    int64_t fromPending = std::min(count, pendingLeft());
    if (dest && fromPending > 0) copyBytes(dest, pending_.data() + pendingOffset_, static_cast<size_t>(fromPending));
    pendingOffset_ += static_cast<size_t>(fromPending);
    if (pendingOffset_ == pending_.size()) {
        pending_.clear();
        pendingOffset_ = 0;
    }
    dest_ = dest ? dest + fromPending : nullptr;
    want_ = count - fromPending;
    while (want_ > 0 && !finished_) {
        StepResult result = unpacker_->step();
        if (result != StepResult::kMore) finished_ = true;
        // Packed data that could not be had says why, such as a missing password.
        if (result == StepResult::kError) fail(source_->status());
    }
    int64_t got = count - want_;
    want_ = 0;
    dest_ = nullptr;
    position_ += got;
    return got;
}

int RarStream::read(void* buf, int count) {
    if (!buf || count <= 0 || position_ >= size_) return 0;
    int64_t n = std::min<int64_t>(count, size_ - position_);
    return static_cast<int>(pull(static_cast<uint8_t*>(buf), n));
}

bool RarStream::seek(int64_t position) {
    if (position < 0 || position >= size_) return false;
    if (position < position_) {
        if (!unpacker_->restart()) return false;
        pending_.clear();
        pendingOffset_ = 0;
        position_ = 0;
        finished_ = false;
    }
    int64_t distance = position - position_;
    return pull(nullptr, distance) == distance;
}

InStream* makeRarStream(Version version, const CodecRequest& request) {
    auto* stream = new (std::nothrow) RarStream(request.name, request.owner, request.tag, request.source);
    if (!stream) return nullptr;
    if (!stream->init(version, request)) {
        stream->release();
        return nullptr;
    }
    return stream;
}

}  // namespace

InStream* makeRar15Stream(const CodecRequest& request) { return makeRarStream(Version::kRar15, request); }
InStream* makeRar20Stream(const CodecRequest& request) { return makeRarStream(Version::kRar20, request); }
InStream* makeRar29Stream(const CodecRequest& request) { return makeRarStream(Version::kRar29, request); }
InStream* makeRar50Stream(const CodecRequest& request) { return makeRarStream(Version::kRar50, request); }

}  // namespace zorvex
