// The RAR 1.5 block decoder.
#include "codecs/rar/unpacker.h"

namespace zorvex::rar {
namespace {

// Not decoded yet: every member is reported damaged.
class Rar15Decoder final : public BlockDecoder {
public:
    bool startMember(Unpacker&, bool) override { return false; }
    DecodeResult decode(Unpacker&) override { return DecodeResult::Error; }
};

}  // namespace

std::unique_ptr<BlockDecoder> makeRar15Decoder() { return std::make_unique<Rar15Decoder>(); }

}  // namespace zorvex::rar
