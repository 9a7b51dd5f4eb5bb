// The version 20/26 block decoder: LZ with Huffman tables, or a multimedia
// mode that predicts each byte of up to four interleaved channels from the
// channel's history and codes only the prediction error.
//
// Members of a solid group keep tables, distances and predictors; each starts
// its bit input afresh and ends at its unpacked size, after which new tables
// for the next member may follow in its data.
#include <cstdlib>
#include <cstring>
#include <new>

#include "codecs/common/huffman.h"
#include "codecs/rar/lz_common.h"
#include "codecs/rar/unpacker.h"

namespace zorvex::rar {
namespace {

constexpr int kMainSymbols = 298;
constexpr int kDistanceSymbols = 48;
constexpr int kRepeatSymbols = 28;
constexpr int kLzTableSize = kMainSymbols + kDistanceSymbols + kRepeatSymbols;  // 374
constexpr int kAudioSymbols = 257;
constexpr int kMaxChannels = 4;
constexpr int kPreCodeSymbols = 19;

constexpr int kNewTablesLz = 269;
constexpr int kNewTablesAudio = 256;

template <int kSymbols, int kPrimaryBits>
using Code = HuffmanTable<BitOrder::kMsbFirst, kSymbols, kPrimaryBits>;

struct AudioChannel {
    int k1, k2, k3, k4, k5;
    int d1, d2, d3, d4;
    int lastDelta;
    int lastByte;
    unsigned byteCount;
    int errors[11];

    uint8_t decode(int delta, int& channelDelta);
};

// Prediction of one channel's next byte from its last bytes and deltas; the
// weights adapt every 32 bytes towards the predictor whose error sum was
// smallest.
uint8_t AudioChannel::decode(int delta, int& channelDelta) {
    ++byteCount;
    d4 = d3;
    d3 = d2;
    d2 = lastDelta - d1;
    d1 = lastDelta;
    int predicted = 8 * lastByte + k1 * d1 + k2 * d2 + k3 * d3 + k4 * d4 + k5 * channelDelta;
    predicted = (predicted >> 3) & 0xFF;
    int out = (predicted - delta) & 0xFF;

    int d = static_cast<int8_t>(delta) * 8;
    errors[0] += std::abs(d);
    errors[1] += std::abs(d - d1);
    errors[2] += std::abs(d + d1);
    errors[3] += std::abs(d - d2);
    errors[4] += std::abs(d + d2);
    errors[5] += std::abs(d - d3);
    errors[6] += std::abs(d + d3);
    errors[7] += std::abs(d - d4);
    errors[8] += std::abs(d + d4);
    errors[9] += std::abs(d - channelDelta);
    errors[10] += std::abs(d + channelDelta);

    lastDelta = static_cast<int8_t>(out - lastByte);
    channelDelta = lastDelta;
    lastByte = out;

    if ((byteCount & 0x1F) == 0) {
        int best = 0;
        for (int i = 1; i < 11; ++i)
            if (errors[i] < errors[best]) best = i;
        int* weights[5] = {&k1, &k2, &k3, &k4, &k5};
        if (best > 0) {
            int& k = *weights[(best - 1) / 2];
            if (best % 2 == 1) {
                if (k >= -16) --k;
            } else if (k < 16) {
                ++k;
            }
        }
        std::memset(errors, 0, sizeof errors);
    }
    return static_cast<uint8_t>(out);
}

class Rar20Decoder final : public BlockDecoder {
public:
    bool startMember(Unpacker& unpacker, bool first) override;
    DecodeResult decode(Unpacker& unpacker) override;

private:
    void resetModel();
    bool readTables();
    bool lzSymbol();
    bool audioSymbol();
    bool copyMatch(uint32_t distance, int length);
    DecodeResult finishMember();

    Unpacker* unpacker_ = nullptr;
    MsbBitReader* bits_ = nullptr;

