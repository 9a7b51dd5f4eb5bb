// Fuzzes every registered archive format at once. The first input byte picks
// an archive name extension from the format registry, so detection leads to
// each reader in turn (formats added later are covered without changes here);
// the remaining bytes are the archive. Everything it lists is opened and read:
// files, folders, nested archives, within fixed bounds of depth and work.
//
// With ZORVEX_FUZZ_LIST_EXTENSIONS set, the target prints the extensions in
// the order the first byte selects them and exits (fuzz/run.sh uses this to
// prefix its seed archives).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/archive.h"
#include "engine/stream.h"

namespace {

using namespace zorvex;

constexpr int kMaxNesting = 4;                     // archives inside archives
constexpr int kMaxItems = 4000;                    // files, folders and nested archives visited
constexpr int64_t kMaxEntryOutput = 4 << 20;       // bytes read from one entry
constexpr int64_t kMaxTotalOutput = 32 << 20;      // bytes read from one input

struct Budget {
    int items = kMaxItems;
    int64_t output = kMaxTotalOutput;
    bool spend() { return items-- > 0; }
};

void collectExtension(const char16_t* extension, void* context) {
    static_cast<std::vector<std::u16string>*>(context)->push_back(extension);
}

const std::vector<std::u16string>& extensions() {
    static const std::vector<std::u16string> list = [] {
        std::vector<std::u16string> found;
        forEachExtension(collectExtension, &found);
        return found;
    }();
    return list;
}

// Reads the stream to its end (within the budget), then goes back to the start
// and reads once more, as a consumer that rewinds would.
void drain(InStream* stream, Budget& budget) {
    if (!stream) return;
    static uint8_t buf[65536];
    stream->size();
    stream->tag();
    int64_t left = std::min(kMaxEntryOutput, budget.output);
    while (left > 0) {
        int n = stream->read(buf, static_cast<int>(std::min<int64_t>(sizeof buf, left)));
        if (n <= 0) break;
        left -= n;
        budget.output -= n;
    }
    if (stream->rewind()) stream->read(buf, 4096);
    stream->release();
}

void walk(Archive* archive, int nesting, Budget& budget) {
    std::vector<std::u16string> names;
    for (int i = 0; i < archive->fileCount() && budget.spend(); ++i) {
        if (const char16_t* name = archive->fileName(i)) names.emplace_back(name);
        archive->fileSize(i);
        archive->fileTime(i);
        drain(archive->openFile(i), budget);
    }
    archive->orderForExtraction(names);
    for (int i = 0; i < archive->folderCount() && budget.spend(); ++i) {
        archive->folderTime(i);
        if (Archive* folder = archive->openFolder(i)) {
            walk(folder, nesting, budget);
            folder->release();
        }
    }
    for (int i = 0; i < archive->nestedCount() && budget.spend(); ++i) {
        archive->nestedSize(i);
        drain(archive->openNestedStream(i), budget);
        if (nesting >= kMaxNesting) continue;
        if (Archive* nested = archive->openNestedArchive(i)) {
            walk(nested, nesting + 1, budget);
            nested->release();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::getenv("ZORVEX_FUZZ_LIST_EXTENSIONS")) return 0;
    for (const std::u16string& extension : extensions()) {
        for (char16_t c : extension) std::putchar(c < 0x80 ? static_cast<char>(c) : '?');
        std::putchar('\n');
    }
    std::exit(0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::u16string>& list = extensions();
    if (size < 1 || list.empty()) return 0;
    std::u16string name = u"fuzz" + list[data[0] % list.size()];
    InStream* stream = MemoryStream::create(name.c_str(), nullptr, 0, data + 1, size - 1);
    if (!stream) return 0;
    Archive* archive = detectAndOpen(name.c_str(), nullptr, stream);
    stream->release();
    if (archive) {
        Budget budget;
        walk(archive, 0, budget);
        archive->release();
    }
    // Every archive opened above must be gone again.
    if (liveArchiveCount() != 0) std::abort();
    return 0;
}
