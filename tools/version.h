// What `zorvex --version` says: the program's version, the formats and
// codecs it reads, and the versions of the libraries it was linked with.
#pragma once

#include <string>

namespace zorvex::cli {

std::string versionText();

}  // namespace zorvex::cli
