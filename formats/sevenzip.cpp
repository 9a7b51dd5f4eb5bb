// The 7z reader. The header describes folders (graphs of coders over packed
// streams) and files; each folder's decoded output is one lazily built
// stream, all of them joined back to back, and every file is a stored window
// of that joined stream.
#include "formats/sevenzip.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/archive.h"
#include "engine/byte_order.h"
#include "engine/codec.h"
#include "engine/coder_graph.h"
#include "engine/convert.h"
#include "engine/crc32.h"
#include "engine/format_registry.h"
#include "engine/password.h"
#include "engine/shared_stream.h"
#include "engine/stream.h"

namespace zorvex {
namespace {

constexpr uint8_t kSignature[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
constexpr int kStartHeaderSize = 32;

enum PropertyId : uint64_t {
    kEnd = 0,
    kHeader = 1,
    kArchiveProperties = 2,
    kAdditionalStreamsInfo = 3,
    kMainStreamsInfo = 4,
    kFilesInfo = 5,
    kPackInfo = 6,
    kUnpackInfo = 7,
    kSubStreamsInfo = 8,
    kSize = 9,
    kCrc = 10,
    kFolder = 11,
    kCodersUnpackSize = 12,
    kNumUnpackStream = 13,
    kEmptyStream = 14,
    kEmptyFile = 15,
    kAnti = 16,
    kName = 17,
    kModificationTime = 20,
    kAttributes = 21,
    kEncodedHeader = 23,
};

// Coders and streams per folder: real writers use a handful; the bound keeps
// graph walks and size tables small whatever a header claims.
constexpr uint64_t kMaxCoders = 64;
constexpr uint64_t kMaxCoderStreams = 64;
// A header (plain, or decoded from an encoded one) larger than this is not
// taken: even a million files need far less.
constexpr int64_t kMaxHeaderSize = int64_t{1} << 30;

struct CoderId {
    uint8_t length;
    uint8_t bytes[4];
    const char16_t* codec;
    // The branch filters may take a 4-byte start offset as their properties.
    bool branch;
};

constexpr CoderId kCoderIds[] = {
    {1, {0x00}, u"store", false},
    {1, {0x03}, u"delta", false},
    {1, {0x04}, u"bcj", true},
    {1, {0x05}, u"ppc", true},
    {1, {0x06}, u"ia64", true},
    {1, {0x07}, u"arm", true},
    {1, {0x08}, u"armt", true},
    {1, {0x09}, u"sparc", true},
    {1, {0x0A}, u"arm64", true},
    {1, {0x0B}, u"riscv", true},
    {1, {0x21}, u"lzma2", false},
    {3, {0x03, 0x01, 0x01}, u"lzma", false},
    {3, {0x03, 0x04, 0x01}, u"ppmd-h", false},
    {3, {0x04, 0x01, 0x08}, u"deflate", false},
    {3, {0x04, 0x01, 0x09}, u"deflate64", false},
    // Zip method numbers 96, 97 and 98 written in hex.
    {3, {0x04, 0x01, 0x60}, u"zip-jpeg", false},
    {3, {0x04, 0x01, 0x61}, u"wavpack", false},
    {3, {0x04, 0x01, 0x62}, u"ppmd-i", false},
    {3, {0x04, 0x02, 0x02}, u"bzip2", false},
    {3, {0x04, 0x03, 0x01}, u"rar15", false},
    {3, {0x04, 0x03, 0x02}, u"rar20", false},
    {3, {0x04, 0x03, 0x03}, u"rar29", false},
    {3, {0x04, 0x03, 0x05}, u"rar50", false},
    {4, {0x03, 0x03, 0x01, 0x03}, u"bcj", true},
    {4, {0x03, 0x03, 0x01, 0x1B}, u"bcj2", false},
    {4, {0x03, 0x03, 0x02, 0x05}, u"ppc", true},
    {4, {0x03, 0x03, 0x04, 0x01}, u"ia64", true},
    {4, {0x03, 0x03, 0x05, 0x01}, u"arm", true},
    {4, {0x03, 0x03, 0x07, 0x01}, u"armt", true},
    {4, {0x03, 0x03, 0x08, 0x05}, u"sparc", true},
    {4, {0x04, 0xF7, 0x11, 0x01}, u"zstd", false},
    {4, {0x06, 0xF1, 0x07, 0x01}, u"7z-aes", false},
};

// Describes a coder from its id and properties; its method stays null when
// the id is not known or the properties do not fit it.
void describeCoder(const std::vector<uint8_t>& id, std::vector<uint8_t> properties, GraphCoder& coder) {
    for (const CoderId& known : kCoderIds) {
        if (known.length != id.size() || std::memcmp(known.bytes, id.data(), id.size()) != 0) continue;
        if (known.branch && !properties.empty()) {
            if (properties.size() != 4) return;
            coder.startOffset = le32(properties.data());
            properties.clear();
        }
        coder.method = known.codec;
        coder.properties = std::move(properties);
        return;
    }
}

// One folder: a graph of coders fed by packed streams, with the CRC of its
// output when the header gives one.
struct Folder : CoderGraph {
    std::optional<uint32_t> crc;
    uint32_t firstPackStream = 0;
};

// The coder id of AES-256 with a SHA-256 derived key.
constexpr uint64_t kAesCoderId = 0x06F10701;

bool isEncrypted(const Folder& folder) {
    return std::any_of(folder.coders.begin(), folder.coders.end(),
                       [](const GraphCoder& coder) { return coder.id == kAesCoderId; });
}

struct StreamsInfo {
    uint64_t packPosition = 0;
    std::vector<int64_t> packSizes;
    std::vector<Folder> folders;
    std::vector<uint64_t> substreamCounts;  // per folder
    std::vector<int64_t> substreamSizes;
    std::vector<std::optional<uint32_t>> substreamCrcs;
};

struct FileRecord {
    std::u16string name;
    bool hasStream = true;
    bool isEmptyFile = false;
    bool isAnti = false;
    int64_t time = 0;
    EntryMetadata metadata;  // from the attributes
};

// Reads the header's numbers and vectors from memory. Every read checks the
// bytes left; after the first failure all reads fail.
class HeaderReader {
public:
    HeaderReader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}

    bool ok() const { return ok_; }
    size_t left() const { return ok_ ? static_cast<size_t>(end_ - p_) : 0; }
    bool fail() { return ok_ = false; }

    uint8_t byte() {
        if (left() < 1) return fail(), 0;
        return *p_++;
    }

    // The variable-length number: leading 1-bits of the first byte count the
    // extra little-endian bytes, its remaining bits are the top of the value.
    uint64_t number() {
        uint8_t first = byte();
        uint8_t mask = 0x80;
        uint64_t value = 0;
        for (int i = 0; i < 8; ++i) {
            if ((first & mask) == 0) return value | (uint64_t(first & (mask - 1)) << (8 * i));
            value |= uint64_t{byte()} << (8 * i);
            mask >>= 1;
        }
        return value;
    }

    // A count of items each taking at least one header byte: more than the
    // bytes left cannot be true, and would size allocations on trust.
    uint64_t count() {
        uint64_t n = number();
        if (n > left()) fail();
        return ok_ ? n : 0;
    }

    // A size or position that must fit a signed 64-bit value.
    int64_t size() {
        uint64_t n = number();
        if (n > uint64_t(std::numeric_limits<int64_t>::max())) fail();
        return ok_ ? static_cast<int64_t>(n) : 0;
    }

    uint32_t uint32() {
        if (left() < 4) return fail(), 0;
        uint32_t v = le32(p_);
        p_ += 4;
        return v;
    }

    uint64_t uint64() {
        if (left() < 8) return fail(), 0;
        uint64_t v = le64(p_);
        p_ += 8;
        return v;
    }

    const uint8_t* take(uint64_t n) {
        if (n > left()) return fail(), nullptr;
        const uint8_t* at = p_;
        p_ += n;
        return at;
    }

    void skip(uint64_t n) { take(n); }

    // A zero-terminated UTF-16LE string, measured first so that it is stored
    // in one piece.
    std::u16string terminatedText() {
        size_t units = 0;
        for (size_t room = left() / 2; units < room && (p_[2 * units] | p_[2 * units + 1]) != 0;) ++units;
        const uint8_t* at = take(2 * units + 2);
        if (!at) return {};
        std::u16string text(units, u'\0');
        for (size_t i = 0; i < units; ++i) text[i] = static_cast<char16_t>(at[2 * i] | at[2 * i + 1] << 8);
        return text;
    }

    std::vector<bool> bits(uint64_t n) {
        std::vector<bool> out;
        if (n / 8 > left()) return fail(), out;
        out.resize(n);
        uint8_t current = 0;
        for (uint64_t i = 0; i < n && ok_; ++i) {
            if (i % 8 == 0) current = byte();
            out[i] = (current & (0x80 >> (i % 8))) != 0;
        }
        return out;
    }

    // An "all defined" byte, then a bit vector when not all are.
    std::vector<bool> definedBits(uint64_t n) {
        if (byte() == 0) return bits(n);
        return std::vector<bool>(n, true);
    }

    std::vector<std::optional<uint32_t>> digests(uint64_t n) {
        std::vector<bool> defined = definedBits(n);
        std::vector<std::optional<uint32_t>> out(defined.size());
        for (size_t i = 0; i < defined.size() && ok_; ++i)
            if (defined[i]) out[i] = uint32();
        return out;
    }

private:
    const uint8_t* p_;
    const uint8_t* end_;
    bool ok_ = true;
};

// Turns header bytes into streams info and file records.
class HeaderParser {
public:
    HeaderParser(InStream* archive, int64_t archiveSize, std::shared_ptr<ArchivePassword> password)
        : archive_(archive), archiveSize_(archiveSize), password_(std::move(password)) {}

