// lzip: members found from the end of the file through their trailers (data
// after the last member is passed over). The "lzip" codec decodes the members
// back to back and checks each against its trailer.
#include <algorithm>
#include <optional>
#include <vector>

#include "codecs/lzma/lzma.h"
#include "engine/archive.h"
#include "engine/byte_order.h"
#include "engine/codec.h"
#include "engine/stream.h"
#include "formats/entry_name.h"
#include "formats/single.h"

namespace zorvex {
namespace {

constexpr int kHeaderBytes = kLzipHeaderBytes;
constexpr int kTrailerBytes = kLzipTrailerBytes;
constexpr int kMinMember = kHeaderBytes + kTrailerBytes;

struct Member {
    int64_t start;
    int64_t memberSize;
    int64_t dataSize;
};

bool isMemberStart(const uint8_t* p) { return p[0] == 'L' && p[1] == 'Z' && p[2] == 'I' && p[3] == 'P'; }

// The member that ends at `end`, when its trailer and header agree.
std::optional<Member> memberEndingAt(InStream* stream, int64_t end) {
    uint8_t trailer[kTrailerBytes], header[kHeaderBytes];
    if (!stream->seek(end - kTrailerBytes) || !readExact(stream, trailer, kTrailerBytes)) return std::nullopt;
    Member m;
    uint64_t dataSize = le64(trailer + 4), memberSize = le64(trailer + 12);
    if (memberSize <= uint64_t(kMinMember) || memberSize > uint64_t(end) || dataSize > uint64_t(INT64_MAX))
        return std::nullopt;
    m.memberSize = static_cast<int64_t>(memberSize);
    m.dataSize = static_cast<int64_t>(dataSize);
    m.start = end - m.memberSize;
    if (!stream->seek(m.start) || !readExact(stream, header, kHeaderBytes) || lzipDictionarySize(header) == 0)
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

// Whether what follows the last member is a member cut short.
bool memberCutShortAfter(InStream* stream, int64_t lastEnd) {
    uint8_t next[4];
    bool followed = lastEnd + 4 <= stream->size() && stream->seek(lastEnd) && readExact(stream, next, 4);
    return followed && isMemberStart(next);
}

}  // namespace

Archive* openLzip(const char16_t* name, Archive* container, InStream* stream) {
    // Members are walked from the last to the first; every member is at
    // least kMinMember bytes, so the walk ends.
    int64_t lastEnd = lastMemberEnd(stream).value_or(0);
    int64_t total = 0, firstStart = lastEnd;
    while (firstStart > kMinMember) {
        std::optional<Member> m = memberEndingAt(stream, firstStart);
        if (!m || m->dataSize > INT64_MAX - total) break;
        total += m->dataSize;
        firstStart = m->start;
    }
    std::u16string entryName = singleEntryName(stream, {{u".lz", u""}, {u".tlz", u".tar"}}, u"lz.out");
    Archive* archive = newArchive(name, container, stream);
    if (!archive) return nullptr;
    if (lastEnd == 0 || firstStart != 0) {
        // Members that cannot all be found: the data decoded for as long as
        // it lasts, marked damaged (cut short where no member ends the file).
        uint8_t header[kHeaderBytes];
        if (stream->seek(0) && readExact(stream, header, kHeaderBytes) && lzipDictionarySize(header) != 0)
            addEntry(archive, findCodec(u"lzip"), entryName, 0, stream->size(), -1, stream->tag(), std::nullopt,
                     lastEnd == 0 ? Status::truncated() : Status::corrupt());
        return archive;
    }
    addEntry(archive, findCodec(u"lzip"), entryName, 0, lastEnd, total, stream->tag(), std::nullopt,
             memberCutShortAfter(stream, lastEnd) ? Status::truncated() : Status());
    return archive;
}

}  // namespace zorvex