    bool tablesRead_ = false;
    bool audioMode_ = false;
    int channels_ = 1;
    int channel_ = 0;
    int channelDelta_ = 0;
    AudioChannel audio_[kMaxChannels];
    uint8_t oldLengths_[kAudioSymbols * kMaxChannels];
    MatchHistory history_;

    Code<kPreCodeSymbols, 7> preCode_;
    Code<kMainSymbols, 10> mainCode_;
    Code<kDistanceSymbols, 8> distanceCode_;
    Code<kRepeatSymbols, 7> repeatCode_;
    Code<kAudioSymbols, 9> audioCodes_[kMaxChannels];
};

void Rar20Decoder::resetModel() {
    tablesRead_ = false;
    audioMode_ = false;
    channels_ = 1;
    channel_ = 0;
    channelDelta_ = 0;
    std::memset(audio_, 0, sizeof audio_);
    std::memset(oldLengths_, 0, sizeof oldLengths_);
    history_ = {};
}

bool Rar20Decoder::startMember(Unpacker& unpacker, bool first) {
    unpacker_ = &unpacker;
    bits_ = &unpacker.bits();
    if (first) resetModel();
    return true;
}

DecodeResult Rar20Decoder::decode(Unpacker& unpacker) {
    if (unpacker.decoded() >= unpacker.memberEnd()) return DecodeResult::kMemberDone;
    if (!tablesRead_ && !readTables()) return DecodeResult::kError;
    while (unpacker.decoded() < unpacker.decodeLimit()) {
        if (!unpacker.ensureInput()) return DecodeResult::kError;
        bool ok = audioMode_ ? audioSymbol() : lzSymbol();
        if (!ok || unpacker.inputOverrun()) return DecodeResult::kError;
    }
    return unpacker.decoded() >= unpacker.memberEnd() ? finishMember() : DecodeResult::kMore;
}

// The data has no end marker; a table header may follow the member's last
// symbol for the member after it.
DecodeResult Rar20Decoder::finishMember() {
    Unpacker& u = *unpacker_;
    uint64_t consumed = u.inputBase() + bits_->bytePosition();
    if (consumed + 5 > u.memberPackedSize()) return DecodeResult::kMemberDone;
    int symbol = audioMode_ ? audioCodes_[channel_].decode(*bits_) : mainCode_.decode(*bits_);
    if (symbol == (audioMode_ ? kNewTablesAudio : kNewTablesLz) && !readTables()) tablesRead_ = false;
    return DecodeResult::kMemberDone;
}

// A table header: the mode bits, the pre-code and the code lengths, each
// coded as a change of the previous table's length at that place.
bool Rar20Decoder::readTables() {
    tablesRead_ = false;
    if (!unpacker_->ensureInput()) return false;
    uint32_t header = bits_->read(2);
    audioMode_ = (header & 2) != 0;
    if ((header & 1) == 0) std::memset(oldLengths_, 0, sizeof oldLengths_);
    int tableSize = kLzTableSize;
    if (audioMode_) {
        channels_ = static_cast<int>(bits_->read(2)) + 1;
        // A table for fewer channels must not leave the current one beyond them.
        if (channel_ >= channels_) channel_ = 0;
        tableSize = kAudioSymbols * channels_;
    }
    uint8_t preLengths[kPreCodeSymbols];
    for (uint8_t& length : preLengths) length = static_cast<uint8_t>(bits_->read(4));
    if (!preCode_.build(preLengths, kPreCodeSymbols, Incomplete::kAccept)) return false;

    uint8_t lengths[kAudioSymbols * kMaxChannels];
    for (int i = 0; i < tableSize;) {
        if (!unpacker_->ensureInput()) return false;
        int symbol = preCode_.decode(*bits_);
        if (symbol < 0) return false;
        if (symbol < 16) {
            lengths[i] = static_cast<uint8_t>((oldLengths_[i] + symbol) & 15);
            ++i;
            continue;
        }
        int count;
        uint8_t value = 0;
        if (symbol == 16) {
            if (i == 0) return false;
            count = 3 + static_cast<int>(bits_->read(2));
            value = lengths[i - 1];
        } else if (symbol == 17) {
            count = 3 + static_cast<int>(bits_->read(3));
        } else {
            count = 11 + static_cast<int>(bits_->read(7));
        }
        // Repeats stop at the table's end.
        for (; count > 0 && i < tableSize; --count) lengths[i++] = value;
    }
    if (unpacker_->inputOverrun()) return false;
    std::memcpy(oldLengths_, lengths, tableSize);

    if (audioMode_) {
        for (int c = 0; c < channels_; ++c)
            if (!audioCodes_[c].build(lengths + c * kAudioSymbols, kAudioSymbols, Incomplete::kAccept)) return false;
    } else if (!mainCode_.build(lengths, kMainSymbols, Incomplete::kAccept) ||
               !distanceCode_.build(lengths + kMainSymbols, kDistanceSymbols, Incomplete::kAccept) ||
               !repeatCode_.build(lengths + kMainSymbols + kDistanceSymbols, kRepeatSymbols, Incomplete::kAccept)) {
        return false;
    }
    tablesRead_ = true;
    return true;
}

// Every match, repeats included, enters the distance ring.
bool Rar20Decoder::copyMatch(uint32_t distance, int length) {
    history_.push(distance);
    history_.lastDistance = distance;
    history_.lastLength = length;
    if (length == 0) return true;
    Unpacker& u = *unpacker_;
    if (distance == 0 || static_cast<uint64_t>(length) > u.memberEnd() - u.decoded()) return false;
    u.copyMatch(distance, static_cast<uint32_t>(length));
    return true;
}

bool Rar20Decoder::lzSymbol() {
    int symbol = mainCode_.decode(*bits_);
    if (symbol < 0) return false;
    if (symbol < 256) {
        unpacker_->putByte(static_cast<uint8_t>(symbol));
        return true;
    }
    if (symbol == 256) return copyMatch(history_.lastDistance, history_.lastLength);
    if (symbol < 261) {
        uint32_t distance = history_.back(symbol - 256);
        int slot = repeatCode_.decode(*bits_);
        if (slot < 0) return false;
        int length = kLengthBase[slot] + 2 + static_cast<int>(readExtra(*bits_, kLengthBits[slot]));
        if (distance >= 0x101) {
            ++length;
            if (distance >= 0x2000) {
                ++length;
                if (distance >= 0x40000) ++length;
            }
        }
        return copyMatch(distance, length);
    }
    if (symbol < kNewTablesLz) {
        int i = symbol - 261;
        return copyMatch(kShortBase[i] + 1 + bits_->read(kShortBits[i]), 2);
    }
    if (symbol == kNewTablesLz) return readTables();
    int slot = symbol - 270;
    int length = kLengthBase[slot] + 3 + static_cast<int>(readExtra(*bits_, kLengthBits[slot]));
    int distanceSlot = distanceCode_.decode(*bits_);
    if (distanceSlot < 0) return false;
    uint32_t distance = kDistances.base[distanceSlot] + 1 +
                        readExtra(*bits_, kDistances.bits[distanceSlot]);
    if (distance >= 0x2000) {
        ++length;
        if (distance >= 0x40000) ++length;
    }
    return copyMatch(distance, length);
}

bool Rar20Decoder::audioSymbol() {
    int symbol = audioCodes_[channel_].decode(*bits_);
    if (symbol < 0) return false;
    if (symbol == kNewTablesAudio) return readTables();
    unpacker_->putByte(audio_[channel_].decode(symbol, channelDelta_));
    if (++channel_ == channels_) channel_ = 0;
    return true;
}

}  // namespace

std::unique_ptr<BlockDecoder> makeRar20Decoder() {
    return std::unique_ptr<BlockDecoder>(new (std::nothrow) Rar20Decoder);
}

}  // namespace zorvex::rar
