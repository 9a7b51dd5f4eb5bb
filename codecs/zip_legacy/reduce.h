// Reduce (zip methods 2 to 5, compression factors 1 to 4). The data starts
// with a follower set for each byte value (the bytes likely to come next),
// from 255 down to 0. Each byte is then either a bit 1 and the byte itself,
// or a bit 0 and an index into the follower set of the byte before (a byte
// with an empty set is always given whole). The bytes so read are a stream
// in which 144 escapes a back-reference: 144 0 is a literal 144; 144 V
// starts one whose length and distance are shared between V and the next
// one or two bytes, as the factor says.
#pragma once

#include <cstdint>

#include "codecs/zip_legacy/legacy_decoder.h"

namespace zorvex {

class ReduceDecoder final : public LegacyDecoder {
public:
    // `factor` is 1 to 4 (method number - 1).
    ReduceDecoder(int64_t size, int factor);

private:
    static constexpr int kMaxFollowers = 32;

    enum State {
        kSetSize,    // the 6-bit size of follower set setIndex_
        kFollower,   // follower followerIndex_ of set setIndex_
        kByte,       // the next byte of the escaped stream
        kCopy,       // delivering copyLeft_ bytes from copyDistance_ back
    };
    // Where the escaped stream stands.
    enum Escape {
        kPlain,     // bytes are literals
        kEscaped,   // after 144: 0 or the first byte of a back-reference
        kLength,    // the byte that extends a long length
        kDistance,  // the byte with the low bits of the distance
    };

    void restart() override;
    void run() override;
    bool readSetSize();
    bool readFollower();
    // False when the input ran dry; the byte goes to takeByte().
    bool readByte();
    void takeByte(uint8_t byte);

    const int factor_;
    State state_ = kSetSize;
    Escape escape_ = kPlain;
    int setIndex_ = 255;
    int followerIndex_ = 0;
    uint8_t lastByte_ = 0;
    int escapeValue_ = 0;  // the byte after 144
    int copyLength_ = 0;
    int copyLeft_ = 0;
    uint32_t copyDistance_ = 0;

    uint8_t setSize_[256];
    uint8_t followers_[256][kMaxFollowers];
};

}  // namespace zorvex
