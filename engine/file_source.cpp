// The parts of the file source that need no operating system: opening, and
// finding files next to this one.
#include "engine/file_source.h"

#include <algorithm>
#include <new>
#include <optional>
#include <string>

#include "engine/path_clean.h"

namespace zorvex {

InStream* FileSource::openSibling(const char16_t* name) {
    if (!name || !*name) return nullptr;
    std::optional<std::u16string> self = normalizePath(this->name());
    if (!self || self->size() < 4) return nullptr;
    size_t separator = self->rfind(u'\\');
    if (separator == std::u16string::npos || separator + 1 == self->size()) return nullptr;
    std::u16string path = self->substr(0, separator + 1) + name;
    return openFileSource(path.c_str());
}

int64_t ringStart(int64_t position, int blockSize) {
    const int64_t last = INT64_MAX - int64_t{FileSource::kSlots} * blockSize;
    const int64_t clamped = std::min(position, last);
    return clamped - clamped % blockSize;
}

FileSource* openFileSource(const char16_t* path) {
    auto* source = new (std::nothrow) FileSource(path, nullptr, 0, -1);
    if (source && !source->isOpen()) {
        source->release();
        return nullptr;
    }
    return source;
}

}  // namespace zorvex
