#include "engine/recent_blocks.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "engine/copy_bytes.h"

namespace zorvex {
namespace {

class RecentBlocks final : public InStream {
public:
    static constexpr int kBlockSize = 128 << 10;
    // Twice what 16 threads serving 128 KiB reads can have in flight.
    static constexpr int kBlocks = 32;

    RecentBlocks(InStream* inner, uint8_t* memory)
        : InStream(inner->name(), nullptr, inner->tag()), inner_(inner), memory_(memory) {
        if (inner->restartsNearby()) setRestartsNearby();
        for (int i = 0; i < kBlocks; ++i) slots_[i].index = i;
    }
    ~RecentBlocks() override {
        std::free(memory_);
        inner_->release();
    }

    int64_t tell() override { return position_; }
    bool seek(int64_t position) override {
        if (position < 0) return false;
        position_ = position;
        return true;
    }
    int64_t size() override { return inner_->size(); }
    int64_t knownSize() override { return inner_->knownSize(); }

    int read(void* buf, int count) override {
        auto* out = static_cast<uint8_t*>(buf);
        int done = 0;
        while (done < count) {
            const Slot* slot = blockAt(position_ / kBlockSize);
            if (!slot) break;
            const int64_t inBlock = position_ - slot->block * kBlockSize;
            if (inBlock >= slot->length) break;  // the data's end
            const int n = static_cast<int>(std::min<int64_t>(count - done, slot->length - inBlock));
            copyBytes(out + done, memory_ + slot->index * size_t(kBlockSize) + inBlock, static_cast<size_t>(n));
            done += n;
            position_ += n;
        }
        return done;
    }

private:
    struct Slot {
        int64_t block = -1;
        int length = 0;
        int index = 0;
        uint64_t used = 0;
    };

    // The block, read from the inner stream unless kept; null when it
    // cannot be read whole (the failure is then this stream's too).
    const Slot* blockAt(int64_t block) {
        Slot* oldest = &slots_[0];
        for (Slot& slot : slots_) {
            if (slot.block == block) {
                slot.used = ++clock_;
                return &slot;
            }
            if (slot.used < oldest->used) oldest = &slot;
        }
        oldest->block = -1;
        uint8_t* to = memory_ + oldest->index * size_t(kBlockSize);
        int length = 0;
        if (inner_->seek(block * kBlockSize)) {
            for (int got; length < kBlockSize && (got = inner_->read(to + length, kBlockSize - length)) > 0;)
                length += got;
        }
        fail(inner_->status());
        if (damaged()) return nullptr;
        oldest->block = block;
        oldest->length = length;
        oldest->used = ++clock_;
        return oldest;
    }

    InStream* inner_;
    uint8_t* memory_;
    Slot slots_[kBlocks];
    uint64_t clock_ = 0;
    int64_t position_ = 0;
};

}  // namespace

InStream* keepRecentBlocks(InStream* inner) {
    auto* memory = static_cast<uint8_t*>(std::malloc(size_t(RecentBlocks::kBlockSize) * RecentBlocks::kBlocks));
    auto* stream = memory ? new (std::nothrow) RecentBlocks(inner, memory) : nullptr;
    if (!stream) {
        std::free(memory);
        inner->release();
        return nullptr;
    }
    return stream;
}

}  // namespace zorvex
