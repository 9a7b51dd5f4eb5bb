#include "engine/decoded_cache.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

#include "platform/platform.h"

namespace zorvex {

namespace {

// Files kept apart, over all streams: each holds a handle until its stream
// ends, and their count stays within the platform's limit.
std::atomic<int> apartFiles{0};

int apartLimit() {
    static const int limit = platform::ScratchFile::linkableLimit();
    return limit;
}

class KeptStream final : public InStream {
public:
    KeptStream(InStream* decoded, std::unique_ptr<platform::ScratchFile> file, const std::u16string& stagingFolder)
        : InStream(decoded->name(), nullptr, decoded->tag()),
          decoded_(decoded),
          file_(std::move(file)),
          stagingFolder_(stagingFolder),
          limit_(file_->freeSpace() / 2) {}
    ~KeptStream() override {
        apartFiles -= static_cast<int>(apart_.size());
        decoded_->release();
    }

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
            int want = static_cast<int>(std::min<int64_t>(count, kept_ - position_));
            got = readKept(buf, want);
            if (got < 0) {
                // The decoder moves away from the end of what is kept.
                keeping_ = false;
                got = readDecoded(buf, want);
            } else if (got < count && position_ + got == kept_ && keeping_) {
                // A read that reaches the end of what is kept goes on from
                // the decoder, which stands there (a seek to that end keeps
                // one byte only).
                got += readOnward(static_cast<uint8_t*>(buf) + got, count - got);
            }
        } else if (keepUpTo(position_) && keeping_) {
            got = readOnward(static_cast<uint8_t*>(buf), count);
        } else {
            got = readDecoded(buf, count);
        }
        fail(decoded_->status());
        position_ += got;
        return got;
    }

    int64_t size() override {
        if (decoded_->knownSize() < 0) keepUpTo(std::numeric_limits<int64_t>::max());
        return decoded_->size();
    }
    int64_t knownSize() override { return decoded_->knownSize(); }
    // What was decoded is read from the scratch file; a seek ahead decodes
    // only what lies between, once.
    bool seeksBounded() override { return true; }

    void keepApart(int64_t offset, int64_t size) override {
        // Only ranges still ahead, in order, and big enough for a file of
        // their own to be worth it (which one whose end is not known yet
        // shows at its end).
        constexpr int64_t kOpen = std::numeric_limits<int64_t>::max();
        const bool open = size == -1;
        if (stagingFolder_.empty() || (!open && size < kMinApart) || offset < kept_ ||
            (!open && size > kOpen - offset) || apartFiles >= apartLimit())
            return;
        if (!apart_.empty() && offset < apart_.back().end) return;
        std::unique_ptr<platform::ScratchFile> file = platform::ScratchFile::createLinkable(stagingFolder_);
        if (!file) {
            stagingFolder_.clear();  // the folder cannot hold such files: all stays in the scratch file
            return;
        }
        apart_.push_back(Apart{offset, open ? kOpen : offset + size, std::move(file), false});
        ++apartFiles;
    }

    void endApart(int64_t end) override {
        if (apart_.empty() || apart_.back().end != std::numeric_limits<int64_t>::max()) return;
        Apart& last = apart_.back();
        // What was kept beyond `end` is in the file already.
        last.end = std::max({end, kept_, last.start});
        const int64_t size = last.end - last.start;
        if (size >= kMinApart) return;
        // Too small for a file of its own after all: its bytes move to the
        // scratch file, and the file goes.
        std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[size_t(size) + 1]);
        const int count = static_cast<int>(size);
        if (!bytes || !last.file->read(0, bytes.get(), count) || !file_->write(last.start, bytes.get(), count)) return;
        apart_.pop_back();
        --apartFiles;
    }

    bool linkRange(int64_t offset, int64_t size, const std::u16string& path) override {
        if (damaged() || decoded_->damaged()) return false;
        auto apart = std::lower_bound(apart_.begin(), apart_.end(), offset,
                                      [](const Apart& a, int64_t start) { return a.start < start; });
        if (apart == apart_.end() || apart->start != offset || apart->end - offset != size || apart->end > kept_)
            return false;
        // A second name for the same data gets a copy: linked, the two
        // extracted files would be one.
        if (apart->linked || !apart->file->linkTo(path)) return false;
        apart->linked = true;
        return true;
    }

