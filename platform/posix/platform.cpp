#include "platform/platform.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <vector>

#include "engine/path_clean.h"
#include "platform/posix/utf8.h"

namespace zorvex::platform {

namespace {

std::optional<std::u16string> currentDirectory() {
    std::vector<char> buf(4096);
    while (!getcwd(buf.data(), buf.size())) {
        if (errno != ERANGE || buf.size() > (1u << 20)) return std::nullopt;
        buf.resize(buf.size() * 2);
    }
    return fromNativePath(buf.data());
}

}  // namespace

std::optional<std::u16string> fullPath(const std::u16string& path) {
    if (path.empty()) return std::nullopt;
    std::u16string absolute = path;
    if (!isPathSeparator(path[0])) {
        auto cwd = currentDirectory();
        if (!cwd) return std::nullopt;
        absolute = *cwd + u"\\" + path;
    }
    // The path need not exist: "." and ".." are resolved by the text alone.
    std::u16string out;
    for (std::u16string_view part : resolvePath(std::u16string_view(absolute))) (out += u'\\') += part;
    if (out.empty() || isPathSeparator(path.back())) out += u"\\";
    return out;
}

NativePath toNativePath(const std::u16string& path) {
    std::string out = posix::encodeUtf8(path, true);
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

std::u16string fromNativePath(const NativePath& path) {
    std::u16string out = *posix::decodeUtf8(path, true);
    for (char16_t& c : out)
        if (c == u'/') c = u'\\';
    return out;
}

int readStandardInput(void* out, int count, int* error) {
    for (;;) {
        ssize_t n = read(0, out, static_cast<size_t>(count));
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        *error = errno;
        return -1;
    }
}

// Blocks of at least one large page start on a large-page boundary and fill
// whole large pages, so the kernel can back all of them with large pages.
// The advice is only a hint: where it is refused the block works as usual.
void* allocateLarge(size_t size) {
#ifdef MADV_HUGEPAGE
    if (size >= kLargePage) {
        size_t rounded = (size + kLargePage - 1) & ~(kLargePage - 1);
        void* block = nullptr;
        if (rounded < size || posix_memalign(&block, kLargePage, rounded) != 0) return nullptr;
        madvise(block, rounded, MADV_HUGEPAGE);
        return block;
    }
#endif
    return std::malloc(size);
}

void freeLarge(void* block) { std::free(block); }

}  // namespace zorvex::platform
