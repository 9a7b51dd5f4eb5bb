// RAR decoding, shared by the four format versions: the codec properties,
// the sliding window, the unpacker that runs one block decoder member by
// member, and the block decoder interface each version implements.
//
// Properties of every RAR codec (little-endian), written by the archive
// reader:
//   u64  dictionary size (0: the version's default window)
//   u32  member count n, 1 <= n <= kMaxMembers
//   n x  { u64 packed size, u64 unpacked size }
// The packed input is the members' packed data back to back, exactly as
// long as their packed sizes add up to. A solid group lists one member per
// compressed file; any other entry is a single member. The bit input
// restarts at each member's packed data while the window and the decoder's
// tables and models carry on; each member ends at its unpacked size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "codecs/common/bit_reader.h"

namespace zorvex {

class InStream;
struct CodecRequest;

namespace rar {

struct Member {
    uint64_t packedSize = 0;
    uint64_t unpackedSize = 0;
};

constexpr uint32_t kMaxMembers = 1u << 24;
constexpr size_t kPropertiesFixedSize = 12;
constexpr size_t kPropertiesMemberSize = 16;

inline size_t propertiesSize(size_t memberCount) {
    return kPropertiesFixedSize + memberCount * kPropertiesMemberSize;
}
// The properties for these members; empty when there are none or too many.
std::vector<uint8_t> encodeProperties(uint64_t dictionarySize, const std::vector<Member>& members);

// Format versions that select the block decoder.
enum class Version { kRar15 = 15, kRar20 = 20, kRar29 = 29, kRar50 = 50 };

// Smallest window: smaller dictionaries still get this much.
constexpr uint64_t kMinWindow = 0x40000;
// Default window of versions 1.5 to 2.9.
constexpr uint64_t kDefaultWindow = 0x400000;
// Largest window a build accepts: 2 GiB where addresses have 32 bits.
constexpr uint64_t kMaxWindow = sizeof(void*) >= 8 ? uint64_t{1} << 40 : uint64_t{1} << 31;

// The sliding window: one zeroed block, or up to kMaxFragments blocks when
// one block of a big size cannot be had. Positions are absolute byte counts,
// masked by the window size (a power of two).
class Window {
public:
    static constexpr int kMaxFragments = 32;

    Window() = default;
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    ~Window();

    // Makes the window `size` bytes (a power of two, at least kMinWindow)
    // unless it already is at least that big. False when memory cannot be had.
    bool reserve(uint64_t size);

    uint64_t size() const { return size_; }
    uint64_t mask() const { return size_ - 1; }
    // The window as one block, or null when it is fragmented.
    uint8_t* block() const { return fragmentCount_ == 1 ? fragments_[0].data : nullptr; }

    uint8_t& at(uint64_t position) {
        uint64_t p = position & mask();
        if (fragmentCount_ == 1) return fragments_[0].data[p];
        return fragmentAt(p);
    }
    // The bytes from `position` (masked) up to the end of the window or of its
    // fragment, at most `limit` of them; their count goes to `length`.
    uint8_t* run(uint64_t position, uint64_t limit, size_t* length);

private:
    struct Fragment {
        uint8_t* data = nullptr;
        uint64_t end = 0;  // window offset just past this fragment
    };
    uint8_t& fragmentAt(uint64_t offset);
    void release();
    bool allocateFragmented(uint64_t size);

    Fragment fragments_[kMaxFragments];
    int fragmentCount_ = 0;
    uint64_t size_ = 0;
};

// Where decoded bytes go: the codec stream's reader or its pending buffer.
class OutputSink {
public:
    virtual ~OutputSink() = default;
    virtual void output(const uint8_t* data, size_t size) = 0;
};

class Unpacker;

enum class DecodeResult {
    kMore,        // call again (the window needs writing out, or the input refilling)
    kMemberDone,  // the member's data ended (its size reached or its end marker met)
    kError,       // damaged data: the stream ends here
};

// One format version's decoder. It keeps its own tables and models; the
// unpacker owns the window, the bit input and the output path.
class BlockDecoder {
public:
    virtual ~BlockDecoder() = default;
    // A member's packed data starts; the bit input is at its first byte.
    // `first`: the stream's first member (nothing decoded yet); later members
    // of a solid group keep tables and models. False when the data is damaged.
    virtual bool startMember(Unpacker& unpacker, bool first) = 0;
    // Decodes symbols into the window while unpacker.decoded() is below
    // unpacker.decodeLimit(), keeping the input filled with ensureInput().
    virtual DecodeResult decode(Unpacker& unpacker) = 0;
    // Hands what was decoded to the output. Decoders with filters run due
    // filters here; `memberEnd` means every decoded byte must go out now.
    virtual bool writeOut(Unpacker& unpacker, bool memberEnd);
};

// Null when memory is short. The decoders' code tables are left uncleared:
// each is filled whole when read, and clearing them would cost more than a
// small file's decoding.
std::unique_ptr<BlockDecoder> makeRar15Decoder();
std::unique_ptr<BlockDecoder> makeRar20Decoder();
std::unique_ptr<BlockDecoder> makeRar29Decoder();
std::unique_ptr<BlockDecoder> makeRar50Decoder();

enum class StepResult { kMore, kEnd, kError };

class Unpacker {
public:
    // Bytes of unread input that ensureInput() keeps ahead of the bit reader
    // while the member has them; past the member's data the reader sees zeros.
    static constexpr size_t kInputMargin = 256;
    // The most one symbol may add to the window beyond decodeLimit().
    static constexpr uint64_t kMaxSymbolOutput = 0x2000;

