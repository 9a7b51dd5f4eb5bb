#include "tools/entries.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "engine/convert.h"
#include "engine/checked_stream.h"
#include "engine/extraction.h"
#include "engine/links.h"
#include "platform/platform.h"
#include "tools/os.h"
#include "tools/standard_input.h"

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
    if (auto input = standardInputArgumentPath(argument)) return *input;
    std::u16string path = u16FromNative(pathFromUtf8(argument));
    return platform::fullPath(path).value_or(path);
}

std::u16string enginePath(const std::filesystem::path& absolute) { return u16FromNative(absolute); }

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

const EntryMetadata& LevelItem::metadata(Archive* level) const {
    return nested ? level->nestedMetadata(index) : level->fileMetadata(index);
}

std::optional<LevelItem> linkedEntry(Ref<Archive>& level, LevelItem item) {
    LevelEntry entry{item.name, item.nested, item.index};
    if (!followLinks(level, entry)) return std::nullopt;
    return LevelItem{std::move(entry.name), entry.nested, entry.index};
}

std::string displayPath(std::u16string_view path) {
    std::string text = displayName(path);
    std::replace(text.begin(), text.end(), '\\', kDisplaySeparator);
    return text;
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
    // Headers that need a password, or another one: no damage to speak of.
    const std::string& reason = level->damageReason();
    if (entries == 0 && (reason == describe(Status::encrypted()) || reason.starts_with("wrong password"))) {
        reporter.error(subject, levelPath, reason);
        return true;
    }
    reporter.error(subject, levelPath,
                   "damaged after " + std::to_string(entries) + (entries == 1 ? " entry: " : " entries: ") +
                       level->damageReason());
    return true;
}

CopyResult copyVerified(InStream* stream, const EntryChecks& stored, const ByteSink& sink, Reporter& reporter,
                        const std::string& subject, const std::string& entry) {
    // One per thread: entries are copied on several at once.
    thread_local std::unique_ptr<uint8_t, decltype(&std::free)> buffer(
        static_cast<uint8_t*>(std::malloc(kCopyBufferSize)), &std::free);
    if (!buffer) {
        reporter.error(subject, entry, "out of memory");
        return CopyResult::kWriteFailed;
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
        if (!sink(buffer.get(), size_t(got))) return CopyResult::kWriteFailed;
        total += got;
        reporter.countBytes(got);
    }
    const bool isShort = expected >= 0 && total < expected;
    if (isShort || stream->damaged()) {
        reporter.error(subject, entry, failureText(stream->status(), total, expected));
        return isShort ? CopyResult::kShort : CopyResult::kDamaged;
    }
    if (!check.crcMatches()) {
        // A keyed CRC is not the data's: only the mismatch says anything.
        if (stored.key) {
            reporter.error(subject, entry, "CRC mismatch");
            return CopyResult::kCheckFailed;
        }
        char text[96];
        std::snprintf(text, sizeof text, "CRC mismatch (stored %08" PRIx32 ", data gives %08" PRIx32 ")", *stored.crc,
                      check.crc());
        reporter.error(subject, entry, text);
        return CopyResult::kCheckFailed;
    }
    if (!check.blake2spMatches()) {
        reporter.error(subject, entry, "BLAKE2sp mismatch");
        return CopyResult::kCheckFailed;
    }
    return CopyResult::kOk;
}

}  // namespace zorvex::cli
