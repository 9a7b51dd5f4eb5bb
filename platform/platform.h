// The few operating-system pieces the engine needs beside file reading and
// conversions: full paths, native path forms and memory for big models.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace zorvex::platform {

// Absolute form of an engine path ("\\"-separated), "." and ".." resolved.
std::optional<std::u16string> fullPath(const std::u16string& path);

#ifdef _WIN32
using NativePath = std::wstring;
#else
using NativePath = std::string;
#endif
// Engine path ("\\"-separated, UTF-16) to the operating system's form.
NativePath toNativePath(const std::u16string& path);
// Native path to an engine path.
std::u16string fromNativePath(const NativePath& path);

// Memory for a big model that is read all over (a PPMd model): where the
// system offers them it lies on large pages, which spares the many address
// translation misses of scattered reads. Null when memory is short; released
// with freeLarge.
void* allocateLarge(size_t size);
void freeLarge(void* block);

}  // namespace zorvex::platform
