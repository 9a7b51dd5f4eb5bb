// The few operating-system pieces the engine needs beside file reading and
// conversions: full paths and native path forms.
#pragma once

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

}  // namespace zorvex::platform