    // `source` (not counted: the codec stream holds it) from `dataOffset` on
    // holds the members' packed data.
    Unpacker(Version version, uint64_t windowSize, InStream* source, int64_t dataOffset,
             std::vector<Member> members, OutputSink* sink);
    Unpacker(const Unpacker&) = delete;
    Unpacker& operator=(const Unpacker&) = delete;
    ~Unpacker();

    // Allocates the window and the input buffer, makes the block decoder.
    bool init();
    // Back to the first member with fresh decoder state (seeking backwards).
    bool restart();
    // Decodes and writes out one piece.
    StepResult step();

    // --- for block decoders ---
    Version version() const { return version_; }
    Window& window() { return window_; }
    MsbBitReader& bits() { return bits_; }
    // Keeps kInputMargin bytes ahead of the reader; false on a read error.
    bool ensureInput() { return (inputEnd_ || bits_.bytePosition() + kInputMargin <= inputFill_) || fillInput(); }
    // The member's packed data ran out under the reader.
    bool inputOverrun() const { return inputEnd_ && bits_.overrun(); }
    // Byte offset, in the member's packed data, of the bit reader's byte 0.
    uint64_t inputBase() const { return inputBase_; }
    // Total packed size of the current member.
    uint64_t memberPackedSize() const { return members_[member_].packedSize; }

    // Window positions (absolute): bytes decoded, and bytes handed out.
    uint64_t decoded() const { return decoded_; }
    uint64_t written() const { return written_; }
    // Where decoding stops for this call: the member's end or a full window.
    uint64_t decodeLimit() const { return decodeLimit_; }
    // Window position where the current member's output starts.
    uint64_t memberStart() const { return memberStart_; }
    // Window position where the current member's output ends.
    uint64_t memberEnd() const { return memberStart_ + members_[member_].unpackedSize; }

    void putByte(uint8_t b) { window_.at(decoded_++) = b; }
    // Copies `length` bytes from `distance` back (1 <= distance).
    void copyMatch(uint64_t distance, uint32_t length) {
        uint8_t* w = window_.block();
        uint64_t mask = window_.mask();
        uint64_t from = (decoded_ - distance) & mask;
        uint64_t to = decoded_ & mask;
        // Eight bytes at a time when neither range wraps and they lie at
        // least eight bytes apart.
        uint64_t gap = to >= from ? to - from : from - to;
        if (w && gap >= 8 && from + length <= mask && to + length <= mask) {
            copyForward(w + to, w + from, length);
            decoded_ += length;
            return;
        }
        copyMatchSlow(distance, length);
    }

    // Hands window bytes [written(), upTo) to the output, clipped at the
    // member's end.
    void emitWindow(uint64_t upTo);
    // Hands `size` bytes that stand for window bytes [written(), written() +
    // replaced) to the output (a filter's result), clipped at the member's end.
    void emitReplacement(const uint8_t* data, size_t size, uint64_t replaced);
    // Bytes handed to the output since the current member started.
    uint64_t memberOutput() const { return delivered_ - memberDeliveredStart_; }

private:
    static void copyForward(uint8_t* to, const uint8_t* from, uint32_t length);
    void copyMatchSlow(uint64_t distance, uint32_t length);
    bool fillInput();
    bool startMemberInput();
    bool beginMember(bool first);
    bool finishMember();
    void emit(const uint8_t* data, size_t size);

    Version version_;
    uint64_t windowSize_;
    InStream* source_;
    int64_t dataOffset_;
    std::vector<Member> members_;
    OutputSink* sink_;
    std::unique_ptr<BlockDecoder> decoder_;
    Window window_;

    MsbBitReader bits_;
    std::unique_ptr<uint8_t[]> input_;
    size_t inputFill_ = 0;
    uint64_t inputBase_ = 0;
    uint64_t inputRead_ = 0;  // bytes of the member's packed data read so far
    bool inputEnd_ = false;
    int64_t memberOffset_ = 0;  // the member's packed data in the source

    size_t member_ = 0;
    bool memberOpen_ = false;
    uint64_t memberStart_ = 0;
    uint64_t decoded_ = 0;
    uint64_t written_ = 0;
    uint64_t decodeLimit_ = 0;
    uint64_t delivered_ = 0;
    uint64_t memberDeliveredStart_ = 0;
};

}  // namespace rar

// Codec stream factories, registered as "rar15", "rar20", "rar29", "rar50".
InStream* makeRar15Stream(const CodecRequest& request);
InStream* makeRar20Stream(const CodecRequest& request);
InStream* makeRar29Stream(const CodecRequest& request);
InStream* makeRar50Stream(const CodecRequest& request);

}  // namespace zorvex
