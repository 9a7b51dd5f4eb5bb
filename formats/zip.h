// The zip and zipx reader: lists entries from the local headers front to back,
// or from the central directory once an entry keeps its sizes in a data
// descriptor. From a stream that cannot go back (standard input), the local
// headers alone are followed, and the entries decoded as they come.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/stream.h"

namespace zorvex {

class Archive;
class ArchivePassword;
class Codec;
enum class Bid;
struct ProbeInput;

// Null for a null name or stream; otherwise the archive with the entries
// read before any damage. Encrypted entries are listed as such and decrypt
// with the archive's password.
Archive* openZip(const char16_t* name, Archive* container, InStream* stream);
Bid probeZip(const ProbeInput& input);

// A zip read front to back from a stream that goes back only a little (as
// far as a decoder reads ahead of the end of an entry's data): its entries'
// data, decoded and checked as the input arrives, back to back. An entry
// whose sizes follow its data in a data descriptor ends where its decoder
// stops; a stored one at the first descriptor whose signature, CRC and sizes
// fit the bytes before it.
class ZipFrontToBack : public InStream {
public:
    using InStream::InStream;
    // Moves on to the next entry, whose decoded data read() then delivers up
    // to its end (a read of 0), and gives its size: -1 while its descriptor is
    // still to come. False once the entries are over (the central directory
    // is read then) or the data cannot be followed further.
    virtual bool nextEntry(int64_t& size) = 0;
    // Once past the entries: adds them to `archive`, whose stream holds this
    // stream's data, named and checked by the central directory. An entry that
    // decoded is listed under its method and read with the codec `standIn`
    // gives for that method's, whose property bytes are its decoded size
    // (8 bytes, little-endian). Entries the directory lists that the data did
    // not carry are listed as damaged, and the archive is marked so.
    virtual void addEntries(Archive* archive, Codec* (*standIn)(Codec*)) = 0;
};

// Reads `input` (whose count it takes a share of) with `password` for its
// encrypted entries. Null when memory is short.
ZipFrontToBack* openZipFrontToBack(InStream* input, std::shared_ptr<ArchivePassword> password);

}  // namespace zorvex
