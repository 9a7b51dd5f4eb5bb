// The RAR 2.9 block decoder.
#include "codecs/rar/unpacker.h"

namespace zorvex::rar {
namespace {

// Not decoded yet: every member is reported damaged.
class Rar29Decoder final : public BlockDecoder {
public:
    bool startMember(Unpacker&, bool) override { return false; }
    DecodeResult decode(Unpacker&) override { return DecodeResult::Error; }
};

}  // namespace

std::unique_ptr<BlockDecoder> makeRar29Decoder() { return std::make_unique<Rar29Decoder>(); }

}  // namespace zorvex::rar
