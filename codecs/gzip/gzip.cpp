#include "codecs/gzip/gzip.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include <zlib.h>

#include "codecs/deflate/checkpoints.h"
#include "codecs/deflate/inflater.h"
#include "engine/byte_order.h"
#include "engine/codec.h"
#include "engine/parallel_units.h"
#include "engine/pipeline.h"

namespace zorvex {
namespace {

constexpr uint8_t kMagic[2] = {0x1F, 0x8B};
constexpr int kTrailerBytes = 8;
constexpr int kHeaderBytes = 10;
constexpr int64_t kMaxDeflateRatio = 1032;  // a 258-byte match costs at least 2 bits
// Whether the 10 bytes at `p` can start a member: magic, method deflate and
// no reserved flag. The extra flags and the system byte vary among writers.
bool isGzipMemberHeader(const uint8_t* p) {
    return p[0] == kMagic[0] && p[1] == kMagic[1] && p[2] == 8 && (p[3] & 0xE0) == 0;
}

// Inflates the start of the first member, header included (output discarded). Returns false
// when the member ends inside the probe: the file has more than one member or
// junk after it. Otherwise *ratio is decoded bytes per packed byte so far.
bool probeFirstMember(InStream* stream, int64_t start, int64_t packedSize, double* ratio) {
    constexpr int64_t kProbeInput = 4 << 20;
    constexpr int kPiece = 1 << 16;
    Inflater inflater(Inflater::Wrapper::kGzip);
    std::unique_ptr<uint8_t[]> buffers(new (std::nothrow) uint8_t[2 * kPiece]);
    if (!inflater.ready() || !buffers || !stream->seek(start)) return false;
    uint8_t* in = buffers.get();
    uint8_t* out = in + kPiece;
    int64_t left = std::min(packedSize, kProbeInput), consumed = 0, produced = 0;
    Inflater::Step step = Inflater::Step::kProgress;
    while (left > 0 && step == Inflater::Step::kProgress) {
        int n = stream->read(in, static_cast<int>(std::min<int64_t>(left, kPiece)));
        if (n <= 0) break;
        left -= n;
        for (int used = 0; used < n && step == Inflater::Step::kProgress;) {
            int took = 0, gave = 0;
            step = inflater.step(in + used, n - used, &took, out, kPiece, &gave);
            used += took;
            consumed += took;
            produced += gave;
            if (took == 0 && gave == 0) break;
        }
    }
    *ratio = consumed > 0 ? double(produced) / double(consumed) : 0;
    return step != Inflater::Step::kEnd;
}

// Looks through the packed data for the header of a further member. Reading
// is far cheaper than inflating; a chance match only costs a full decode.
bool mayHoldAnotherMember(InStream* stream, int64_t from, int64_t to) {
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

// Writers that compress a member in independent parts (pigz -i, bgzip-like
// tools) end each part with a flush: an empty stored block, whose length
// fields `00 00 ff ff` end byte-aligned. Just after one, the deflate data
// may go on needing no history; the workers confirm that it does.
// Parts are looked for only from this far into a unit, and in a member's
// first MiB: data with none there (plain gzip) is not searched further.
constexpr int64_t kLeastPart = 32 << 10;
constexpr int64_t kFlushSearch = 1 << 20;
// The most a part that ends at a flush point is given room to decode to:
// its packed size does not bound it usefully (deflate reaches 1032:1).
constexpr int64_t kMaxPartOutput = int64_t{16} << 20;
constexpr int kHistoryBytes = 32 << 10;

UnitCodec::Check combine(UnitCodec::Check first, UnitCodec::Check second) {
    // Parts are bounded by a worker's output, far below 2^31 bytes.
    return UnitCodec::Check{
        static_cast<uint32_t>(crc32_combine(first.crc, second.crc, static_cast<z_off_t>(second.size))),
        first.size + second.size};
}

UnitCodec::Check checkOf(const uint8_t* data, int64_t size) {
    return UnitCodec::Check{Inflater::crc32(0, data, size), size};
}

// Whether a member's output is what its trailer states: its CRC, and its size modulo 2^32.
bool matchesTrailer(UnitCodec::Check member, UnitCodec::Check stated) {
    return member.crc == stated.crc && static_cast<uint32_t>(member.size) == stated.size;
}

UnitCodec::Check trailerOf(const uint8_t* trailer) { return UnitCodec::Check{le32(trailer), le32(trailer + 4)}; }

// The end of the first flush mark in `data[from, to)`, or -1.
int64_t findFlushPoint(const uint8_t* data, int64_t from, int64_t to) {
    for (int64_t at = from + 2; at + 2 <= to;) {
        const void* found = std::memchr(data + at, 0xFF, static_cast<size_t>(to - 1 - at));
        if (!found) break;
        at = static_cast<const uint8_t*>(found) - data;
        if (data[at + 1] == 0xFF && data[at - 1] == 0 && data[at - 2] == 0) return at + 2;
        ++at;
    }
    return -1;
}

// Decodes the members of a gzip file back to back (the wrapper, CRC and size
// checks are the inflater's), the first from a flush point inside it when
// `continues`. Bytes after a member that do not start another member (zero
// padding, junk) end the data, as gzip -t and tar readers pass them over:
// every member before them has been checked whole.
UnitCodec::Decoded decodeMembers(bool continues, const uint8_t* in, int64_t size, uint8_t* out, int64_t capacity,
                                 const std::atomic<bool>& cancelled);

class GzipStream final : public DecoderStream, private UnitCodec {
public:
    GzipStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
               int64_t packedSize, int64_t unpackedSize, bool readOnce)
        : DecoderStream(name, owner, tag, source, offset, packedSize, unpackedSize),
          units_(*this, *this, packedSize) {
        if (readOnce) checkpoints_.keepNone();
        else setRestartsNearby();
    }

    bool ready() const { return inflater_.ready(); }

    void reset() override {
        units_.restart();
        searchFrom_ = -1;
        continuesAt_ = -1;
        resumeAt_ = -1;
        decoded_ = 0;
        startSerial(0);
    }

    // Points kept as the data was first decoded: every MiB or so of the
    // serial decoder's output, its inflater's state with the running check
    // of the member (so a read on to the member's end still checks it), and
    // where the workers' units ended (see unitsDelivered). Before the first
    // point, the data's start is one: decoding from there stays on this
    // thread, rather than have the workers buffer far ahead of the target.
    bool restartPoint(int64_t target, int64_t* inputOffset, int64_t* outputPosition) override {
        const InflateCheckpoints::Point* point = checkpoints_.before(target);
        if (decoded_ >= (point ? point->output : 0) && decoded_ <= target) return false;
        if (!point || !resumeAt(*point)) {
            startSerial(0);
            decoded_ = 0;
        }
        units_.resumeSerial(serialInput_);
        *inputOffset = serialInput_;
        *outputPosition = decoded_;
        return true;
    }

    // The last trailer's size stands for the whole data when it can; only
    // otherwise is the data decoded to learn it.
    int64_t size() override {
        if (knownSize() < 0 && !trailerAsked_) {
            trailerAsked_ = true;
            int64_t stated = trustedTrailerSize(source(), packedOffset(), packedSize());
            if (stated >= tell()) {
                setUnpackedSize(stated);
                // Believed only when the data ends there.
                requireEndAtSize();
            }
        }
        return DecoderStream::size();
    }

    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
               int* produced) override {
        int status = units_.decode(in, inLength, consumed, out, outCapacity, produced);
        decoded_ += *produced;
        return status;
    }

private:
    enum class State {
        kInMember,             // the inflater is decoding a member (its header, data or trailer)
        kInMemberRest,         // another inflater goes on with a member from a flush point
        kAfterMember,          // a member ended: another may start, or the data ends here
        kAfterFirstMagicByte,  // the first byte of another member's magic was met
    };

