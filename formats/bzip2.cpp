// bzip2: one entry decoded by the "bzip2" codec over the whole file (every
// stream of a multi-stream file); its size is learnt by decoding.
#include "engine/archive.h"
#include "engine/codec.h"
#include "engine/stream.h"
#include "formats/entry_name.h"
#include "formats/single.h"

namespace zorvex {

Archive* openBzip2(const char16_t* name, Archive* container, InStream* stream) {
    Archive* archive = newArchive(name, container, stream);
    if (!archive) return nullptr;
    std::u16string entryName = singleEntryName(
        stream, {{u".bz2", u""}, {u".bz", u""}, {u".tbz2", u".tar"}, {u".tbz", u".tar"}}, u"bz2.out");
    addEntry(archive, findCodec(u"bzip2"), entryName, 0, stream->size(), -1, stream->tag());
    return archive;
}

}  // namespace zorvex
