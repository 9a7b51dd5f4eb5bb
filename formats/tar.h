// Tar reader: ustar, GNU (long names, base-256 numbers) and pax headers.
#pragma once

namespace zorvex {

class Archive;
class InStream;
enum class Bid;
struct ProbeInput;

Archive* openTar(const char16_t* name, Archive* container, InStream* stream);
Bid probeTar(const ProbeInput& input);

}  // namespace zorvex