    Found findUnit(int64_t offset, const uint8_t* data, int64_t size, bool ended, Unit* unit) override;
    Decoded decodeUnits(int64_t, bool continues, const uint8_t* in, int64_t size, uint8_t* out, int64_t capacity,
                        const std::atomic<bool>& cancelled) const override {
        return decodeMembers(continues, in, size, out, capacity, cancelled);
    }
    bool acceptUnits(int64_t offset, const Decoded& decoded, const uint8_t* out) override;
    bool keepHistory(const uint8_t* out, int64_t size, bool fresh);

    // Whether the size the last trailer states accounts for all the packed
    // data (deflate adds at most 5 bytes per 64 KiB), as in a file of one member.
    bool lastMemberMayBeAll() {
        if (lastMemberMayBeAll_ < 0) {
            uint8_t trailer[kTrailerBytes];
            const int64_t packed = packedSize();
            const bool read = packed > kTrailerBytes && source()->seek(packedOffset() + packed - kTrailerBytes) &&
                              readExact(source(), trailer, kTrailerBytes);
            const int64_t stated = read ? le32(trailer + 4) : 0;
            lastMemberMayBeAll_ = read && packed <= stated + stated / 1024 + 1024;
        }
        return lastMemberMayBeAll_ > 0;
    }

    // The first member starts the data; after a flush point the member goes
    // on from there; anywhere else what follows a member is looked at first.
    void startSerial(int64_t offset) override {
        inflater_.reset();
        state_ = offset == 0 ? State::kInMember : State::kAfterMember;
        serialInput_ = offset;
        if (offset != 0 && offset == resumeAt_) {
            restInflater_->reset();
            restInflater_->setHistory(history_.get(), historySize_);
            state_ = State::kInMemberRest;
        }
    }

