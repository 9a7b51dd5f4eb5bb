// Visits everything an archive lists (files, folders, nested archives) and
// reads every entry, within fixed bounds of nesting, items and bytes, so that
// hostile input is exercised fully yet each run ends quickly. Shared by the
// fuzz targets and the hostile-input tests; how an entry is read can be
// chosen (by default: drained).
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/archive.h"
#include "engine/format_registry.h"
#include "engine/level_walk.h"
#include "engine/stream.h"

namespace zorvex::walk {

struct Budget {
    int nesting = 4;                    // archives inside archives
    int items = 4000;                   // files, folders and nested archives visited
    int64_t entryOutput = 1 << 20;      // bytes read from one entry
    int64_t totalOutput = 8 << 20;      // bytes read in all
    bool spend() { return items-- > 0; }
};

// Reads one entry's stream (which may be null) and releases it.
using EntryReader = void (*)(InStream* stream, Budget& budget);

// Reads the stream to its end (within the budget), then goes back to the
// start and reads once more, as a consumer that rewinds would. Releases it.
inline void drain(InStream* stream, Budget& budget) {
    if (!stream) return;
    static uint8_t buf[65536];
    stream->size();
    stream->tag();
    int64_t left = std::min(budget.entryOutput, budget.totalOutput);
    while (left > 0) {
        int n = stream->read(buf, static_cast<int>(std::min<int64_t>(sizeof buf, left)));
        if (n <= 0) break;
        left -= n;
        budget.totalOutput -= n;
    }
    if (stream->rewind()) stream->read(buf, 4096);
    stream->release();
}

// The walk over the levels (engine/level_walk.h); the place is the nesting depth.
struct Visitor {
    Budget& budget;
    EntryReader read;

    void items(Archive* archive, int) {
        std::vector<std::u16string> names;
        for (int i = 0; i < archive->fileCount() && budget.spend(); ++i) {
            if (const char16_t* name = archive->fileName(i)) names.emplace_back(name);
            archive->fileSize(i);
            archive->fileTime(i);
            read(archive->openFile(i), budget);
        }
        archive->orderForExtraction(names);
    }
    std::optional<int> folder(Archive* archive, int i, int nesting) {
        if (!budget.spend()) return std::nullopt;
        archive->folderTime(i);
        return nesting;
    }
    void folderFailed(Archive*, int, int) {}
    std::optional<int> nested(Archive* archive, int i, int nesting) {
        if (!budget.spend()) return std::nullopt;
        archive->nestedSize(i);
        read(archive->openNestedStream(i), budget);
        if (nesting >= budget.nesting) return std::nullopt;
        return nesting + 1;
    }
    void nestedFailed(Archive*, int, int) {}
};

inline void archive(Archive* archive, Budget& budget, EntryReader read = drain) {
    Visitor visitor{budget, read};
    walkLevels(archive, visitor, 0);
}

// Opens bytes held in memory as an archive of that name and walks it. False
// when nothing opened.
inline bool bytes(const char16_t* name, const uint8_t* data, size_t size, Budget budget = {},
                  EntryReader read = drain) {
    InStream* stream = MemoryStream::create(name, nullptr, 0, data, size);
    if (!stream) return false;
    Archive* opened = detectAndOpen(name, nullptr, stream);
    stream->release();
    if (!opened) return false;
    archive(opened, budget, read);
    opened->release();
    return true;
}

}  // namespace zorvex::walk
