#include "engine/standard_input.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <span>

#include "engine/byte_order.h"
#include "engine/codec.h"
#include "engine/decoded_cache.h"
#include "engine/format_registry.h"
#include "engine/password.h"
#include "engine/path_clean.h"
#include "engine/pipeline.h"
#include "engine/stream.h"
#include "formats/zip.h"
#include "platform/platform.h"

namespace zorvex {

namespace {

// What a single-stream reader names its entry after the stream's name.
constexpr char16_t kStreamName[] = u"stdin";

// Standard input read front to back. Its first bytes stay in memory, so that
// what the input starts as can be looked at before a reader takes it; going
// back further is not possible.
class StandardInputStream final : public InStream {
public:
    explicit StandardInputStream(std::function<void(int64_t)> onRead)
        : InStream(kStreamName, nullptr, 0), onRead_(std::move(onRead)) {}

    // Whether a seek forward reads the bytes in between: the kept stream over
    // the input asks for that once it has stopped keeping. A decoder reading
    // the input directly never skips packed data, and its seek ahead (to look
    // for a trailer) then fails instead of eating the input.
    void setSkipsAhead(bool skipsAhead) { skipsAhead_ = skipsAhead; }

    int64_t tell() override { return position_; }

    bool seek(int64_t position) override {
        if (position < 0) return false;
        if (position <= headFill_ && position_ <= headFill_) {
            position_ = position;
            return true;
        }
        if (position < position_) {
            fail(Status::truncated("standard input is larger than the temporary space for keeping it"));
            return false;
        }
        if (!skipsAhead_) return position == position_;
        uint8_t scratch[4096];
        while (position_ < position) {
            int want = static_cast<int>(std::min<int64_t>(sizeof scratch, position - position_));
            if (read(scratch, want) != want) return false;
        }
        return true;
    }

    int read(void* buf, int count) override {
        if (!buf || count <= 0) return 0;
        int done;
        if (position_ < headFill_) {
            done = static_cast<int>(std::min<int64_t>(count, headFill_ - position_));
            std::memcpy(buf, head_ + position_, static_cast<size_t>(done));
        } else {
            done = readInput(static_cast<uint8_t*>(buf), count);
        }
        position_ += done;
        return done;
    }

    // Known once the input has ended whole.
    int64_t size() override { return ended_ && !damaged() ? position_ : -1; }

    // The input's first `count` bytes (fewer when it is shorter), read now
    // when not yet read.
    std::span<const uint8_t> head(int count) {
        count = std::min(count, kHeadBytes);
        if (position_ == headFill_) position_ += readInput(head_ + headFill_, count - headFill_);
        return {head_, static_cast<size_t>(std::min(count, headFill_))};
    }

    static constexpr int kHeadBytes = 4096;

private:

    // Reads on from what was read so far (past the head): a pipe gives what
    // its writer wrote so far, in pieces of any size, so this fills the
    // buffer unless the input ends. The first bytes are kept in head_.
    int readInput(uint8_t* out, int count) {
        if (count <= 0) return 0;
        int done = 0;
        while (!ended_ && done < count) {
            int error = 0;
            int n = platform::readStandardInput(out + done, count - done, &error);
            if (n < 0) fail(Status::ioError(error));
            if (n <= 0) {
                ended_ = true;
                break;
            }
            done += n;
            if (onRead_) onRead_(n);
        }
        if (position_ == headFill_ && headFill_ < kHeadBytes) {
            int kept = std::min(done, kHeadBytes - headFill_);
            if (out != head_ + headFill_) std::memcpy(head_ + headFill_, out, static_cast<size_t>(kept));
            headFill_ += kept;
        }
        return done;
    }

    std::function<void(int64_t)> onRead_;
    bool skipsAhead_ = false;
    uint8_t head_[kHeadBytes];
    int headFill_ = 0;
    int64_t position_ = 0;
    bool ended_ = false;
};

// Standard input for a reader that goes back a little: the last bytes read
// stay in memory (at least kKeep / 2 of them), and a seek ahead reads on.
class RecentInput final : public InStream {
public:
    explicit RecentInput(StandardInputStream* input)
        : InStream(input->name(), nullptr, 0), input_(input), kept_(new (std::nothrow) uint8_t[kKeep]) {
        input_->addRef();
    }
    ~RecentInput() override { input_->release(); }
    bool ok() const { return kept_ != nullptr; }

