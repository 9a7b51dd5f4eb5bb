// The zip and zipx reader: lists entries from the local headers front to back,
// or from the central directory once an entry keeps its sizes in a data
// descriptor.
#pragma once

namespace zorvex {

class Archive;
class InStream;
enum class Bid;
struct ProbeInput;

// Null for a null name or stream; otherwise the archive with the entries
// read before any damage. Encrypted entries are listed as such and decrypt
// with the archive's password.
Archive* openZip(const char16_t* name, Archive* container, InStream* stream);
Bid probeZip(const ProbeInput& input);

}  // namespace zorvex
