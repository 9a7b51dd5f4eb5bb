// lzip: members found from the end of the file through their trailers (data
// after the last member is passed over). Each
// member's data is an lzma stream whose properties are made from the header's
// coded dictionary size; the archive reads a joined stream built from them.
#include <algorithm>
#include <vector>

#include "engine/archive.h"
#include "engine/byte_order.h"
#include "engine/codec.h"
#include "engine/pipeline.h"
#include "formats/entry_name.h"
#include "formats/single.h"

namespace zorvex {
namespace {

constexpr int kHeaderBytes = 6;    // "LZIP", version, coded dictionary size
constexpr int kTrailerBytes = 20;  // CRC-32, data size, member size
constexpr int kMinMember = kHeaderBytes + kTrailerBytes;

struct Member {
    int64_t start;
    int64_t memberSize;
    int64_t dataSize;
    uint32_t crc;
    uint8_t properties[5];
};

bool isMemberStart(const uint8_t* p) { return p[0] == 'L' && p[1] == 'Z' && p[2] == 'I' && p[3] == 'P'; }

// The "lzma" properties of a member from its header; false for a header that
// is not one. A negative data size means unknown.
bool memberProperties(const uint8_t* header, int64_t dataSize, uint8_t* properties) {
    if (!isMemberStart(header) || header[4] >= 2) return false;
    uint32_t base = uint32_t(1) << (header[5] & 31);
    uint32_t dictionary = base - base / 16 * (header[5] >> 5);
    // The format allows 4 KiB to 512 MiB; larger would be a hostile allocation.
    if (dictionary < (uint32_t(1) << 12) || dictionary > (uint32_t(1) << 29)) return false;
    // No larger dictionary than the data is needed (a hostile header could ask for 512 MiB).
    if (dataSize >= 0)
        dictionary = static_cast<uint32_t>(std::min<int64_t>(dictionary, std::max<int64_t>(dataSize, 4096)));
    properties[0] = 0x5D;  // lc 3, lp 0, pb 2: the only coding lzip uses
    for (int i = 0; i < 4; ++i) properties[1 + i] = static_cast<uint8_t>(dictionary >> (8 * i));
    return true;
}

// The member that ends at `end`, when its trailer and header agree.
std::optional<Member> memberEndingAt(InStream* stream, int64_t end) {
    uint8_t trailer[kTrailerBytes], header[kHeaderBytes];
    if (!stream->seek(end - kTrailerBytes) || !readExact(stream, trailer, kTrailerBytes)) return std::nullopt;
    Member m;
    m.crc = le32(trailer);
    uint64_t dataSize = le64(trailer + 4), memberSize = le64(trailer + 12);
    if (memberSize <= uint64_t(kMinMember) || memberSize > uint64_t(end) || dataSize > uint64_t(INT64_MAX))
        return std::nullopt;
    m.memberSize = static_cast<int64_t>(memberSize);
    m.dataSize = static_cast<int64_t>(dataSize);
    m.start = end - m.memberSize;
    if (!stream->seek(m.start) || !readExact(stream, header, kHeaderBytes) ||
        !memberProperties(header, m.dataSize, m.properties))
        return std::nullopt;
    return m;
}

// Where the last member ends: the file's end, or, when data follows the last
// member, the latest position in the file's tail where a member ends.
std::optional<int64_t> lastMemberEnd(InStream* stream) {
    constexpr int kTail = 1 << 16;
    int64_t fileSize = stream->size();
    if (fileSize <= kMinMember) return std::nullopt;
    if (memberEndingAt(stream, fileSize)) return fileSize;
    int64_t tailStart = std::max<int64_t>(0, fileSize - kTail);
    std::vector<uint8_t> tail(static_cast<size_t>(fileSize - tailStart));
    if (!stream->seek(tailStart) || !readExact(stream, tail.data(), static_cast<int>(tail.size())))
        return std::nullopt;
    for (int64_t end = fileSize - 1; end - kTrailerBytes >= tailStart && end > kMinMember; --end) {
        uint64_t memberSize = le64(&tail[static_cast<size_t>(end - 8 - tailStart)]);
        if (memberSize > uint64_t(kMinMember) && memberSize <= uint64_t(end) && memberEndingAt(stream, end))
            return end;
    }
    return std::nullopt;
}

// Adds [properties, member data]: what the "lzma" codec reads.
bool addMember(CodecInput& to, InStream* stream, const Member& m) {
    return to.addBytes(m.properties, sizeof m.properties) &&
           to.addWindow(stream, m.start + kHeaderBytes, m.memberSize - kMinMember);
}

bool joinMembers(CodecInput& data, InStream* stream, const std::vector<Member>& members) {
    if (members.size() == 1) return addMember(data, stream, members[0]);
    for (const Member& m : members) {
        CodecInput member(stream->name(), nullptr, stream->tag());
        if (!addMember(member, stream, m)) return false;
        Ref<InStream> packed(member.take());
        Ref<InStream> decoded(openCodecStream(u"lzma", stream->name(), nullptr, stream->tag(), packed.get(), 0,
                                              member.size(), m.dataSize));
        if (!decoded || !data.addWindow(decoded.get(), 0, m.dataSize)) return false;
    }
    return true;
}

// Whether the members found from the end make up the file: the first starts
// at the file's start and what follows the last is not a member cut short.
bool membersWhole(InStream* stream, const std::vector<Member>& members, int64_t lastEnd) {
    if (members.empty() || members.front().start != 0) return false;
    uint8_t next[4];
    bool followed = lastEnd + 4 <= stream->size() && stream->seek(lastEnd) && readExact(stream, next, 4);
    return !(followed && isMemberStart(next));
}

// A file whose members cannot all be found: its first member decoded for as
// long as it lasts, marked damaged.
Archive* openDamaged(const char16_t* name, Archive* container, InStream* stream, const std::u16string& entryName) {
    Archive* archive = newArchive(name, container, stream);
    uint8_t header[kHeaderBytes], properties[5];
    if (!archive || !stream->seek(0) || !readExact(stream, header, kHeaderBytes) ||
        !memberProperties(header, -1, properties))
        return archive;
    CodecInput input(stream->name(), nullptr, stream->tag());
    input.addBytes(properties, sizeof properties);
    input.addWindow(stream, kHeaderBytes, stream->size() - kHeaderBytes);
    Ref<InStream> data(input.take());
    if (!data) return archive;
    Archive* over = newArchive(name, container, data.get());
    archive->release();
    if (over) addEntry(over, findCodec(u"lzma"), entryName, 0, input.size(), -1, stream->tag(), std::nullopt, true);
    return over;
}

}  // namespace

Archive* openLzip(const char16_t* name, Archive* container, InStream* stream) {
    // Every member is at least kMinMember bytes, so the walk ends.
    std::vector<Member> members;
    int64_t lastEnd = lastMemberEnd(stream).value_or(0);
    for (int64_t end = lastEnd; end > kMinMember;) {
        std::optional<Member> m = memberEndingAt(stream, end);
        if (!m) break;
        members.push_back(*m);
        end = m->start;
    }
    std::reverse(members.begin(), members.end());
    std::u16string entryName = singleEntryName(stream, {{u".lz", u""}, {u".tlz", u".tar"}}, u"lz.out");
    bool whole = membersWhole(stream, members, lastEnd);
    if (members.empty() || members.front().start != 0) return openDamaged(name, container, stream, entryName);
    CodecInput input(stream->name(), nullptr, stream->tag());
    if (!joinMembers(input, stream, members)) return newArchive(name, container, stream);
    Ref<InStream> data(input.take());
    Archive* archive = newArchive(name, container, data.get());
    if (!archive) return nullptr;

    int64_t total = input.size();
    if (members.size() == 1)
        addEntry(archive, findCodec(u"lzma"), entryName, 0, total, members[0].dataSize, stream->tag(), members[0].crc,
                 !whole);
    else
        addEntry(archive, findCodec(u"store"), entryName, 0, total, total, stream->tag(), std::nullopt, !whole);
    return archive;
}

}  // namespace zorvex
