// The 7z archive reader.
#pragma once

namespace zorvex {

class Archive;
class InStream;

Archive* openSevenZip(const char16_t* name, Archive* container, InStream* stream);

}  // namespace zorvex
