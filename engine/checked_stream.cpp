#include "engine/checked_stream.h"

#include <new>

#include "engine/crc32.h"

extern "C" {
#include "Blake2.h"
}

namespace zorvex {

struct DataCheck::Blake2sp {
    CBlake2sp state;
};

DataCheck::DataCheck(const EntryChecks& stored) : stored_(stored) {
    if (!stored_.blake2sp) return;
    // Picks the vector code this processor runs, once per process.
    static const bool prepared = (z7_Black2sp_Prepare(), true);
    (void)prepared;
    blake2sp_.reset(new (std::nothrow) Blake2sp);
    if (blake2sp_) Blake2sp_Init(&blake2sp_->state);
}

DataCheck::~DataCheck() = default;

void DataCheck::update(const void* data, size_t size) {
    if (stored_.crc) crc_ = crc32Update(crc_, data, size);
    if (blake2sp_) Blake2sp_Update(&blake2sp_->state, static_cast<const Byte*>(data), size);
}

bool DataCheck::crcMatches() const {
    if (!stored_.crc) return true;
    if (!stored_.key) return crc_ == *stored_.crc;
    return stored_.key->storedCrc(crc_) == stored_.crc;
}

bool DataCheck::blake2spMatches() {
    if (!stored_.blake2sp) return true;
    if (blake2sp_) {
        Blake2spDigest digest;
        Blake2sp_Final(&blake2sp_->state, digest.data());
        blake2spMatched_ = stored_.key ? stored_.key->storedDigest(digest) == stored_.blake2sp
                                       : digest == *stored_.blake2sp;
        blake2sp_.reset();
    }
    // Without memory for the state nothing was checked: not a match.
    return blake2spMatched_;
}

namespace {

class CheckedStream final : public InStream {
public:
    CheckedStream(InStream* source, const EntryChecks& stored)
        : InStream(source->name(), nullptr, source->tag()), source_(source), check_(stored) {
        fail(source_->status());
    }
    ~CheckedStream() override { source_->release(); }

    int64_t tell() override { return position_; }
    bool seek(int64_t position) override {
        if (!source_->seek(position)) return false;
        position_ = position;
        return true;
    }
    int64_t size() override { return source_->size(); }
    int64_t knownSize() override { return source_->knownSize(); }

    int read(void* buf, int count) override {
        int got = source_->read(buf, count);
        fail(source_->status());
        if (got < 0) got = 0;
        const int64_t at = position_;
        position_ += got;
        // The part of these bytes that extends the checked run.
        if (at <= checked_ && position_ > checked_) {
            check_.update(static_cast<const uint8_t*>(buf) + (checked_ - at), size_t(position_ - checked_));
            checked_ = position_;
        }
        const int64_t end = source_->knownSize();
        const bool atEnd = end >= 0 ? checked_ >= end : got == 0 && count > 0 && at == checked_;
        if (atEnd && !verified_) {
            verified_ = true;
            if (!check_.crcMatches()) fail(Status::checkFailed("CRC mismatch"));
            else if (!check_.blake2spMatches()) fail(Status::checkFailed("BLAKE2sp mismatch"));
        }
        return got;
    }

private:
    InStream* source_;
    DataCheck check_;
    int64_t position_ = 0;
    int64_t checked_ = 0;  // bytes [0, checked_) went through check_
    bool verified_ = false;
};

}  // namespace

InStream* openChecked(InStream* source, const EntryChecks& stored) {
    if (!source || (!stored.crc && !stored.blake2sp)) return source;
    auto* checked = new (std::nothrow) CheckedStream(source, stored);
    if (!checked) source->release();
    return checked;
}

}  // namespace zorvex
