// Tar reader: ustar, GNU (long names, base-256 numbers) and pax headers.
#pragma once

namespace zorvex {

class Archive;
class InStream;

Archive* openTar(const char16_t* name, Archive* container, InStream* stream);

}  // namespace zorvex