    // Parses a plain header, or decodes an encoded one and parses that.
    bool parse(const uint8_t* data, size_t size, bool encodedAllowed) {
        HeaderReader in(data, size);
        uint64_t id = in.number();
        if (id == kHeader) return parseHeader(in);
        if (id != kEncodedHeader || !encodedAllowed) return false;
        StreamsInfo packed;
        if (!parseStreamsInfo(in, packed) || packed.folders.empty()) return false;
        std::vector<uint8_t> header;
        return decodeFolder(packed.folders.front(), header) && parse(header.data(), header.size(), false);
    }

    StreamsInfo streams;
    std::vector<FileRecord> files;
    // Why an encrypted header could not be read: no password, or one that
    // does not decode it (a wrong one, or damage: the two look the same).
    Status headerFailure;

private:
    bool parseHeader(HeaderReader& in) {
        uint64_t id = in.number();
        if (id == kArchiveProperties) {
            while (in.ok() && in.number() != kEnd) in.skip(in.number());
            id = in.number();
        }
        if (id == kAdditionalStreamsInfo) {
            StreamsInfo ignored;
            if (!parseStreamsInfo(in, ignored)) return false;
            id = in.number();
        }
        if (id == kMainStreamsInfo) {
            if (!parseStreamsInfo(in, streams)) return false;
            id = in.number();
        }
        if (id == kFilesInfo) {
            if (!parseFiles(in)) return false;
            id = in.number();
        }
        return in.ok() && id == kEnd;
    }

