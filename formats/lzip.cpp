// lzip: members found from the end of the file through their trailers (data
// after the last member is passed over). Each
// member's data is an lzma stream whose properties are made from the header's
// coded dictionary size; the archive reads a joined stream built from them.
#include <algorithm>
#include <vector>

#include "engine/archive.h"
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

uint64_t le(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

// The member that ends at `end`, when its trailer and header agree.
std::optional<Member> memberEndingAt(InStream* stream, int64_t end) {
    uint8_t trailer[kTrailerBytes], header[kHeaderBytes];
    if (!stream->seek(end - kTrailerBytes) || !readExact(stream, trailer, kTrailerBytes)) return std::nullopt;
    Member m;
    m.crc = static_cast<uint32_t>(le(trailer, 4));
    uint64_t dataSize = le(trailer + 4, 8), memberSize = le(trailer + 12, 8);
    if (memberSize <= uint64_t(kMinMember) || memberSize > uint64_t(end) || dataSize > uint64_t(INT64_MAX))
        return std::nullopt;
    m.memberSize = static_cast<int64_t>(memberSize);
    m.dataSize = static_cast<int64_t>(dataSize);
    m.start = end - m.memberSize;
    if (!stream->seek(m.start) || !readExact(stream, header, kHeaderBytes)) return std::nullopt;
    if (header[0] != 'L' || header[1] != 'Z' || header[2] != 'I' || header[3] != 'P' || header[4] >= 2)
        return std::nullopt;
    uint32_t base = uint32_t(1) << (header[5] & 31);
    uint32_t dictionary = base - base / 16 * (header[5] >> 5);
    // The format allows 4 KiB to 512 MiB; larger would be a hostile allocation.
    if (dictionary < (uint32_t(1) << 12) || dictionary > (uint32_t(1) << 29)) return std::nullopt;
    // No larger dictionary than the data is needed (a hostile header could ask for 512 MiB).
    dictionary = static_cast<uint32_t>(std::min<int64_t>(dictionary, std::max<int64_t>(m.dataSize, 4096)));
    m.properties[0] = 0x5D;  // lc 3, lp 0, pb 2: the only coding lzip uses
    for (int i = 0; i < 4; ++i) m.properties[1 + i] = static_cast<uint8_t>(dictionary >> (8 * i));
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
        uint64_t memberSize = le(&tail[static_cast<size_t>(end - 8 - tailStart)], 8);
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

}  // namespace

Archive* openLzip(const char16_t* name, Archive* container, InStream* stream) {
    // Every member is at least kMinMember bytes, so the walk ends.
    std::vector<Member> members;
    for (int64_t end = lastMemberEnd(stream).value_or(0); end > kMinMember;) {
        std::optional<Member> m = memberEndingAt(stream, end);
        if (!m) break;
        members.push_back(*m);
        end = m->start;
    }
    std::reverse(members.begin(), members.end());
    CodecInput input(stream->name(), nullptr, stream->tag());
    if (members.empty() || !joinMembers(input, stream, members)) return newArchive(name, container, stream);
    Ref<InStream> data(input.take());
    Archive* archive = newArchive(name, container, data.get());
    if (!archive) return nullptr;

    std::u16string entryName = singleEntryName(stream, {{u".lz", u""}, {u".tlz", u".tar"}}, u"lz.out");
    int64_t total = input.size();
    if (members.size() == 1)
        addEntry(archive, findCodec(u"lzma"), entryName, 0, total, members[0].dataSize, stream->tag(), members[0].crc);
    else
        addEntry(archive, findCodec(u"store"), entryName, 0, total, total, stream->tag());
    return archive;
}

}  // namespace zorvex
