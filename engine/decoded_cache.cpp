#include "engine/decoded_cache.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <new>

#include "platform/platform.h"

namespace zorvex {

namespace {

class KeptStream final : public InStream {
public:
    KeptStream(InStream* decoded, std::unique_ptr<platform::ScratchFile> file)
        : InStream(decoded->name(), nullptr, decoded->tag()),
          decoded_(decoded),
          file_(std::move(file)),
          limit_(file_->freeSpace() / 2) {}
    ~KeptStream() override { decoded_->release(); }

    int64_t tell() override { return position_; }

    // As a decoder's seek: false past the end, which keeping up to the
    // target finds out.
    bool seek(int64_t target) override {
        // No stream has a byte at INT64_MAX, which leaves room for target + 1.
        if (target < 0 || target == std::numeric_limits<int64_t>::max()) return false;
        int64_t known = decoded_->knownSize();
        if (known >= 0 && target >= known) return false;
        if (target >= kept_ && !keepUpTo(target + 1) && !decoded_->seek(target)) return false;
        position_ = target;
        return true;
    }

    int read(void* buf, int count) override {
        if (!buf || count <= 0) return 0;
        int got = 0;
        if (position_ < kept_) {
            got = static_cast<int>(std::min<int64_t>(count, kept_ - position_));
            if (!file_->read(position_, buf, got)) {
                // The decoder moves away from the end of what is kept.
                keeping_ = false;
                got = readDecoded(buf, got);
            }
        } else if (keepUpTo(position_) && keeping_) {
            got = std::max(decoded_->read(buf, count), 0);
            if (got > 0 && !keep(buf, got)) keeping_ = false;
        } else {
            got = readDecoded(buf, count);
        }
        if (decoded_->damaged()) markDamaged();
        position_ += got;
        return got;
    }

    int64_t size() override {
        if (decoded_->knownSize() < 0) keepUpTo(std::numeric_limits<int64_t>::max());
        return decoded_->size();
    }
    int64_t knownSize() override { return decoded_->knownSize(); }

private:
    static constexpr int kPiece = 1 << 18;

    // What the decoded stream gives at the position, not kept.
    int readDecoded(void* buf, int count) {
        return decoded_->seek(position_) ? std::max(decoded_->read(buf, count), 0) : 0;
    }

    // Appends bytes read from the decoded stream at the end of what is kept.
    bool keep(const void* data, int count) {
        if (kept_ + count > limit_ || !file_->write(kept_, data, count)) return false;
        kept_ += count;
        return true;
    }

    // Decodes and keeps everything before `target`. False when the data ends
    // first or keeping stops; the decoded stream then stands where it ended.
    bool keepUpTo(int64_t target) {
        if (!keeping_) return false;
        if (kept_ >= target) return true;
        if (!piece_) piece_.reset(static_cast<uint8_t*>(std::malloc(kPiece)));
        if (!piece_) return keeping_ = false;
        while (kept_ < target) {
            int want = static_cast<int>(std::min<int64_t>(kPiece, target - kept_));
            int got = decoded_->read(piece_.get(), want);
            if (decoded_->damaged()) markDamaged();
            if (got <= 0) return false;
            if (!keep(piece_.get(), got)) return keeping_ = false;
        }
        return true;
    }

    struct FreeDeleter {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    InStream* decoded_;
    std::unique_ptr<platform::ScratchFile> file_;
    std::unique_ptr<uint8_t, FreeDeleter> piece_;
    int64_t limit_;
    int64_t kept_ = 0;  // bytes [0, kept_) are in the file; the decoded stream stands at kept_ while keeping
    int64_t position_ = 0;
    bool keeping_ = true;
};

}  // namespace

InStream* keepDecodedData(InStream* decoded) {
    std::unique_ptr<platform::ScratchFile> file = platform::ScratchFile::create();
    if (!file) return decoded;
    KeptStream* kept = new (std::nothrow) KeptStream(decoded, std::move(file));
    return kept ? kept : decoded;
}

}  // namespace zorvex