    bool parseStreamsInfo(HeaderReader& in, StreamsInfo& info) {
        uint64_t id = in.number();
        if (id == kPackInfo) {
            if (!parsePackInfo(in, info)) return false;
            id = in.number();
        }
        if (id == kUnpackInfo) {
            if (!parseUnpackInfo(in, info)) return false;
            id = in.number();
        }
        defaultSubstreams(info);
        if (id == kSubStreamsInfo) {
            if (!parseSubstreams(in, info)) return false;
            id = in.number();
        }
        return in.ok() && id == kEnd && placePackedStreams(info);
    }

    bool parsePackInfo(HeaderReader& in, StreamsInfo& info) {
        info.packPosition = in.number();
        uint64_t count = in.count();
        for (uint64_t id = in.number(); in.ok() && id != kEnd; id = in.number()) {
            if (id == kSize) {
                info.packSizes.resize(count);
                for (auto& size : info.packSizes) size = in.size();
            } else if (id == kCrc) {
                in.digests(count);
            } else {
                in.skip(in.number());
            }
        }
        return in.ok() && info.packSizes.size() == count;
    }

    bool parseUnpackInfo(HeaderReader& in, StreamsInfo& info) {
        if (in.number() != kFolder) return false;
        uint64_t count = in.count();
        if (in.byte() != 0) return false;  // folders kept elsewhere: not written by anyone
        info.folders.resize(count);
        uint32_t packStreams = 0;
        for (Folder& folder : info.folders) {
            if (!parseFolder(in, folder)) return false;
            folder.firstPackStream = packStreams;
            packStreams += static_cast<uint32_t>(folder.packedInputs.size());
        }
        if (in.number() != kCodersUnpackSize) return false;
        for (Folder& folder : info.folders)
            for (auto& size : folder.unpackSizes) size = in.size();
        for (uint64_t id = in.number(); in.ok() && id != kEnd; id = in.number()) {
            if (id == kCrc) {
                auto crcs = in.digests(count);
                for (size_t i = 0; i < crcs.size(); ++i) info.folders[i].crc = crcs[i];
            } else {
                in.skip(in.number());
            }
        }
        return in.ok();
    }