private:
    static constexpr int kPiece = 1 << 18;
    // Smaller entries are few bytes to copy beside the cost of their files.
    static constexpr int64_t kMinApart = 64 << 10;

    // Bytes [start, end) of the stream, kept in a file of their own.
    struct Apart {
        int64_t start;
        int64_t end;
        std::unique_ptr<platform::ScratchFile> file;
        bool linked;
    };

    // The kept range that holds `position`, or where the next one starts.
    struct Place {
        Apart* apart;   // null: the position lies in the scratch file
        int64_t limit;  // where that stretch ends
    };
    Place placeOf(int64_t position) {
        auto next = std::upper_bound(apart_.begin(), apart_.end(), position,
                                     [](int64_t at, const Apart& a) { return at < a.start; });
        if (next != apart_.begin() && position < std::prev(next)->end)
            return {&*std::prev(next), std::prev(next)->end};
        return {nullptr, next == apart_.end() ? std::numeric_limits<int64_t>::max() : next->start};
    }

    // Reads kept bytes at the position (count of them are kept); -1 when the
    // file cannot be read.
    int readKept(void* buf, int count) {
        Place place = placeOf(position_);
        int n = static_cast<int>(std::min<int64_t>(count, place.limit - position_));
        bool read = place.apart ? place.apart->file->read(position_ - place.apart->start, buf, n)
                                : file_->read(position_, buf, n);
        return read ? n : -1;
    }

    // Reads on from the end of what is kept, keeping what it reads.
    int readOnward(uint8_t* buf, int count) {
        int got = std::max(decoded_->read(buf, count), 0);
        if (got > 0 && !keep(buf, got)) keeping_ = false;
        return got;
    }

    // What the decoded stream gives at the position, not kept.
    int readDecoded(void* buf, int count) {
        return decoded_->seek(position_) ? std::max(decoded_->read(buf, count), 0) : 0;
    }

    // Appends bytes read from the decoded stream at the end of what is kept.
    bool keep(const uint8_t* data, int count) {
        if (kept_ + count > limit_) return false;
        while (count > 0) {
            Place place = placeOf(kept_);
            int n = static_cast<int>(std::min<int64_t>(count, place.limit - kept_));
            bool written = place.apart ? place.apart->file->write(kept_ - place.apart->start, data, n)
                                       : file_->write(kept_, data, n);
            if (!written) return false;
            kept_ += n;
            data += n;
            count -= n;
        }
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
            fail(decoded_->status());
            if (got <= 0) return false;
            if (!keep(piece_.get(), got)) return keeping_ = false;
        }
        return true;
    }

    struct FreeDeleter {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    InStream* decoded_;
    std::unique_ptr<platform::ScratchFile> file_;  // every kept byte outside apart_, at its own offset
    std::vector<Apart> apart_;                     // in stream order, not overlapping
    std::u16string stagingFolder_;
    std::unique_ptr<uint8_t, FreeDeleter> piece_;
    int64_t limit_;
    int64_t kept_ = 0;  // bytes [0, kept_) are kept; the decoded stream stands at kept_ while keeping
    int64_t position_ = 0;
    bool keeping_ = true;
};

}  // namespace

InStream* keepDecodedData(InStream* decoded, const std::u16string& stagingFolder) {
    std::unique_ptr<platform::ScratchFile> file = platform::ScratchFile::create();
    if (!file) return decoded;
    KeptStream* kept = new (std::nothrow) KeptStream(decoded, std::move(file), stagingFolder);
    return kept ? kept : decoded;
}

}  // namespace zorvex
