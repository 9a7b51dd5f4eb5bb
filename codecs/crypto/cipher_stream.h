// The base of decrypting streams: reads a window of packed data in pieces,
// deciphers each in place and serves the plain bytes, with seeking.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/codec.h"
#include "engine/stream.h"

namespace zorvex::crypto {

class CipherStream : public InStream {
public:
    // Deciphers [offset, offset + packedSize) of the request's source; the
    // first `plainSize` deciphered bytes are the stream (the rest padding).
    CipherStream(const CodecRequest& request, int64_t offset, int64_t packedSize, int64_t plainSize);
    ~CipherStream() override;

    int64_t tell() override { return position_; }
    bool seek(int64_t position) override;
    int read(void* buf, int count) override;
    int64_t size() override { return plainSize_; }

protected:
    static constexpr int kPiece = 1 << 16;

    // Makes the cipher's next bytes those at `position`, a multiple of 16.
    // False when it can only start over at 0 (the base then deciphers up to
    // the position and drops the bytes).
    virtual bool restart(int64_t position) = 0;
    // Deciphers `size` bytes in place; `data` is 16-byte aligned and `size`
    // a multiple of 16 unless the piece ends the packed data.
    virtual void decipher(uint8_t* data, size_t size) = 0;
    // Once every packed byte was deciphered in order from the start: the
    // last check there is (zip AES's authentication code).
    virtual Status finish() { return Status(); }
    // Packed bytes of the piece about to be deciphered (zip AES hashes them).
    virtual void sawPacked(const uint8_t* /*data*/, size_t /*size*/) {}

    InStream* source() const { return source_; }
    int64_t packedStart() const { return offset_; }
    int64_t packedEnd() const { return offset_ + packedSize_; }

private:
    bool fill(int64_t pieceStart);
    bool decipherAt(int64_t pieceStart);

    InStream* source_;
    int64_t offset_, packedSize_, plainSize_;
    int64_t position_ = 0;
    int64_t pieceStart_ = 0, pieceEnd_ = 0;  // packed positions the buffer holds, deciphered
    int64_t cipherAt_ = 0;                   // where the cipher's next byte lies
    int64_t nextInOrder_ = 0;                // end of what was deciphered in order from 0
    alignas(16) uint8_t piece_[kPiece];
};

}  // namespace zorvex::crypto