    bool parseFolder(HeaderReader& in, Folder& folder) {
        uint64_t coderCount = in.count();
        if (coderCount == 0 || coderCount > kMaxCoders) return false;
        folder.coders.resize(coderCount);
        uint32_t inputs = 0;
        for (GraphCoder& coder : folder.coders) {
            uint8_t flags = in.byte();
            // Alternative methods (bit 7) were never written by any encoder.
            if (flags & 0x80) return false;
            const uint8_t* id = in.take(flags & 0x0F);
            if (!in.ok()) return false;
            std::vector<uint8_t> idBytes(id, id + (flags & 0x0F));
            uint64_t coderInputs = 1, coderOutputs = 1;
            if (flags & 0x10) {
                coderInputs = in.number();
                coderOutputs = in.number();
            }
            // Every coder in use has one output; several would need outputs
            // mapped to coders, which no codec here could fill.
            if (coderOutputs != 1 || coderInputs == 0 || coderInputs > kMaxCoderStreams - inputs) return false;
            std::vector<uint8_t> properties;
            if (flags & 0x20) {
                uint64_t length = in.number();
                const uint8_t* bytes = in.take(length);
                if (!in.ok()) return false;
                properties.assign(bytes, bytes + length);
            }
            coder.inputs = static_cast<uint32_t>(coderInputs);
            coder.firstInput = inputs;
            inputs += coder.inputs;
            for (uint8_t b : idBytes) coder.id = coder.id << 8 | b;
            describeCoder(idBytes, std::move(properties), coder);
        }
        return parseBindings(in, folder, inputs);
    }