    // What the serial decoder gives is all that the current step of the
    // stream gives, so its output ends at decoded_ + *produced.
    int decodeSerial(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
                     int* produced) override {
        int status = decodeMembersSerially(in, inLength, consumed, out, outCapacity, produced);
        serialInput_ += *consumed;
        const int64_t reached = decoded_ + *produced;
        // The rest of a member the workers left open runs on an inflater of
        // its own: a point there holds that one's state and the running check.
        if (status == kDecodeProgress && checkpoints_.due(reached)) {
            const Inflater* active = state_ == State::kInMemberRest ? restInflater_.get() : &inflater_;
            checkpoints_.add(active, serialInput_, reached, {static_cast<int>(state_), running_.crc, running_.size});
        }
        return status;
    }

    // Where a job's units end is a point too: a member's start needs no
    // state; a member left open at a flush point goes on from its history.
    void unitsDelivered(int64_t input, int64_t output) override {
        if (!checkpoints_.due(output)) return;
        if (input != resumeAt_) {
            checkpoints_.add(nullptr, input, output, {static_cast<int>(State::kAfterMember)});
            return;
        }
        restInflater_->reset();
        if (restInflater_->setHistory(history_.get(), historySize_))
            checkpoints_.add(restInflater_.get(), input, output,
                             {static_cast<int>(State::kInMemberRest), running_.crc, running_.size});
    }

    // Puts the serial decoder back into the state a point kept.
    bool resumeAt(const InflateCheckpoints::Point& point) {
        const auto state = static_cast<State>(point.owner.tag);
        if (point.state.empty()) {
            inflater_.reset();
        } else if (state == State::kInMemberRest) {
            if (!restInflater_ || !restInflater_->restore(point.state)) return false;
            running_ = Check{point.owner.crc, point.owner.checked};
        } else if (!inflater_.restore(point.state)) {
            return false;
        }
        state_ = state;
        serialInput_ = point.input;
        decoded_ = point.output;
        return true;
    }

