#include "codecs/crypto/cipher_stream.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "codecs/crypto/secret.h"

namespace zorvex::crypto {

CipherStream::CipherStream(const CodecRequest& request, int64_t offset, int64_t packedSize, int64_t plainSize)
    : InStream(request.name, request.owner, request.tag),
      source_(request.source),
      offset_(offset),
      packedSize_(packedSize),
      plainSize_(std::clamp<int64_t>(plainSize, 0, packedSize)) {
    source_->addRef();
}

CipherStream::~CipherStream() {
    secureZero(piece_, sizeof piece_);
    source_->release();
}

bool CipherStream::seek(int64_t position) {
    if (position < 0 || position > plainSize_) return false;
    position_ = position;
    return true;
}

// Deciphers the piece that starts at `pieceStart` into the buffer.
bool CipherStream::fill(int64_t pieceStart) {
    if (pieceStart != cipherAt_ && !restart(pieceStart)) {
        // A cipher that can only start over deciphers its way there.
        if (pieceStart < cipherAt_) {
            if (!restart(0)) return false;
            cipherAt_ = 0;
        }
        while (cipherAt_ < pieceStart)
            if (!decipherAt(cipherAt_)) return false;
    }
    return decipherAt(pieceStart);
}

bool CipherStream::decipherAt(int64_t pieceStart) {
    int want = static_cast<int>(std::min<int64_t>(kPiece, packedSize_ - pieceStart));
    if (want <= 0 || !source_->seek(offset_ + pieceStart)) return false;
    int got = 0;
    while (got < want) {
        int n = source_->read(piece_ + got, want - got);
        if (n <= 0) break;
        got += n;
    }
    fail(source_->status());
    if (got < want) {
        // Data said to reach as far as its source does (a pipe's, whose end
        // is not known before it comes) ends with it; other data is cut short.
        if (got == 0 || offset_ + packedSize_ != std::numeric_limits<int64_t>::max()) {
            fail(Status::truncated());
            return false;
        }
        packedSize_ = plainSize_ = pieceStart + got;
    }
    // Checks over the packed data see each byte once, in order.
    bool firstPass = pieceStart == nextInOrder_;
    if (firstPass) sawPacked(piece_, size_t(got));
    decipher(piece_, size_t(got));
    pieceStart_ = pieceStart;
    pieceEnd_ = cipherAt_ = pieceStart + got;
    if (firstPass) {
        nextInOrder_ = pieceEnd_;
        if (nextInOrder_ == packedSize_) fail(finish());
    }
    return true;
}

int CipherStream::read(void* buf, int count) {
    if (!buf || count <= 0 || position_ >= plainSize_) return 0;
    if (position_ < pieceStart_ || position_ >= pieceEnd_) {
        int64_t start = position_ / kPiece * kPiece;
        if (!fill(start)) return 0;
    }
    int n = static_cast<int>(std::min<int64_t>({int64_t(count), pieceEnd_ - position_, plainSize_ - position_}));
    std::memcpy(buf, piece_ + (position_ - pieceStart_), size_t(n));
    position_ += n;
    return n;
}

}  // namespace zorvex::crypto
