// Fuzzes the RAR 2.9 decoder. The first four bytes give the unpacked sizes of
// two members of a solid group (up to 1 MiB each, 0 for a single member) and
// the split of the rest into their packed data. The stream is read to its
// end, then once more after a seek back into it.
#include <cstdint>
#include <vector>

#include "codecs/rar/unpacker.h"
#include "engine/codec.h"
#include "engine/stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    uint64_t firstSize = (uint64_t{data[0]} << 12 | uint64_t{data[1]} << 4) + 1;
    uint64_t secondSize = uint64_t{data[2]} << 12;
    std::vector<uint8_t> packed(data + 4, data + size);
    std::vector<zorvex::rar::Member> members;
    if (secondSize == 0 || packed.size() < 2) {
        members.push_back({packed.size(), firstSize});
    } else {
        uint64_t split = packed.size() * data[3] / 256;
        members.push_back({split, firstSize});
        members.push_back({packed.size() - split, secondSize});
    }
    std::vector<uint8_t> properties = zorvex::rar::encodeProperties(0, members);
    zorvex::InStream* source = zorvex::MemoryStream::create(nullptr, nullptr, 0, packed.data(), packed.size());
    if (!source) return 0;
    zorvex::CodecRequest request;
    request.name = u"fuzz";
    request.source = source;
    request.packedSize = static_cast<int64_t>(packed.size());
    request.properties = properties;
    zorvex::InStream* stream = zorvex::makeRar29Stream(request);
    source->release();
    if (!stream) return 0;
    static uint8_t buf[65536];
    int64_t total = 0;
    for (int n; (n = stream->read(buf, sizeof buf)) > 0;) total += n;
    if (total > 1 && stream->seek(total / 2)) stream->read(buf, sizeof buf);
    stream->release();
    return 0;
}