    // Bind pairs join all outputs but the main one; the unbound inputs are fed
    // by packed streams.
    bool parseBindings(HeaderReader& in, Folder& folder, uint32_t inputs) {
        uint32_t outputs = static_cast<uint32_t>(folder.coders.size());
        std::vector<bool> inputBound(inputs), outputBound(outputs);
        folder.bindings.resize(outputs - 1);
        for (CoderBinding& pair : folder.bindings) {
            uint64_t input = in.number(), output = in.number();
            if (!in.ok() || input >= inputs || output >= outputs || inputBound[input] || outputBound[output])
                return false;
            inputBound[input] = outputBound[output] = true;
            pair = {static_cast<uint32_t>(input), static_cast<uint32_t>(output)};
        }
        folder.mainOutput = static_cast<uint32_t>(std::find(outputBound.begin(), outputBound.end(), false) -
                                                  outputBound.begin());
        uint32_t packedCount = inputs - (outputs - 1);
        if (packedCount == 1) {
            auto free = std::find(inputBound.begin(), inputBound.end(), false);
            if (free == inputBound.end()) return false;
            folder.packedInputs.push_back(static_cast<uint32_t>(free - inputBound.begin()));
        } else {
            for (uint32_t k = 0; k < packedCount; ++k) {
                uint64_t input = in.number();
                if (!in.ok() || input >= inputs || inputBound[input]) return false;
                inputBound[input] = true;
                folder.packedInputs.push_back(static_cast<uint32_t>(input));
            }
        }
        folder.unpackSizes.resize(outputs);
        return in.ok();
    }

    static void defaultSubstreams(StreamsInfo& info) {
        info.substreamCounts.assign(info.folders.size(), 1);
        info.substreamSizes.clear();
        info.substreamCrcs.clear();
        for (const Folder& folder : info.folders) {
            info.substreamSizes.push_back(folder.size());
            info.substreamCrcs.push_back(folder.crc);
        }
    }

    bool parseSubstreams(HeaderReader& in, StreamsInfo& info) {
        uint64_t id = in.number();
        if (id == kNumUnpackStream) {
            uint64_t total = 0;
            for (auto& count : info.substreamCounts) {
                count = in.number();
                // Each substream past a folder's first has its size written.
                if (count > in.left() + 1) return false;
                total += count;
                if (total > in.left() + info.folders.size()) return false;
            }
            id = in.number();
        }
        info.substreamSizes.clear();
        for (size_t f = 0; f < info.folders.size() && in.ok(); ++f) {
            uint64_t count = info.substreamCounts[f];
            if (count == 0) continue;
            int64_t left = info.folders[f].size();
            if (count > 1 && id != kSize) return false;
            for (uint64_t i = 1; i < count && in.ok(); ++i) {
                int64_t size = in.size();
                if (size > left) return false;
                info.substreamSizes.push_back(size);
                left -= size;
            }
            info.substreamSizes.push_back(left);
        }
        if (id == kSize) id = in.number();
        // Digests are listed for the substreams whose folder CRC does not
        // already cover them.
        info.substreamCrcs.assign(info.substreamSizes.size(), std::nullopt);
        for (; in.ok() && id != kEnd; id = in.number()) {
            if (id != kCrc) {
                in.skip(in.number());
                continue;
            }
            uint64_t missing = 0;
            for (size_t f = 0; f < info.folders.size(); ++f)
                if (!(info.substreamCounts[f] == 1 && info.folders[f].crc)) missing += info.substreamCounts[f];
            auto crcs = in.digests(missing);
            size_t next = 0, s = 0;
            for (size_t f = 0; f < info.folders.size() && in.ok(); ++f) {
                bool folderCovers = info.substreamCounts[f] == 1 && info.folders[f].crc;
                for (uint64_t i = 0; i < info.substreamCounts[f]; ++i, ++s)
                    info.substreamCrcs[s] = folderCovers ? info.folders[f].crc : crcs[next++];
            }
        }
        for (size_t f = 0, s = 0; f < info.folders.size(); s += info.substreamCounts[f], ++f)
            if (info.substreamCounts[f] == 1 && !info.substreamCrcs[s]) info.substreamCrcs[s] = info.folders[f].crc;
        return in.ok();
    }