    int64_t tell() override { return position_; }
    bool seek(int64_t position) override {
        if (position < base_) return false;
        while (position > base_ + fill_)
            if (!pull()) return false;
        position_ = position;
        return true;
    }
    int read(void* buf, int count) override {
        if (!buf || count <= 0 || (position_ == base_ + fill_ && !pull())) return 0;
        const int done = static_cast<int>(std::min<int64_t>(count, base_ + fill_ - position_));
        std::memcpy(buf, kept_.get() + (position_ - base_), static_cast<size_t>(done));
        position_ += done;
        return done;
    }
    int64_t size() override { return ended_ ? base_ + fill_ : -1; }

private:
    static constexpr int kKeep = 1 << 20;
    static constexpr int kPiece = 1 << 16;

    // Reads the next piece of the input after what is kept, letting the
    // older half go when full. False when the input has ended.
    bool pull() {
        if (ended_) return false;
        if (fill_ + kPiece > kKeep) {
            const int dropped = fill_ - kKeep / 2;
            std::memmove(kept_.get(), kept_.get() + dropped, static_cast<size_t>(kKeep / 2));
            base_ += dropped;
            fill_ = kKeep / 2;
        }
        const int got = input_->read(kept_.get() + fill_, kPiece);
        fail(input_->status());
        if (got <= 0) ended_ = true;
        else fill_ += got;
        return got > 0;
    }

    StandardInputStream* input_;
    std::unique_ptr<uint8_t[]> kept_;
    int64_t base_ = 0;  // the input offset of kept_[0]
    int fill_ = 0;
    int64_t position_ = 0;
    bool ended_ = false;
};

// Decoded data that ended before the size its entry states: it still states
// that size (or none, when that is unknown), as the decoder that stopped
// there does, so that a reader sees how much is missing.
class CutShort final : public InStream {
public:
    CutShort(InStream* data, const CodecRequest& request)
        : InStream(request.name, request.owner, request.tag), data_(data), stated_(request.unpackedSize) {}
    ~CutShort() override { data_->release(); }
    int64_t tell() override { return data_->tell(); }
    bool seek(int64_t position) override { return data_->seek(position); }
    int read(void* buf, int count) override { return data_->read(buf, count); }
    int64_t size() override { return stated_; }

private:
    InStream* data_;
    int64_t stated_;
};

// Stands for a zip method in an archive read from a pipe, whose entries'
// data is kept decoded: listed under the method's name, it reads the decoded
// bytes, as many as its property bytes say.
class DecodedData final : public Codec {
public:
    explicit DecodedData(Codec* method) : Codec(method->name(), Unlisted{}), method_(method) {}
    Codec* method() const { return method_; }

