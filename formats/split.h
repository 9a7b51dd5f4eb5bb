// A file cut into pieces name.001, name.002, ... shown as one entry `name`.
#pragma once

namespace zorvex {

class Archive;
class InStream;

Archive* openSplit(const char16_t* name, Archive* container, InStream* stream);

}  // namespace zorvex
