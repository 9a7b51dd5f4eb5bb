// Reads every entry of an archive of any registered format twice: straight
// through, then in 4 KiB pieces at positions picked by the input, seeking
// before each; a piece that differs from the straight read is a fault. The
// first input byte picks the archive's extension (run.sh puts each seed
// behind the byte of its own), the rest is the archive.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/archive.h"
#include "engine/stream.h"
#include "fuzz/target.h"
#include "fuzz/walk.h"

namespace {

constexpr int kPiece = 4096;
constexpr int kSeeksPerEntry = 16;

const std::vector<std::u16string>& extensions() {
    static const std::vector<std::u16string> list = [] {
        std::vector<std::u16string> found;
        zorvex::forEachExtension(
            [](const char16_t* extension, void* context) {
                static_cast<std::vector<std::u16string>*>(context)->push_back(extension);
            },
            &found);
        return found;
    }();
    return list;
}

// Positions come from the input, so that a failing input replays exactly.
uint64_t positionSeed = 0;

uint64_t nextRandom() {
    positionSeed = positionSeed * 6364136223846793005u + 1442695040888963407u;
    return positionSeed >> 17;
}

// Reads up to `count` bytes, going on after short reads until the stream ends.
std::vector<uint8_t> readUpTo(zorvex::InStream* stream, int64_t count) {
    std::vector<uint8_t> out;
    uint8_t buf[65536];
    while (static_cast<int64_t>(out.size()) < count) {
        int n = stream->read(buf, static_cast<int>(std::min<int64_t>(sizeof buf, count - out.size())));
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

void compareSeeks(zorvex::InStream* stream, zorvex::walk::Budget& budget) {
    if (!stream) return;
    std::vector<uint8_t> straight = readUpTo(stream, std::min(budget.entryOutput, budget.totalOutput));
    budget.totalOutput -= static_cast<int64_t>(straight.size());
    for (int i = 0; i < kSeeksPerEntry && !straight.empty(); ++i) {
        // Every other seek lands on a piece boundary, as a reader in pieces would.
        int64_t at = static_cast<int64_t>(nextRandom() % straight.size());
        if (i % 2 == 0) at -= at % kPiece;
        if (!stream->seek(at)) std::abort();
        std::vector<uint8_t> piece = readUpTo(stream, kPiece);
        size_t expected = std::min<size_t>(kPiece, straight.size() - static_cast<size_t>(at));
        if (piece.size() < expected || std::memcmp(piece.data(), straight.data() + at, expected) != 0) std::abort();
    }
    stream->release();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::vector<zorvex::fuzz::SeedKind> kinds;
    for (size_t i = 0; i < extensions().size() && i < 256; ++i)
        kinds.push_back({extensions()[i], static_cast<int>(i)});
    zorvex::fuzz::answerSeedQuery(kinds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::u16string>& list = extensions();
    if (size < 1 || list.empty()) return 0;
    positionSeed = size;
    for (size_t i = 0; i < size; ++i) positionSeed = (positionSeed ^ data[i]) * 1099511628211u;
    std::u16string name = u"fuzz" + list[data[0] % list.size()];
    zorvex::walk::Budget budget;
    budget.items = 200;
    budget.entryOutput = 256 << 10;
    budget.totalOutput = 4 << 20;
    zorvex::walk::bytes(name.c_str(), data + 1, size - 1, budget, compareSeeks);
    zorvex::fuzz::expectNoArchiveLeft();
    return 0;
}