    // Packed streams lie back to back from the pack position; every one must
    // lie inside the archive.
    bool placePackedStreams(StreamsInfo& info) {
        if (info.packPosition > uint64_t(archiveSize_ - kStartHeaderSize)) return false;
        int64_t offset = kStartHeaderSize + static_cast<int64_t>(info.packPosition);
        std::vector<PackedWindow> windows;
        for (int64_t size : info.packSizes) {
            if (size > archiveSize_ - offset) return false;
            windows.push_back({offset, size});
            offset += size;
        }
        for (Folder& folder : info.folders) {
            if (folder.firstPackStream + folder.packedInputs.size() > windows.size()) return false;
            auto first = windows.begin() + folder.firstPackStream;
            folder.packed.assign(first, first + static_cast<ptrdiff_t>(folder.packedInputs.size()));
        }
        return true;
    }

    // Decodes an encoded header's folder into memory. The buffer grows with
    // the data actually decoded, so a size claim alone allocates nothing.
    bool decodeFolder(const Folder& folder, std::vector<uint8_t>& out) {
        int64_t size = folder.size();
        if (size <= 0 || size > kMaxHeaderSize) return false;
        Folder withPassword = folder;
        if (isEncrypted(folder)) withPassword.password = password_;
        Ref<InStream> stream(openCoderGraph(archive_, std::move(withPassword)));
        if (!stream) return false;
        if (isEncrypted(folder)) {
            // A wrong key decrypts to noise, which the decoder after AES or
            // the header's CRC rejects.
            headerFailure = Status::wrongPassword("wrong password or damaged header");
            if (!password_ || !password_->get()) {
                headerFailure = Status::encrypted();
                return false;
            }
        }
        constexpr int kPiece = 1 << 20;
        while (static_cast<int64_t>(out.size()) < size) {
            size_t done = out.size();
            out.resize(done + static_cast<size_t>(std::min<int64_t>(kPiece, size - static_cast<int64_t>(done))));
            if (!readExact(stream.get(), out.data() + done, static_cast<int>(out.size() - done))) return false;
        }
        // A damaged header could still parse, into wrong names and sizes.
        if (folder.crc && crc32Update(0, out.data(), out.size()) != *folder.crc) return false;
        headerFailure = Status();
        return true;
    }

    bool parseFiles(HeaderReader& in) {
        uint64_t count = in.count();
        files.resize(count);
        uint64_t emptyStreams = 0;
        std::vector<bool> emptyFile, anti;
        for (uint64_t type = in.number(); in.ok() && type != kEnd; type = in.number()) {
            uint64_t length = in.number();
            const uint8_t* data = in.take(length);
            if (!in.ok()) return false;
            HeaderReader property(data, length);
            switch (type) {
                case kEmptyStream: {
                    std::vector<bool> empty = property.bits(count);
                    emptyStreams = 0;
                    for (size_t i = 0; i < empty.size(); ++i) {
                        files[i].hasStream = !empty[i];
                        emptyStreams += empty[i];
                    }
                    break;
                }
                case kEmptyFile:
                    emptyFile = property.bits(emptyStreams);
                    break;
                case kAnti:
                    anti = property.bits(emptyStreams);
                    break;
                case kName:
                    readNames(property);
                    break;
                case kModificationTime:
                    readTimes(property);
                    break;
                case kAttributes:
                    readAttributes(property);
                    break;
                default:
                    break;
            }
            if (!property.ok()) return false;
        }
        // The empty-file and anti vectors count only the files without a stream.
        for (size_t i = 0, e = 0; i < files.size(); ++i) {
            if (files[i].hasStream) continue;
            files[i].isEmptyFile = e < emptyFile.size() && emptyFile[e];
            files[i].isAnti = e < anti.size() && anti[e];
            ++e;
        }
        return in.ok();
    }

    void readNames(HeaderReader& in) {
        if (in.byte() != 0) return void(in.fail());
        for (FileRecord& file : files) {
            file.name = in.terminatedText();
            if (!in.ok()) return;
        }
    }

