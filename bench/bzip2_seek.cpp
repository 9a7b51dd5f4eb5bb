// Times a full read of an entry, then a backward seek into it followed by a
// 64 KiB read: the seek resumes at the block holding its target.
//   bzip2_seek ARCHIVE/ENTRY [FRACTION]   (FRACTION of the size, default 0.1)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/archive.h"
#include "engine/stream.h"

using namespace zorvex;

namespace {

std::u16string widen(const char* s) {
    std::u16string out;
    for (; *s; ++s) out.push_back(*s == '/' ? u'\\' : static_cast<char16_t>(static_cast<unsigned char>(*s)));
    return out;
}

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s ARCHIVE/ENTRY [FRACTION]\n", argv[0]);
        return 2;
    }
    const double fraction = argc > 2 ? std::atof(argv[2]) : 0.1;
    Ref<InStream> s(openStreamPath(widen(argv[1]).c_str()));
    if (!s) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    std::vector<char> buf(1 << 16);
    auto start = std::chrono::steady_clock::now();
    int64_t total = 0;
    for (int n; (n = s->read(buf.data(), static_cast<int>(buf.size()))) > 0;) total += n;
    auto full = std::chrono::steady_clock::now() - start;

    const int64_t target = static_cast<int64_t>(static_cast<double>(total) * fraction);
    start = std::chrono::steady_clock::now();
    bool ok = s->seek(target) && s->read(buf.data(), static_cast<int>(buf.size())) > 0;
    auto seek = std::chrono::steady_clock::now() - start;
    if (!ok) {
        std::fprintf(stderr, "seek to %lld failed\n", static_cast<long long>(target));
        return 1;
    }
    std::printf("%lld %.6f %.6f\n", static_cast<long long>(total), seconds(full), seconds(seek));
    return 0;
}
