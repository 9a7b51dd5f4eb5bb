// The RAR 2.0 block decoder.
#include "codecs/rar/unpacker.h"

namespace zorvex::rar {
namespace {

// Not decoded yet: every member is reported damaged.
class Rar20Decoder final : public BlockDecoder {
public:
    bool startMember(Unpacker&, bool) override { return false; }
    DecodeResult decode(Unpacker&) override { return DecodeResult::Error; }
};

}  // namespace

std::unique_ptr<BlockDecoder> makeRar20Decoder() { return std::make_unique<Rar20Decoder>(); }

}  // namespace zorvex::rar