    void readTimes(HeaderReader& in) {
        std::vector<bool> defined = in.definedBits(files.size());
        if (in.byte() != 0) return void(in.fail());
        for (size_t i = 0; i < defined.size() && in.ok(); ++i)
            if (defined[i]) files[i].time = timeFromFiletime(in.uint64());
    }

    // Windows attributes; writers on Unix set the extension bit and keep the
    // Unix mode in the high half.
    void readAttributes(HeaderReader& in) {
        constexpr uint32_t kUnixExtension = 0x8000;
        constexpr uint32_t kReadOnly = 0x01;
        std::vector<bool> defined = in.definedBits(files.size());
        if (in.byte() != 0) return void(in.fail());
        for (size_t i = 0; i < defined.size() && in.ok(); ++i) {
            if (!defined[i]) continue;
            uint32_t attributes = in.uint32();
            if ((attributes & kUnixExtension) && (attributes >> 16) != 0)
                files[i].metadata = unixMetadata(attributes >> 16);
            files[i].metadata.readOnly = (attributes & kReadOnly) != 0;
        }
    }

    InStream* archive_;
    int64_t archiveSize_;
    std::shared_ptr<ArchivePassword> password_;
};

// Why no file of the folder can be read, known before reading: a coder no
// codec here runs. Ok when every coder has one.
Status folderFailure(const Folder& folder) {
    for (const GraphCoder& coder : folder.coders)
        if (!coder.method) return Status::unsupportedMethod(coder.id);
    return Status();
}

// Adds the files: data files as windows of the joined folder outputs, each
// at its folder's start plus the sizes before it in that folder.
bool addFiles(Archive* archive, const HeaderParser& header, Codec* store) {
    const StreamsInfo& info = header.streams;
    std::vector<int64_t> folderStart;
    int64_t joined = 0;
    for (const Folder& folder : info.folders) {
        folderStart.push_back(joined);
        joined += folder.size();
    }
    size_t folder = 0, substream = 0;
    uint64_t usedInFolder = 0;
    int64_t offset = 0;
    for (const FileRecord& file : header.files) {
        if (file.isAnti) continue;
        if (!file.hasStream) {
            if (file.isEmptyFile)
                addEntry(archive, store, file.name, 0, 0, 0, file.time, std::nullopt, Status(), std::nullopt,
                         file.metadata);
            else
                addEntry(archive, nullptr, file.name + u"\\", 0, 0, 0, file.time, std::nullopt, Status(), std::nullopt,
                         file.metadata);
            continue;
        }
        while (folder < info.folders.size() && usedInFolder == info.substreamCounts[folder]) {
            ++folder;
            usedInFolder = 0;
            if (folder < info.folders.size()) offset = folderStart[folder];
        }
        if (folder == info.folders.size() || substream >= info.substreamSizes.size()) return false;
        int64_t size = info.substreamSizes[substream];
        EntryMetadata metadata = file.metadata;
        metadata.encrypted = isEncrypted(info.folders[folder]);
        addEntry(archive, store, file.name, offset, size, size, file.time, info.substreamCrcs[substream],
                 folderFailure(info.folders[folder]), std::nullopt, std::move(metadata));
        offset += size;
        ++substream;
        ++usedInFolder;
    }
    return substream == info.substreamSizes.size();
}

// The start header's CRC-32 covers the next header's place, size and CRC.
bool startHeaderChecks(const uint8_t* start) { return crc32Update(0, start + 12, 20) == le32(start + 8); }

// Reads the header bytes the start header points at. A start header or next
// header that fails its CRC leaves `damage` set: nothing in it can be
// trusted, so the archive lists nothing (rather than entries renamed,
// resized or dropped by the damage). False when this is not a 7z archive.
bool readNextHeader(InStream* stream, int64_t archiveSize, std::vector<uint8_t>& header, bool* empty,
                    std::string* damage) {
    uint8_t start[kStartHeaderSize];
    if (!stream->seek(0) || !readExact(stream, start, kStartHeaderSize)) return false;
    if (std::memcmp(start, kSignature, sizeof kSignature) != 0) return false;
    *empty = false;
    if (!startHeaderChecks(start)) {
        *damage = "start header CRC mismatch";
        return true;
    }
    uint64_t offset = le64(start + 12), size = le64(start + 20);
    *empty = size == 0;
    if (*empty) return true;
    int64_t room = archiveSize - kStartHeaderSize;
    if (offset > uint64_t(room) || size > uint64_t(room) - offset) {
        *damage = "header lies past the end of the archive";
        return true;
    }
    if (size > uint64_t(kMaxHeaderSize)) return false;
    header.resize(size);
    if (!stream->seek(kStartHeaderSize + static_cast<int64_t>(offset)) ||
        !readExact(stream, header.data(), static_cast<int>(size)))
        return false;
    if (crc32Update(0, header.data(), header.size()) != le32(start + 28)) *damage = "header CRC mismatch";
    return true;
}

}  // namespace

Archive* openSevenZip(const char16_t* name, Archive* container, InStream* stream) {
    if (!stream) return nullptr;
    int64_t archiveSize = stream->size();
    if (archiveSize < kStartHeaderSize) return nullptr;
    std::vector<uint8_t> bytes;
    bool empty = false;
    std::string damage;
    if (!readNextHeader(stream, archiveSize, bytes, &empty, &damage)) return nullptr;
    if (!damage.empty()) {
        Archive* archive = newArchive(name, container, stream);
        if (archive) archive->markDamaged(std::move(damage));
        return archive;
    }
    std::shared_ptr<ArchivePassword> password = passwordFor(container);
    HeaderParser header(stream, archiveSize, password);
    if (!empty && !header.parse(bytes.data(), bytes.size(), true)) {
        // Encrypted headers without the right password: an archive that
        // lists nothing and says why.
        if (header.headerFailure.ok()) return nullptr;
        Archive* archive = newArchive(name, container, stream);
        if (archive) archive->markDamaged(describe(header.headerFailure));
        return archive;
    }
    Codec* store = findCodec(u"store");
    Ref<ConcatStream> joined(new (std::nothrow) ConcatStream(name, container, 0));
    if (!store || !joined) return nullptr;
    // A top-level archive's stream is its own file (or a window of it), which
    // nothing but this archive reads from now on: its folders may read it
    // from a second thread, every read under the shared stream's lock. A
    // nested archive's stream reads through its container, whose other
    // streams its reader uses too, so its folders stay on one thread.
    Ref<SharedStream> shared(container ? nullptr : SharedStream::create(stream));
    InStream* source = shared ? shared.get() : stream;
    for (Folder& folder : header.streams.folders) {
        if (isEncrypted(folder)) folder.password = password;
        Ref<InStream> output(openCoderGraph(source, folder, shared.get()));
        if (!output || !joined->appendPart(output.get(), 0, folder.size())) return nullptr;
    }
    Ref<Archive> archive(newArchive(name, container, joined.get()));
    if (!archive || !addFiles(archive.get(), header, store)) return nullptr;
    return archive.detach();
}

// At the stream's start the signature suffices; behind a program stub, whose
// bytes may hold it by chance, the start header must check too.
Bid probeSevenZip(const ProbeInput& input) {
    if (!input.signatureMatches) return Bid::kNone;
    if (input.place == ProbePlace::kStart) return Bid::kSignature;
    uint8_t start[kStartHeaderSize];
    if (!input.stream->seek(input.position) || !readExact(input.stream, start, kStartHeaderSize)) return Bid::kNone;
    return startHeaderChecks(start) ? Bid::kSignature : Bid::kNone;
}

}  // namespace zorvex
