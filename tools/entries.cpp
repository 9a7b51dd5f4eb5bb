#include "tools/entries.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "engine/convert.h"
#include "engine/checked_stream.h"
#include "engine/extraction.h"
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
    std::vector<LevelItem> listed;
    for (int i = 0; i < level->fileCount(); ++i) listed.push_back(LevelItem{level->fileName(i), false, i});
    for (int i = 0; i < level->nestedCount(); ++i) listed.push_back(LevelItem{level->nestedName(i), true, i});
    std::vector<std::u16string> names;
    names.reserve(listed.size());
    for (const LevelItem& item : listed) names.push_back(item.name);

    std::vector<LevelItem> items;
    items.reserve(listed.size());
    for (size_t position : extractionOrder(level, names)) items.push_back(std::move(listed[position]));
    return items;
}

std::string failureText(const Status& status, int64_t total, int64_t expected) {
    const std::string after = std::to_string(total);
    // Data shorter than its size with no other failure ended early too.
    if (status.ok() || (status.kind() == Status::kTruncated && !status.note()))
        return "data ends after " + after + (expected >= 0 ? " of " + std::to_string(expected) : "") + " bytes";
    if (status.kind() == Status::kCorrupt) return describe(status) + " (decoding failed after " + after + " bytes)";
    return describe(status);
}

std::string openFailureText(Archive* level) {
    const Status& failure = level->openFailure();
    return failure.ok() ? "cannot be decoded" : describe(failure);
}

bool reportDamagedLevel(Archive* level, Reporter& reporter, const std::string& subject, const std::string& levelPath) {
    if (!level->damaged()) return false;
    int entries = level->entriesBeforeDamage();
    reporter.error(subject, levelPath,
                   "damaged after " + std::to_string(entries) + (entries == 1 ? " entry: " : " entries: ") +
                       level->damageReason());
    return true;
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
    const bool isShort = expected >= 0 && total < expected;
    if (isShort || stream->damaged()) {
        reporter.error(subject, entry, failureText(stream->status(), total, expected));
        return isShort ? CopyResult::Short : CopyResult::Damaged;
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