    int decodeMembersSerially(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
                              int* produced) {
        *consumed = 0;
        *produced = 0;
        if (state_ == State::kInMemberRest) return decodeMemberRest(in, inLength, consumed, out, outCapacity, produced);
        int used = 0;
        while (state_ != State::kInMember) {
            if (used == inLength) {
                *consumed = used;
                if (inLength > 0) return kDecodeProgress;
                // The data ends: whole after a member, cut short after the
                // first magic byte of another.
                return state_ == State::kAfterFirstMagicByte ? kDecodeError : kDecodeEnd;
            }
            uint8_t expected = state_ == State::kAfterMember ? kMagic[0] : kMagic[1];
            if (in[used] != expected) return kDecodeEnd;
            ++used;
            if (state_ == State::kAfterMember) {
                state_ = State::kAfterFirstMagicByte;
            } else {
                startNextMember(out, outCapacity);
                state_ = State::kInMember;
            }
        }
        Inflater::Step step = inflater_.step(in + used, inLength - used, consumed, out, outCapacity, produced);
        *consumed += used;
        if (step == Inflater::Step::kError) return kDecodeError;
        if (step == Inflater::Step::kEnd) {
            state_ = State::kAfterMember;
            return kDecodeProgress;
        }
        // The file ends inside a member.
        return inLength == 0 && *produced == 0 ? kDecodeError : kDecodeProgress;
    }

    // The rest of a member after a flush point, checked against its trailer
    // together with what the workers decoded of it.
    int decodeMemberRest(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity, int* produced) {
        Inflater::Step step = restInflater_->step(in, inLength, consumed, out, outCapacity, produced);
        running_ = combine(running_, checkOf(out, *produced));
        if (step == Inflater::Step::kError) return kDecodeError;
        if (step == Inflater::Step::kProgress) return inLength == 0 && *produced == 0 ? kDecodeError : kDecodeProgress;
        if (!matchesTrailer(running_, trailerOf(restInflater_->trailer()))) return kDecodeError;
        state_ = State::kAfterMember;
        return kDecodeProgress;
    }

    // The magic bytes were consumed while looking for the member: hand them to
    // the fresh inflater, which parses the header itself.
    void startNextMember(uint8_t* out, int outCapacity) {
        inflater_.reset();
        int consumed = 0, produced = 0;
        inflater_.step(kMagic, 2, &consumed, out, outCapacity, &produced);
    }

