#include "tools/entries.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "engine/convert.h"
#include "engine/checked_stream.h"
#include "platform/platform.h"
#include "tools/os.h"

namespace zorvex::cli {

namespace {

// Small enough for the data to stay in the cache between reading, checking
// and writing; large enough to keep per-call overhead negligible.
constexpr int kCopyBufferSize = 256 << 10;

std::u16string u16FromNative(const std::filesystem::path& path) {
#ifdef _WIN32
    return platform::fromNativePath(path.wstring());
#else
    return platform::fromNativePath(path.string());
#endif
}

}  // namespace

std::u16string engineArgumentPath(const std::string& argument) {
    std::u16string path = u16FromNative(pathFromUtf8(argument));
    return platform::fullPath(path).value_or(path);
}

std::string displayName(std::u16string_view name) {
    if (name.empty()) return {};
    if (auto utf8 = wideToUtf8(name)) return *utf8;
    // Unpaired surrogates: show what converts.
    std::string out;
    for (char16_t c : name) {
        auto one = (c >= 0xD800 && c <= 0xDFFF) ? std::nullopt : wideToUtf8(std::u16string_view(&c, 1));
        out += one ? *one : "?";
    }
    return out;
}

std::string formatTime(int64_t time) {
    auto parts = timeToParts(time);
    if (!parts) return std::string(19, ' ');
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", parts->year, parts->month, parts->day,
                  parts->hour, parts->minute, parts->second);
    return text;
}

InStream* LevelItem::open(Archive* level) const {
    return nested ? level->openNestedStream(index) : level->openFile(index);
}

int64_t LevelItem::size(Archive* level) const {
    return nested ? level->nestedSize(index) : level->fileSize(index);
}

int64_t LevelItem::time(Archive* level) const {
    return nested ? level->nestedTime(index) : level->fileTime(index);
}

EntryChecks LevelItem::checks(Archive* level) const {
    return nested ? level->nestedChecks(index) : level->fileChecks(index);
}

std::vector<LevelItem> itemsForExtraction(Archive* level) {
    std::vector<std::u16string> names;
    for (int i = 0; i < level->fileCount(); ++i) names.emplace_back(level->fileName(i));
    for (int i = 0; i < level->nestedCount(); ++i) names.emplace_back(level->nestedName(i));
    level->orderForExtraction(names);  // on failure the view order stands

    std::vector<LevelItem> items;
    items.reserve(names.size());
    for (auto& name : names) {
        LevelItem item;
        item.index = level->findFile(name.c_str());
        if (item.index < 0) {
            item.nested = true;
            item.index = level->findNested(name.c_str());
        }
        item.name = std::move(name);
        if (item.index >= 0) items.push_back(std::move(item));
    }
    return items;
}

bool sourceFoundDamaged(Archive* level) {
    InStream* stream = level->stream();
    if (!stream) return false;
    // Folder levels share their archive's stream; the archive's own owner,
    // when it has one, is the level it is an entry of.
    Ref<Archive> top = Ref<Archive>::share(level);
    Ref<Archive> enclosing(top->owner());
    while (enclosing && enclosing->stream() == stream) {
        top = std::move(enclosing);
        enclosing = Ref<Archive>(top->owner());
    }
    if (!enclosing) return stream->damaged();
    uint8_t rest[1 << 16];
    while (!stream->damaged() && !interrupted() && stream->read(rest, sizeof rest) > 0) {
    }
    return stream->damaged();
}

CopyResult copyVerified(InStream* stream, const EntryChecks& stored, const ByteSink& sink, Reporter& reporter,
                        const std::string& subject, const std::string& entry) {
    static std::unique_ptr<uint8_t, decltype(&std::free)> buffer(static_cast<uint8_t*>(std::malloc(kCopyBufferSize)),
                                                               &std::free);
    if (!buffer) {
        reporter.error(subject, entry, "out of memory");
        return CopyResult::WriteFailed;
    }
    // A size that only decoding would tell is not asked for: the copy runs to
    // the data's end and checks the damage mark instead.
    const int64_t expected = stream->knownSize();
    int64_t total = 0;
    DataCheck check(stored);
    for (;;) {
        int want = kCopyBufferSize;
        if (expected >= 0) {
            if (total >= expected) break;
            if (expected - total < want) want = int(expected - total);
        }
        int got = stream->read(buffer.get(), want);
        if (got <= 0) break;
        check.update(buffer.get(), size_t(got));
        if (!sink(buffer.get(), size_t(got))) return CopyResult::WriteFailed;
        total += got;
        reporter.countBytes(got);
    }
    if (expected >= 0 && total < expected) {
        reporter.error(subject, entry,
                       "data ends after " + std::to_string(total) + " of " + std::to_string(expected) + " bytes");
        return CopyResult::Short;
    }
    if (stream->damaged()) {
        reporter.error(subject, entry, "data is damaged (decoding failed after " + std::to_string(total) + " bytes)");
        return CopyResult::Damaged;
    }
    if (!check.crcMatches()) {
        char text[96];
        std::snprintf(text, sizeof text, "CRC mismatch (stored %08" PRIx32 ", data gives %08" PRIx32 ")", *stored.crc,
                      check.crc());
        reporter.error(subject, entry, text);
        return CopyResult::CheckFailed;
    }
    if (!check.blake2spMatches()) {
        reporter.error(subject, entry, "BLAKE2sp mismatch");
        return CopyResult::CheckFailed;
    }
    return CopyResult::Ok;
}

}  // namespace zorvex::cli
