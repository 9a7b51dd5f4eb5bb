#include "engine/extraction.h"

namespace zorvex {

namespace {

int entryTotal(Archive* level) { return level->folderCount() + level->fileCount() + level->nestedCount(); }

}  // namespace

std::u16string wrapperName(const char16_t* fullName) {
    std::u16string_view name(fullName);
    size_t slash = name.find_last_of(u'\\');
    if (slash != std::u16string_view::npos) name.remove_prefix(slash + 1);
    return std::u16string(name.substr(0, name.find_last_of(u'.')));
}

ExtractionPlan planExtraction(Archive* archive) {
    ExtractionPlan plan;
    plan.level = Ref<Archive>::share(archive);
    while (static_cast<int>(plan.unwrapped.size()) < kMaxUnwrapDepth && plan.level->nestedCount() == 1 &&
           plan.level->folderCount() == 0 && plan.level->fileCount() == 0) {
        Ref<Archive> inner(plan.level->openNestedArchive(0));
        if (!inner) break;  // then it is written as a file
        plan.unwrapped.emplace_back(plan.level->nestedName(0));
        plan.level = std::move(inner);
    }
    int total = entryTotal(plan.level.get());
    if (total == 0) return ExtractionPlan{};
    if (total > 1) plan.wrapper = wrapperName(plan.level->name());
    return plan;
}

}  // namespace zorvex
