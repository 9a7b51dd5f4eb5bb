#include "platform/platform.h"

#include <unistd.h>

#include <cerrno>

#include <vector>

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

bool isSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

}  // namespace

std::optional<std::u16string> fullPath(const std::u16string& path) {
    if (path.empty()) return std::nullopt;
    std::u16string absolute = path;
    if (!isSeparator(path[0])) {
        auto cwd = currentDirectory();
        if (!cwd) return std::nullopt;
        absolute = *cwd + u"\\" + path;
    }
    // Resolve "." and ".." by the text alone, as the path need not exist.
    std::vector<std::u16string> parts;
    size_t start = 0;
    while (start <= absolute.size()) {
        size_t end = start;
        while (end < absolute.size() && !isSeparator(absolute[end])) ++end;
        std::u16string part = absolute.substr(start, end - start);
        if (part == u"..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != u".") {
            parts.push_back(std::move(part));
        }
        start = end + 1;
    }
    std::u16string out;
    for (const auto& part : parts) out += u"\\" + part;
    if (out.empty() || isSeparator(path.back())) out += u"\\";
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

}  // namespace zorvex::platform
