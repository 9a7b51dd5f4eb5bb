// The "rar" reader's shared part: volume sets in both naming schemes, files
// split over volumes, solid groups and the entries they become. The block
// headers of each format are parsed in rar4.cpp and rar5.cpp.
#include "formats/rar.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "engine/codec.h"
#include "engine/format_registry.h"
#include "engine/names.h"
#include "formats/rar_reader.h"

namespace zorvex {
namespace rar_reader {

Layout layoutAt(InStream* stream, int64_t position) {
    static constexpr uint8_t kSignature[6] = {'R', 'a', 'r', '!', 0x1A, 0x07};
    uint8_t head[8];
    int got = stream->seek(position) ? stream->read(head, 8) : 0;
    if (got < 7 || std::memcmp(head, kSignature, 6) != 0) return Layout::kNone;
    if (head[6] == 0) return Layout::kRar4;
    if (head[6] == 1 && got == 8 && head[7] == 0) return Layout::kRar5;
    return Layout::kNone;
}

Reader::Reader(Archive* archive, ConcatStream* data, const char16_t* path, InStream* first)
    : volume_(Ref<InStream>::share(first)), archive_(archive), data_(data) {
    std::u16string_view full = path ? path : u"";
    size_t slash = full.find_last_of(u"\\/");
    volumeName_ = std::u16string(slash == std::u16string_view::npos ? full : full.substr(slash + 1));
    opened_.insert(foldCase(volumeName_));
    store_ = findCodec(u"store");
}

bool Reader::headerKey(const rar_crypto::Cipher& cipher, rar_crypto::DerivedKey* key) {
    Status failure = rar_crypto::keyFor(archive_->password().get(), cipher, key);
    return failure.ok() || refuse(failure);
}

bool Reader::refuse(const Status& reason) {
    refusal_ = reason;
    return false;
}

bool Reader::read() {
    const bool accepted = readBlocks();
    // Encrypted headers without the right password: the archive opens, and
    // says why it lists nothing.
    if (!refusal_.ok()) {
        archive_->markDamaged(describe(refusal_));
        return true;
    }
    if (!accepted) return false;
    closeGroup();
    resolveLinks();
    if (!damage_.empty()) archive_->markDamaged(damage_);
    return true;
}

// ---- Volumes ------------------------------------------------------------------

uint64_t Reader::volumeIndexFromName() const {
    // x.rar is the first volume of the old scheme, x.r00 the second.
    size_t dot = volumeName_.rfind(u'.');
    if (dot == std::u16string::npos || volumeName_.size() - dot != 4) return 0;
    char16_t r = volumeName_[dot + 1], d1 = volumeName_[dot + 2], d2 = volumeName_[dot + 3];
    if ((r != u'r' && r != u'R') || d1 < u'0' || d1 > u'9' || d2 < u'0' || d2 > u'9') return 0;
    return static_cast<uint64_t>((d1 - u'0') * 10 + (d2 - u'0')) + 1;
}

bool Reader::moveToVolume(uint64_t index, bool allowSeen) {
    std::optional<std::u16string> name = rarVolumeName(volumeName_, newNumbering_, index);
    if (!name) return false;
    Ref<InStream> next(volume_->openSibling(name->c_str()));
    if (!next) {
        // A self-extracting first volume (x.part1.exe) is followed by x.part2.rar.
        size_t dot = name->rfind(u'.');
        if (foldCase(name->substr(dot)) == u".rar") return false;
        name = name->substr(0, dot) + u".rar";
        next = Ref<InStream>(volume_->openSibling(name->c_str()));
        if (!next) return false;
    }
    std::u16string key = foldCase(*name);
    if (!allowSeen && opened_.count(key)) return false;
    Layout layout = layoutAt(next.get(), 0);
    if (layout == Layout::kNone) return false;
    opened_.insert(key);
    volume_ = next;
    volumeName_ = *name;
    volumeIndex_ = index;
    position_ = layout == Layout::kRar4 ? kSignature4Size : kSignature5Size;
    return true;
}

bool Reader::restartAtFirstVolume() {
    std::optional<std::u16string> first = rarVolumeName(volumeName_, true, 0);
    if (!first || *first == volumeName_) return false;
    // The volume that was opened is read again in its turn.
    std::set<std::u16string> opened = std::move(opened_);
    opened_.clear();
    if (moveToVolume(0, true)) return true;
    opened_ = std::move(opened);
    return false;
}

// ---- Placing files ------------------------------------------------------------

void Reader::list(const std::u16string& name, Codec* codec, int64_t offset, int64_t packedSize, int64_t size,
                     int64_t time, const EntryChecks& checks, const EntryMetadata& metadata,
                     const std::vector<uint8_t>& properties) {
    if (addEntry(archive_, codec, properties, name, offset, packedSize, size, time, checks, Status(), metadata))
        listed_[name] = {codec, offset, packedSize, size, checks, properties};
}

// Collects one part of a file; the file is placed after its last part. A part
// continued from a volume that was not read is dropped with the rest of its file.
bool Reader::takePart(FileRecord&& header, bool fromPrevious, bool toNext, int64_t dataStart, int64_t length) {
    int64_t available = std::max<int64_t>(0, volume_->size() - dataStart);
    Range range{volume_, dataStart, std::min(length, available), header.cipher};
    if (fromPrevious) {
        if (!pending_ || pending_->name != header.name) {
            pending_.reset();
            pendingOrphan_ = true;
        }
    } else {
        pending_.reset();
        pendingOrphan_ = false;
    }
    if (pendingOrphan_) {
        if (!toNext) pendingOrphan_ = false;
        return true;
    }
    std::vector<Range> parts = pending_ ? std::move(pending_->parts) : std::vector<Range>{};
    parts.push_back(std::move(range));
    header.parts = std::move(parts);
    if (toNext) {
        pending_ = std::move(header);
        return true;
    }
    pending_.reset();
    placeFile(header);
    return true;
}

void Reader::placeFile(FileRecord& file) {
    if (file.directory) {
        addEntry(archive_, nullptr, file.name + u"\\", 0, 0, 0, file.time, std::nullopt, Status(), std::nullopt,
                 file.metadata);
        return;
    }
    // Older versions of a file are left out: the current one stands under
    // its name. One compressed in a solid group is still decoded there for
    // the members after it.
    bool inSolidGroup = !file.stored && file.unpackedSize > 0 && (solid_ || file.solid);
    if (file.olderVersion && !inSolidGroup) return;
    if (!file.linkTarget.empty()) {
        links_.push_back(std::move(file));
        return;
    }
    if (file.link) {
        list(file.name, store_, 0, 0, 0, file.time, {}, file.metadata);
        return;
    }
    if (file.cipher) {
        file.metadata.encrypted = true;
        if (!file.unreadable.ok()) {
            addEntry(archive_, damagedEntryCodec(), {}, file.name, 0, 0, static_cast<int64_t>(file.unpackedSize),
                     file.time, {}, file.unreadable, file.metadata);
            return;
        }
        file.checks.key = rar_crypto::checksumKey(archive_->password(), *file.cipher);
        if (file.parts.size() == 1 && !inSolidGroup && file.codec && file.unpackedSize > 0) {
            placeEncrypted(file);
            return;
        }
        if (!decryptParts(file)) return;
    }
    if (file.stored) {
        int64_t offset = data_->size();
        // Encrypted data is padded to whole cipher blocks: the file ends before the padding.
        int64_t left = file.cipher ? static_cast<int64_t>(file.unpackedSize) : INT64_MAX;
        for (const Range& r : file.parts) {
            int64_t length = std::min(r.length, left);
            data_->appendPart(r.stream.get(), r.offset, length);
            left -= length;
        }
        list(file.name, store_, offset, data_->size() - offset, static_cast<int64_t>(file.unpackedSize), file.time,
             file.checks, file.metadata);
        return;
    }
    placeCompressed(file);
}

void Reader::placeEncrypted(FileRecord& file) {
    const Range& part = file.parts.front();
    std::vector<uint8_t> inner;
    if (!file.stored) inner = rar::encodeProperties(file.dictionary, {{uint64_t(part.length), file.unpackedSize}});
    std::vector<uint8_t> properties =
        rar_crypto::encodeCodecProperties(*part.cipher, file.stored ? u"store" : file.codec->name(), inner);
    int64_t offset = data_->size();
    data_->appendPart(part.stream.get(), part.offset, part.length);
    list(file.name, findCodec(u"rar-aes"), offset, part.length, static_cast<int64_t>(file.unpackedSize), file.time,
         file.checks, file.metadata, properties);
}

bool Reader::decryptParts(FileRecord& file) {
    for (Range& r : file.parts) {
        if (!r.cipher) {
            noteDamage("encrypted file continued without encryption");
            return false;
        }
        Ref<InStream> decrypted(
            rar_crypto::openDecrypted(r.stream.get(), r.offset, r.length, *r.cipher, archive_->password()));
        if (!decrypted) return false;
        r = {decrypted, 0, decrypted->size(), std::nullopt};
    }
    return true;
}

void Reader::placeCompressed(FileRecord& file) {
    if (!file.codec) {  // a version no codec decodes: listed, and every read says so
        addEntry(archive_, damagedEntryCodec(), file.name, 0, 0, static_cast<int64_t>(file.unpackedSize), file.time,
                 file.checks.crc, Status::unsupportedMethod(file.version));
        return;
    }
    if (file.unpackedSize == 0) {
        // Nothing to decode: the packed data, if any, holds no output.
        list(file.name, store_, 0, 0, 0, file.time, file.checks, file.metadata);
        return;
    }
    uint64_t packed = 0;
    for (const Range& r : file.parts) packed += static_cast<uint64_t>(r.length);
    if (file.solid && group_) {
        // A member decoded by another version cannot continue the group.
        if (group_->codec != file.codec) return;
    } else if (file.solid && startedMidSet_) {
        return;  // it continues members in volumes this listing did not read
    } else if (solid_ || file.solid) {
        // Directories and stored files may come first in a group: the first
        // compressed member opens it whatever its solid flag says.
        closeGroup();
        openGroup(file);
    }
    if (group_) {
        for (const Range& r : file.parts) group_->packed->appendPart(r.stream.get(), r.offset, r.length);
        group_->members.push_back({packed, file.unpackedSize});
        group_->entries.push_back(
            {file.name, group_->unpacked, file.unpackedSize, file.time, file.checks, file.olderVersion,
             file.metadata});
        group_->unpacked += file.unpackedSize;
        group_->dictionary = std::max(group_->dictionary, file.dictionary);
        return;
    }
    if (file.olderVersion) return;  // no group could be opened for it
    int64_t offset = data_->size();
    for (const Range& r : file.parts) data_->appendPart(r.stream.get(), r.offset, r.length);
    list(file.name, file.codec, offset, data_->size() - offset, static_cast<int64_t>(file.unpackedSize), file.time,
         file.checks, file.metadata, rar::encodeProperties(file.dictionary, {{packed, file.unpackedSize}}));
}

void Reader::openGroup(const FileRecord& file) {
    Ref<ConcatStream> packed(new (std::nothrow) ConcatStream(nullptr, nullptr, 0));
    if (!packed) return;
    // Aggregate-initialised: clang cannot tell that a nested struct with
    // member initialisers is default-constructible from inside its class.
    group_ = Group{};
    group_->codec = file.codec;
    group_->packed = std::move(packed);
}

void Reader::closeGroup() {
    if (!group_) return;
    Group group = std::move(*group_);
    group_.reset();
    if (group.members.empty()) return;
    std::vector<uint8_t> properties = rar::encodeProperties(group.dictionary, group.members);
    // The decoded stream has no owner: the archive holds it through its joined stream.
    CodecRequest request;
    request.name = archive_->name();
    request.source = group.packed.get();
    request.packedSize = group.packed->size();
    request.unpackedSize = static_cast<int64_t>(group.unpacked);
    request.properties = properties;
    Ref<InStream> decoded(group.codec->createStream(request));
    if (!decoded) return;
    int64_t base = data_->size();
    if (!data_->appendPart(decoded.get(), 0, static_cast<int64_t>(group.unpacked))) return;
    for (const GroupEntry& e : group.entries) {
        if (e.olderVersion) continue;
        list(e.name, store_, base + static_cast<int64_t>(e.offset), static_cast<int64_t>(e.size),
             static_cast<int64_t>(e.size), e.time, e.checks, e.metadata);
    }
}

// Hard links and file copies give the data of the entry they name.
void Reader::resolveLinks() {
    for (const FileRecord& link : links_) {
        std::u16string target = link.linkTarget;
        std::replace(target.begin(), target.end(), u'/', u'\\');
        auto it = listed_.find(target);
        if (it == listed_.end()) continue;
        const ListedEntry& e = it->second;
        list(link.name, e.codec, e.offset, e.packedSize, e.size, link.time, e.checks, link.metadata, e.properties);
    }
}

}  // namespace rar_reader

std::optional<std::u16string> rarVolumeName(std::u16string_view name, bool newNumbering, uint64_t index) {
    size_t lastDot = name.rfind(u'.');
    if (lastDot == std::u16string_view::npos) return std::nullopt;
    char digits[24];
    if (!newNumbering) {
        if (name.size() - lastDot != 4 || index == 0 || index > 100) return std::nullopt;
        std::snprintf(digits, sizeof digits, "r%02u", static_cast<unsigned>(index - 1));
        return std::u16string(name.substr(0, lastDot + 1)) + std::u16string(digits, digits + 3);
    }
    if (lastDot == 0) return std::nullopt;
    size_t previousDot = name.rfind(u'.', lastDot - 1);
    if (previousDot == std::u16string_view::npos) return std::nullopt;
    size_t start = previousDot + 1;
    while (start < lastDot && (name[start] < u'0' || name[start] > u'9')) ++start;
    size_t end = start;
    while (end < lastDot && name[end] >= u'0' && name[end] <= u'9') ++end;
    if (start == end) return std::nullopt;
    int width = static_cast<int>(end - start);
    int written = std::snprintf(digits, sizeof digits, "%0*llu", width, static_cast<unsigned long long>(index + 1));
    if (written != width) return std::nullopt;
    return std::u16string(name.substr(0, start)) + std::u16string(digits, digits + width) +
           std::u16string(name.substr(end));
}

Archive* openRar(const char16_t* name, Archive* container, InStream* stream) {
    using namespace rar_reader;
    Layout layout = layoutAt(stream, 0);
    if (layout == Layout::kNone) return nullptr;
    Ref<ConcatStream> data(new (std::nothrow) ConcatStream(stream->name(), nullptr, stream->tag()));
    if (!data) return nullptr;
    Ref<Archive> archive(newArchive(name, container, data.get()));
    if (!archive) return nullptr;
    bool accepted = layout == Layout::kRar4 ? readArchive4(archive.get(), data.get(), name, stream)
                                           : readArchive5(archive.get(), data.get(), name, stream);
    if (!accepted) return nullptr;
    return archive.detach();
}

// At the stream's start the signature suffices; behind a program stub, whose
// bytes may hold it by chance, the block after it must check too.
Bid probeRar(const ProbeInput& input) {
    using namespace rar_reader;
    if (!input.signatureMatches) return Bid::kNone;
    if (input.place == ProbePlace::kStart) return Bid::kSignature;
    bool checks = false;
    switch (layoutAt(input.stream, input.position)) {
        case Layout::kRar4: checks = mainBlockChecks4(input.stream, input.position + kSignature4Size); break;
        case Layout::kRar5: checks = blockChecks5(input.stream, input.position + kSignature5Size); break;
        case Layout::kNone: break;
    }
    return checks ? Bid::kSignature : Bid::kNone;
}

}  // namespace zorvex
