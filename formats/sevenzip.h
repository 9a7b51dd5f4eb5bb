// The 7z archive reader.
#pragma once

namespace zorvex {

class Archive;
class InStream;
enum class Bid;
struct ProbeInput;

Archive* openSevenZip(const char16_t* name, Archive* container, InStream* stream);
Bid probeSevenZip(const ProbeInput& input);

}  // namespace zorvex
