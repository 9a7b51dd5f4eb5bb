#include "codecs/xz/xz.h"

#include <new>

#include "codecs/common/sdk_alloc.h"
#include "engine/codec.h"
#include "engine/pipeline.h"

extern "C" {
#include "7zCrc.h"
#include "Sha256.h"
#include "Xz.h"
#include "XzCrc64.h"
}

namespace zorvex {
namespace {

// The SDK's checks compute through tables and function choices made once.
void prepareSdkChecks() {
    static const bool prepared = (CrcGenerateTable(), Crc64GenerateTable(), Sha256Prepare(), true);
    (void)prepared;
}

// Why the SDK's unpacker stopped, as the user is told.
Status unpackerFailure(SRes result) {
    switch (result) {
        case SZ_ERROR_MEM:
            return Status::outOfMemory();
        case SZ_ERROR_CRC:
            return Status::checkFailed("xz check value mismatch");
        case SZ_ERROR_UNSUPPORTED:
            return Status::unsupportedMethod();
        case SZ_ERROR_NO_ARCHIVE:
            return Status::corrupt("xz stream header damaged, or data after the xz streams");
        default:
            return Status::corrupt("xz data damaged");
    }
}

// The streams of xz data decoded in the order they are stored, each block's
// check value, each index and each footer checked as the decoder meets them
// (the SDK's unpacker does all of that, and takes concatenated streams and
// the padding between them). The data ends whole only where a stream and
// its padding ended.
class XzForwardStream final : public DecoderStream {
public:
    XzForwardStream(const CodecRequest& r)
        : DecoderStream(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize, r.unpackedSize) {
        prepareSdkChecks();
        XzUnpacker_Construct(&unpacker_, &kSdkLargeHeap);
        XzUnpacker_Init(&unpacker_);
    }
    ~XzForwardStream() override { XzUnpacker_Free(&unpacker_); }

    void reset() override { XzUnpacker_Init(&unpacker_); }

    int decode(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity, int* produced) override {
        SizeT inLen = static_cast<SizeT>(inLength);
        SizeT outLen = static_cast<SizeT>(outCapacity);
        ECoderStatus status = CODER_STATUS_NOT_SPECIFIED;
        SRes result =
            XzUnpacker_Code(&unpacker_, out, &outLen, in, &inLen, /*srcFinished*/ 0, CODER_FINISH_ANY, &status);
        *consumed = static_cast<int>(inLen);
        *produced = static_cast<int>(outLen);
        if (result != SZ_OK) {
            fail(unpackerFailure(result));
            return kDecodeError;
        }
        if (inLen > 0 || outLen > 0) return kDecodeProgress;
        // Nothing taken and nothing given: the packed data has ended (where
        // it ended inside a stream, the stream reports the data cut short).
        return inLength == 0 && XzUnpacker_IsStreamWasFinished(&unpacker_) ? kDecodeEnd : kDecodeError;
    }

private:
    CXzUnpacker unpacker_;
};

}  // namespace

InStream* makeXzForwardStream(const CodecRequest& r) {
    if (!r.source || r.offset < 0 || r.packedSize < 0) return nullptr;
    return startDecoderStream(new (std::nothrow) XzForwardStream(r));
}

}  // namespace zorvex
