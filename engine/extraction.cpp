#include "engine/extraction.h"

#include <numeric>
#include <unordered_map>

#include "engine/codec.h"
#include "engine/names.h"
#include "engine/stream.h"

namespace zorvex {

namespace {

bool isDeviceName(std::u16string_view name) {
    // Windows ignores the extension and trailing spaces before it.
    std::u16string stem = foldCase(name.substr(0, name.find(u'.')));
    while (!stem.empty() && stem.back() == u' ') stem.pop_back();
    static constexpr std::u16string_view kDevices[] = {u"con", u"prn", u"aux", u"nul", u"conin$", u"conout$"};
    for (std::u16string_view device : kDevices)
        if (stem == device) return true;
    // COM1-9 and LPT1-9, also with the superscript digits Windows accepts.
    if (stem.size() != 4 || (stem.compare(0, 3, u"com") != 0 && stem.compare(0, 3, u"lpt") != 0)) return false;
    char16_t digit = stem[3];
    return (digit >= u'1' && digit <= u'9') || digit == u'\u00b9' || digit == u'\u00b2' || digit == u'\u00b3';
}

int entryTotal(Archive* level) { return level->folderCount() + level->fileCount() + level->nestedCount(); }

}  // namespace

std::u16string wrapperName(const char16_t* fullName) { return stemOf(fullName); }

std::u16string windowsSafeName(std::u16string_view name) {
    std::u16string safe(name);
    for (char16_t& c : safe)
        if (c < 32 || std::u16string_view(u"<>:\"/\\|?*").find(c) != std::u16string_view::npos) c = u'_';
    for (size_t i = safe.size(); i > 0 && (safe[i - 1] == u'.' || safe[i - 1] == u' '); --i) safe[i - 1] = u'_';
    if (safe.empty()) return u"_";
    if (isDeviceName(safe)) safe.insert(safe.begin(), u'_');
    return safe;
}

std::vector<size_t> extractionOrder(Archive* level, const std::vector<std::u16string>& paths) {
    std::vector<size_t> given(paths.size());
    std::iota(given.begin(), given.end(), size_t{0});
    std::vector<std::u16string> order = paths;
    if (!level->orderForExtraction(order) || order.size() != paths.size()) return given;
    std::unordered_map<std::u16string, size_t> positionOf;
    for (size_t i = 0; i < paths.size(); ++i) positionOf.emplace(paths[i], i);
    std::vector<size_t> positions;
    positions.reserve(paths.size());
    for (const std::u16string& path : order) {
        auto found = positionOf.find(path);
        if (found == positionOf.end()) return given;
        positions.push_back(found->second);
        positionOf.erase(found);
    }
    return positions;
}

ExtractionPlan planExtraction(Archive* archive) {
    ExtractionPlan plan;
    plan.level = Ref<Archive>::share(archive);
    plan.levels.push_back(plan.level);
    while (static_cast<int>(plan.unwrapped.size()) < kMaxUnwrapDepth && plan.level->nestedCount() == 1 &&
           plan.level->folderCount() == 0 && plan.level->fileCount() == 0) {
        Ref<Archive> inner(plan.level->openNestedArchive(0));
        if (!inner) break;  // then it is written as a file
        plan.unwrapped.emplace_back(plan.level->nestedName(0));
        plan.level = std::move(inner);
        plan.levels.push_back(plan.level);
    }
    int total = entryTotal(plan.level.get());
    if (total == 0) {
        ExtractionPlan empty;
        empty.unwrapped = std::move(plan.unwrapped);
        empty.levels = std::move(plan.levels);
        return empty;
    }
    if (total > 1) plan.wrapper = wrapperName(plan.level->name());
    return plan;
}

// Such files are stored windows of the level's joined stream, whose parts
// are the decoded runs.
int64_t decodingUnit(Archive* level, int index) {
    const ArchiveEntry* entry = level->fileEntry(index);
    auto* joined = dynamic_cast<ConcatStream*>(level->stream());
    if (!entry || !joined || entry->codec != findCodec(u"store")) return -1;
    return joined->partAt(entry->offset);
}

}  // namespace zorvex