    Inflater inflater_{Inflater::Wrapper::kGzip};
    bool trailerAsked_ = false;
    State state_ = State::kInMember;
    int64_t searchFrom_ = -1;       // the unit whose end is being looked for
    bool searchContinues_ = false;  // it begins at a flush point
    int64_t searched_ = 0;          // its bytes looked through for the next header
    int64_t flushSearched_ = -1;    // and for a flush point (-1: not looked for)
    int64_t continuesAt_ = -1;      // where the last unit found at a flush point ends
    int8_t lastMemberMayBeAll_ = -1;  // -1: not read yet
    // The member the workers left open at a flush point: where, its check so
    // far and the last bytes decoded, for the caller's decoder to go on from.
    int64_t resumeAt_ = -1;
    Check running_;
    std::unique_ptr<uint8_t[]> history_;
    int historySize_ = 0;
    std::unique_ptr<Inflater> restInflater_;  // made once a member is left open
    InflateCheckpoints checkpoints_;
    int64_t serialInput_ = 0;  // the packed offset the serial decoder has reached
    int64_t decoded_ = 0;      // bytes the stream's steps gave
    ParallelUnits units_;
};

// A unit runs, as far as can be told without inflating it, up to the next
// member header or, before that, the next flush point; one that turns out to
// be a look-alike only makes it fail to decode whole. The last member's
// trailer states its size modulo 2^32, which bounds a whole member's output
// where it is not beyond belief.
UnitCodec::Found GzipStream::findUnit(int64_t offset, const uint8_t* data, int64_t size, bool ended, Unit* unit) {
    constexpr int64_t kSmallestMember = 10 + 2 + kTrailerBytes;
    constexpr int64_t kOutputSlack = 64;  // room for an inflater that wants some to finish in
    if (searchFrom_ != offset) {
        searchFrom_ = offset;
        searchContinues_ = offset == continuesAt_;
        searched_ = searchContinues_ ? kTrailerBytes + 1 : kSmallestMember;  // where another member may begin
        flushSearched_ = kLeastPart - 4;
    }
    if (!searchContinues_) {
        if (size < kHeaderBytes) return ended ? Found::kNone : Found::kMore;
        if (!isGzipMemberHeader(data)) return Found::kNone;
    }
    int64_t flush = -1;
    if (flushSearched_ >= 0) {
        const int64_t to = searchContinues_ ? size : std::min(size, kFlushSearch);
        flush = findFlushPoint(data, flushSearched_, to);
        if (flush < 0) flushSearched_ = !searchContinues_ && to == kFlushSearch ? -1 : std::max(flushSearched_, to - 3);
    }
    const int64_t headerLimit = flush >= 0 ? flush : size;
    int64_t length = -1;
    for (int64_t at = searched_; at + kHeaderBytes <= headerLimit; ++at) {
        const void* magic = std::memchr(data + at, kMagic[0], static_cast<size_t>(headerLimit - kHeaderBytes + 1 - at));
        if (!magic) break;
        at = static_cast<const uint8_t*>(magic) - data;
        if (isGzipMemberHeader(data + at)) {
            length = at;
            break;
        }
    }
    if (length < 0 && flush >= 0) {
        *unit = Unit{flush, std::min(flush * kMaxDeflateRatio, kMaxPartOutput) + kOutputSlack, searchContinues_};
        continuesAt_ = offset + flush;
        return Found::kUnit;
    }
    if (length < 0) {
        if (!ended) {
            // One member with no flush point in its first MiB has nothing to
            // share out: it is decoded at once rather than buffered first.
            if (offset == 0 && flushSearched_ < 0 && lastMemberMayBeAll()) return Found::kNone;
            searched_ = std::max(searched_, size - kHeaderBytes + 1);
            return Found::kMore;
        }
        length = size;
    }
    if (searchContinues_) {
        // The trailer states the whole member's size, not this part's.
        if (length < kTrailerBytes) return Found::kNone;
        *unit = Unit{length, std::min(length * kMaxDeflateRatio, kMaxPartOutput) + kOutputSlack, true};
        return Found::kUnit;
    }
    if (length < kSmallestMember) return Found::kNone;
    const int64_t stated = le32(data + length - 4);
    if (stated > length * kMaxDeflateRatio) return Found::kNone;
    *unit = Unit{length, stated + kOutputSlack};
    return Found::kUnit;
}

// The workers' parts of a member split at flush points are checked together
// against its trailer; a member they leave open is for the next job, or the
// caller's decoder, to go on with. Nothing changes for a job refused, which
// the caller's decoder then decodes again.
bool GzipStream::acceptUnits(int64_t offset, const Decoded& decoded, const uint8_t* out) {
    const Split& split = decoded.split;
    Check running;
    int64_t resumeAt = -1;
    bool freshHistory = false;
    if (offset == resumeAt_) {
        Check member = combine(running_, split.lead);
        if (split.leadEnded && !matchesTrailer(member, split.stated)) return false;
        if (!split.leadEnded) {
            running = member;
            resumeAt = offset + decoded.used;
        }
    }
    if (split.trailOpen) {
        running = split.trail;
        resumeAt = offset + decoded.used;
        freshHistory = true;  // a member refers back to none of the bytes before it
    }
    if (resumeAt >= 0 && !restInflater_) restInflater_.reset(new (std::nothrow) Inflater(Inflater::Wrapper::kGzipRest));
    const int64_t memberBytes = std::min(decoded.produced, running.size);
    if (resumeAt >= 0 && (!restInflater_ || !restInflater_->ready() ||
                          !keepHistory(out + decoded.produced - memberBytes, memberBytes, freshHistory)))
        return false;
    running_ = running;
    resumeAt_ = resumeAt;
    return true;
}

// The last 32 KiB decoded of the open member: what its deflate data after a
// flush point may refer back to.
bool GzipStream::keepHistory(const uint8_t* out, int64_t size, bool fresh) {
    if (!history_) history_.reset(new (std::nothrow) uint8_t[kHistoryBytes]);
    if (!history_) return false;
    if (fresh) historySize_ = 0;
    const int add = static_cast<int>(std::min<int64_t>(size, kHistoryBytes));
    const int keep = std::min(historySize_, kHistoryBytes - add);
    std::memmove(history_.get(), history_.get() + historySize_ - keep, static_cast<size_t>(keep));
    std::memcpy(history_.get() + keep, out + size - add, static_cast<size_t>(add));
    historySize_ = keep + add;
    return true;
}

enum class Inflated { kEnded, kOpen, kFailed };

// Inflates from in[*used] until the deflate data (or member) ends; kOpen:
// the input ran out exactly between two blocks. An error, data cut short
// elsewhere or more output than `capacity` fail.
Inflated inflateRun(Inflater& inflater, const uint8_t* in, int64_t size, int64_t* used, uint8_t* out, int64_t capacity,
                    int64_t* produced, const std::atomic<bool>& cancelled) {
    constexpr int kPiece = 1 << 20;
    for (;;) {
        if (cancelled.load(std::memory_order_relaxed)) return Inflated::kFailed;
        int took = 0, gave = 0;
        Inflater::Step step =
            inflater.step(in + *used, static_cast<int>(std::min<int64_t>(size - *used, kPiece)), &took, out + *produced,
                          static_cast<int>(std::min<int64_t>(capacity - *produced, kPiece)), &gave);
        *used += took;
        *produced += gave;
        if (step == Inflater::Step::kEnd) return Inflated::kEnded;
        if (*used == size && inflater.betweenBlocks()) return Inflated::kOpen;
        if (step == Inflater::Step::kError || (took == 0 && gave == 0)) return Inflated::kFailed;
    }
}

// Member starts inside a job are restart points that cost nothing to keep:
// one every so often is marked, for reads at any offset of files of small
// members (bgzip's are 64 KiB).
void markMemberStart(UnitCodec::Decoded& decoded, int64_t used, int64_t produced) {
    constexpr int64_t kMarkSpacing = 256 << 10;
    const int64_t last = decoded.markCount > 0 ? decoded.marks[decoded.markCount - 1].produced : 0;
    if (used == 0 || produced - last < kMarkSpacing || decoded.markCount == UnitCodec::kMaxMarks) return;
    decoded.marks[decoded.markCount++] = UnitCodec::Mark{used, produced};
}

UnitCodec::Decoded decodeMembers(bool continues, const uint8_t* in, int64_t size, uint8_t* out, int64_t capacity,
                                 const std::atomic<bool>& cancelled) {
    UnitCodec::Decoded failed;
    UnitCodec::Split split;
    int64_t used = 0, produced = 0;
    if (continues) {
        // With no history: a reference back before the flush point fails it.
        Inflater rest(Inflater::Wrapper::kGzipRest);
        if (!rest.ready()) return failed;
        Inflated end = inflateRun(rest, in, size, &used, out, capacity, &produced, cancelled);
        if (end == Inflated::kFailed) return failed;
        split.lead = checkOf(out, produced);
        if (end == Inflated::kOpen) return UnitCodec::Decoded{produced, used, split};
        split.leadEnded = true;
        split.stated = trailerOf(rest.trailer());
    }
    std::optional<Inflater> inflater;  // made at the first member header: most parts have none
    UnitCodec::Decoded decoded;
    while (used < size) {
        if ((used > 0 || continues) && (size - used < kHeaderBytes || !isGzipMemberHeader(in + used))) break;
        markMemberStart(decoded, used, produced);
        if (inflater) inflater->reset();
        else if (!inflater.emplace(Inflater::Wrapper::kGzip).ready()) return failed;
        const int64_t memberStart = produced;
        Inflated end = inflateRun(*inflater, in, size, &used, out, capacity, &produced, cancelled);
        if (end == Inflated::kFailed) return failed;
        if (end == Inflated::kOpen) {
            split.trailOpen = true;
            split.trail = checkOf(out + memberStart, produced - memberStart);
        }
    }
    decoded.produced = produced;
    decoded.used = used;
    decoded.split = split;
    return decoded;
}

}  // namespace

InStream* makeGzipStream(const CodecRequest& r) {
    if (!r.source) return nullptr;
    return startDecoderStream(new (std::nothrow)
                                  GzipStream(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize, r.unpackedSize,
                                         r.readOnce),
                              [](GzipStream& stream) { return stream.ready(); });
}

}  // namespace zorvex