    InStream* makeStream(const CodecRequest& request) override {
        if (request.properties.size() != 8) return nullptr;
        const int64_t size = static_cast<int64_t>(le64(request.properties.data()));
        auto* data = new (std::nothrow) StoreStream(request.name, request.owner, request.tag, request.source,
                                                    request.offset, size);
        // A size still unknown is that of data whose end was not found.
        if (!data || (request.unpackedSize >= 0 && request.unpackedSize <= size)) return data;
        auto* cut = new (std::nothrow) CutShort(data, request);
        if (!cut) data->release();
        return cut;
    }

private:
    Codec* method_;
};

// One stand-in per method, made when first needed and kept for the process.
Codec* decodedDataOf(Codec* method) {
    static std::vector<std::unique_ptr<DecodedData>> standIns;
    for (const auto& standIn : standIns)
        if (standIn->method() == method) return standIn.get();
    auto* made = new (std::nothrow) DecodedData(method);
    if (!made) return damagedEntryCodec();
    standIns.emplace_back(made);
    return made;
}

// A zip whose first bytes are a local header is read by its local headers as
// it arrives, its entries decoded: only their decoded data is kept, each
// entry's (from 64 KiB up, when extracting) in a file of its own in the
// staging folder. Its central directory, at the end, then names them.
Archive* openZipFromPipe(StandardInputStream* input, const std::u16string& stagingFolder,
                         const std::shared_ptr<ArchivePassword>& password, Status& failure) {
    auto* recent = new (std::nothrow) RecentInput(input);
    if (!recent) return nullptr;
    Ref<InStream> recentRef(recent);
    if (!recent->ok()) return nullptr;
    Ref<ZipFrontToBack> zip(openZipFrontToBack(recent, password));
    if (!zip) return nullptr;
    zip->addRef();
    Ref<InStream> kept(keepDecodedData(zip.get(), stagingFolder));
    if (kept.get() == zip.get()) return nullptr;
    constexpr int kPiece = 1 << 18;
    std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[kPiece]);
    if (!piece) return nullptr;
    for (int64_t size; zip->nextEntry(size);) {
        if (size != 0) kept->keepApart(kept->tell(), size);
        while (kept->read(piece.get(), kPiece) > 0) {
        }
        if (size < 0) kept->endApart(kept->tell());
    }
    Archive* archive = newArchive(standardInputPath().c_str(), nullptr, kept.get());
    if (!archive) return nullptr;
    archive->setFormatName(u"zip");
    zip->addEntries(archive, decodedDataOf);
    failure = recent->status();
    return archive;
}

// The compressed single streams whose decoders read their packed data front
// to back and check it as they go (member CRCs and sizes, trailers), so that
// the pipe is decoded as it arrives instead of being kept first. (An xz file
// is read from its indexes at the end; of a pipe, whose size is not known,
// it is decoded front to back.)
struct FrontToBackStream {
    const char16_t* format;
    const char16_t* codec;
    std::span<const uint8_t> signature;
};
constexpr uint8_t kGzipMagic[] = {0x1F, 0x8B, 0x08};
constexpr uint8_t kBzip2Magic[] = {'B', 'Z', 'h'};
constexpr uint8_t kLzipMagic[] = {'L', 'Z', 'I', 'P'};
constexpr uint8_t kZstdMagic[] = {0x28, 0xB5, 0x2F, 0xFD};
constexpr uint8_t kXzMagic[] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
const FrontToBackStream kFrontToBack[] = {
    {u"gzip", u"gzip", kGzipMagic},
    {u"bzip2", u"bzip2", kBzip2Magic},
    {u"lzip", u"lzip", kLzipMagic},
    {u"zstd", u"zstd", kZstdMagic},
    {u"xz", u"xz", kXzMagic},
};

// zstd data may open with skippable frames (metadata that some writers put
// first; each is a magic 0x184D2A50-5F, a 4-byte length and that many bytes).
// It is zstd when the first real frame follows them within the head kept in
// memory; longer ones leave the input to be kept whole and detected as files are.
bool isZstdAfterSkippableFrames(std::span<const uint8_t> head) {
    constexpr uint8_t kSkippableMagicHigh[] = {0x2A, 0x4D, 0x18};
    constexpr size_t kFrameHeader = 8;
    size_t at = 0;
    while (head.size() - at >= kFrameHeader && (head[at] & 0xF0) == 0x50 &&
           std::equal(std::begin(kSkippableMagicHigh), std::end(kSkippableMagicHigh), head.begin() + at + 1)) {
        const uint64_t length = le32(&head[at + 4]);
        if (length > head.size() - at - kFrameHeader) return false;
        at += kFrameHeader + length;
    }
    return at > 0 && head.size() - at >= sizeof kZstdMagic &&
           std::equal(std::begin(kZstdMagic), std::end(kZstdMagic), head.begin() + at);
}

// A .lzma starts with its property bytes and the decoded size, no magic:
// properties within range, a dictionary size that tools write (2^n or
// 2^n + 2^(n-1), from 4 KiB up), and a size not stored or below 2^48.
constexpr int kLzmaProperties = 5, kLzmaHeader = 13;
bool isLzmaHeader(std::span<const uint8_t> head) {
    if (head.size() < size_t(kLzmaHeader) || head[0] >= 9 * 5 * 5) return false;
    const uint32_t dictionary = le32(&head[1]);
    bool written = false;
    for (int n = 12; n < 32 && !written; ++n)
        written = dictionary == (1u << n) || dictionary == (1u << n) + (1u << (n - 1));
    const uint64_t size = le64(&head[kLzmaProperties]);
    return written && (size == ~uint64_t{0} || size < (uint64_t{1} << 48));
}

// The decoded data of a compressed single stream on standard input, decoded
// as the input arrives; null when the input starts as no such stream.
InStream* openFrontToBack(StandardInputStream* input, const char16_t** format) {
    std::span<const uint8_t> head = input->head(kLzmaHeader);
    CodecRequest request;
    request.name = kStandardInputStream;
    request.source = input;
    for (const FrontToBackStream& kind : kFrontToBack) {
        if (head.size() >= kind.signature.size() &&
            std::equal(kind.signature.begin(), kind.signature.end(), head.begin())) {
            request.method = kind.codec;
            *format = kind.format;
        }
    }
    if (!request.method && isZstdAfterSkippableFrames(input->head(StandardInputStream::kHeadBytes))) {
        request.method = u"zstd";
        *format = u"zstd";
    }
    if (!request.method && isLzmaHeader(head)) {
        request.method = u"lzma";
        request.offset = kLzmaHeader;
        request.properties = head.first(kLzmaProperties);
        uint64_t stated = le64(&head[kLzmaProperties]);
        request.unpackedSize = stated == ~uint64_t{0} ? -1 : static_cast<int64_t>(stated);
        *format = u"lzma";
    }
    if (!request.method) return nullptr;
    // The packed data ends where the input does.
    request.packedSize = std::numeric_limits<int64_t>::max() - request.offset;
    return openCodecStream(request);
}

// A compressed single stream of standard input names its entry after no
// file: it is an archive when its data starts as one.
void markNestedArchive(Archive* archive) {
    if (archive->fileCount() != 1 || archive->folderCount() != 0 || archive->nestedCount() != 0) return;
    if (std::u16string_view(archive->fileName(0)) != kStandardInputStream) return;
    Ref<InStream> data(archive->openFile(0));
    if (startsWithArchive(data.get())) markHoldsArchive(archive, kStandardInputStream);
}

}  // namespace

std::u16string standardInputPath() { return normalizePath(u"\\dev\\stdin").value_or(u"\\dev\\stdin"); }

Archive* openStandardInput(const std::u16string& stagingFolder, std::function<void(int64_t)> onRead,
                           Status& failure, PasswordSource* passwords) {
    auto* input = new (std::nothrow) StandardInputStream(std::move(onRead));
    if (!input) return nullptr;
    Ref<InStream> raw(input);
    auto password = std::make_shared<ArchivePassword>(passwords, standardInputPath());
    OpeningWithPassword opening(password);
    constexpr uint8_t kLocalHeader[] = {'P', 'K', 3, 4};
    std::span<const uint8_t> head = input->head(sizeof kLocalHeader);
    if (head.size() == sizeof kLocalHeader && std::equal(head.begin(), head.end(), kLocalHeader))
        return input->seek(0) ? openZipFromPipe(input, stagingFolder, password, failure) : nullptr;
    const char16_t* format = nullptr;
    Ref<InStream> decoded(openFrontToBack(input, &format));
    if (!decoded) {
        if (!input->seek(0)) return nullptr;
        input->setSkipsAhead(true);
    }
    // What is read is kept, so that readers can go back to it: the input
    // itself, or else the data decoded from it.
    InStream* source = decoded ? decoded.get() : input;
    source->addRef();
    Ref<InStream> kept(keepDecodedData(source, stagingFolder));
    // Without a scratch file nothing could be read twice.
    if (kept.get() == source) return nullptr;
    Archive* archive = nullptr;
    if (decoded) {
        archive = newArchive(standardInputPath().c_str(), nullptr, kept.get());
        if (!archive) return nullptr;
        archive->setFormatName(format);
        addEntry(archive, findCodec(u"store"), kStandardInputStream, 0, -1, -1, 0);
    } else {
        archive = detectAndOpen(standardInputPath().c_str(), nullptr, kept.get());
    }
    if (archive) markNestedArchive(archive);
    if (!archive) failure = kept->status();
    return archive;
}

}  // namespace zorvex
