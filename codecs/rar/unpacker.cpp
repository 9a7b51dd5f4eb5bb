#include "codecs/rar/unpacker.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "engine/stream.h"

namespace zorvex::rar {
namespace {

// Input is read in pieces of this size; the buffer holds one piece plus the
// unread tail of the last one and the reader's zeroed padding.
constexpr size_t kInputPiece = 0x10000;
constexpr size_t kInputPadding = 64;
constexpr size_t kInputCapacity = kInputPiece + Unpacker::kInputMargin + kInputPadding;
static_assert(kInputPadding >= MsbBitReader::kPadding);

// Output of one step is bounded so that the codec stream's pending buffer
// stays small whatever the window size.
constexpr uint64_t kStepOutput = 0x40000;

// A fragmented window's pieces are never smaller than this.
constexpr uint64_t kMinFragment = 0x400000;
// One block is tried first; only windows this big may be split.
constexpr uint64_t kMinFragmentedWindow = 0x1000000;

void putLe64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

std::vector<uint8_t> encodeProperties(uint64_t dictionarySize, const std::vector<Member>& members) {
    if (members.empty() || members.size() > kMaxMembers) return {};
    std::vector<uint8_t> properties(propertiesSize(members.size()));
    putLe64(properties.data(), dictionarySize);
    uint32_t count = static_cast<uint32_t>(members.size());
    for (int i = 0; i < 4; ++i) properties[8 + i] = static_cast<uint8_t>(count >> (8 * i));
    uint8_t* p = properties.data() + kPropertiesFixedSize;
    for (const Member& m : members) {
        putLe64(p, m.packedSize);
        putLe64(p + 8, m.unpackedSize);
        p += kPropertiesMemberSize;
    }
    return properties;
}

// --- Window ---

Window::~Window() { release(); }

void Window::release() {
    for (int i = 0; i < fragmentCount_; ++i) std::free(fragments_[i].data);
    fragmentCount_ = 0;
    size_ = 0;
}

bool Window::reserve(uint64_t size) {
    if (size < kMinWindow) size = kMinWindow;
    if (size > kMaxWindow || (size & (size - 1)) != 0) return false;
    if (size_ >= size) return true;
    release();
    if (void* block = std::calloc(1, static_cast<size_t>(size))) {
        fragments_[0] = {static_cast<uint8_t*>(block), size};
        fragmentCount_ = 1;
        size_ = size;
        return true;
    }
    return size >= kMinFragmentedWindow && allocateFragmented(size);
}

bool Window::allocateFragmented(uint64_t size) {
    uint64_t covered = 0;
    while (covered < size) {
        if (fragmentCount_ == kMaxFragments) break;
        uint64_t remaining = size - covered;
        uint64_t floor = std::max(kMinFragment, remaining / static_cast<uint64_t>(kMaxFragments - fragmentCount_));
        floor = std::min(floor, remaining);
        uint64_t n = remaining;
        void* data = nullptr;
        while (n >= floor && !(data = std::calloc(1, static_cast<size_t>(n)))) n -= std::max<uint64_t>(n / 32, 1);
        if (!data) break;
        covered += n;
        fragments_[fragmentCount_++] = {static_cast<uint8_t*>(data), covered};
    }
    if (covered < size) {
        release();
        return false;
    }
    size_ = size;
    return true;
}

uint8_t& Window::fragmentAt(uint64_t offset) {
    int i = 0;
    while (fragments_[i].end <= offset) ++i;
    uint64_t start = i == 0 ? 0 : fragments_[i - 1].end;
    return fragments_[i].data[offset - start];
}

uint8_t* Window::run(uint64_t position, uint64_t limit, size_t* length) {
    uint64_t offset = position & mask();
    int i = 0;
    while (fragments_[i].end <= offset) ++i;
    uint64_t start = i == 0 ? 0 : fragments_[i - 1].end;
    *length = static_cast<size_t>(std::min(limit, fragments_[i].end - offset));
    return fragments_[i].data + (offset - start);
}

// --- Block decoder ---

bool BlockDecoder::writeOut(Unpacker& unpacker, bool) {
    unpacker.emitWindow(unpacker.decoded());
    return true;
}

// --- Unpacker ---

Unpacker::Unpacker(Version version, uint64_t windowSize, InStream* source, int64_t dataOffset,
                   std::vector<Member> members, OutputSink* sink)
    : version_(version),
      windowSize_(windowSize),
      source_(source),
      dataOffset_(dataOffset),
      members_(std::move(members)),
      sink_(sink) {}

Unpacker::~Unpacker() = default;

namespace {

std::unique_ptr<BlockDecoder> makeDecoder(Version version) {
    switch (version) {
        case Version::kRar15: return makeRar15Decoder();
        case Version::kRar20: return makeRar20Decoder();
        case Version::kRar29: return makeRar29Decoder();
        case Version::kRar50: return makeRar50Decoder();
    }
    return nullptr;
}

}  // namespace

bool Unpacker::init() {
    if (members_.empty() || !window_.reserve(windowSize_)) return false;
    input_.reset(new (std::nothrow) uint8_t[kInputCapacity]);
    decoder_ = makeDecoder(version_);
    return input_ && decoder_;
}

bool Unpacker::restart() {
    decoder_ = makeDecoder(version_);
    member_ = 0;
    memberOpen_ = false;
    memberStart_ = decoded_ = written_ = decodeLimit_ = 0;
    delivered_ = memberDeliveredStart_ = 0;
    return decoder_ != nullptr;
}

bool Unpacker::startMemberInput() {
    memberOffset_ = dataOffset_;
    for (size_t i = 0; i < member_; ++i) memberOffset_ += static_cast<int64_t>(members_[i].packedSize);
    inputFill_ = 0;
    inputBase_ = 0;
    inputRead_ = 0;
    inputEnd_ = false;
    bits_.reset(input_.get(), 0);
    return fillInput();
}

bool Unpacker::fillInput() {
    size_t consumed = std::min(bits_.bytePosition(), inputFill_);
    size_t tail = inputFill_ - consumed;
    std::memmove(input_.get(), input_.get() + consumed, tail);
    uint64_t bitOffset = bits_.bitPosition() - uint64_t{consumed} * 8;
    inputBase_ += consumed;
    inputFill_ = tail;
    uint64_t left = members_[member_].packedSize - inputRead_;
    size_t want = static_cast<size_t>(std::min<uint64_t>(left, kInputCapacity - kInputPadding - tail));
    if (want > 0) {
        if (!source_->seek(memberOffset_ + static_cast<int64_t>(inputRead_))) return false;
        int got = source_->read(input_.get() + tail, static_cast<int>(want));
        if (got <= 0) return false;
        inputRead_ += static_cast<uint64_t>(got);
        inputFill_ += static_cast<size_t>(got);
    }
    inputEnd_ = inputRead_ == members_[member_].packedSize;
    // The bit reader reads no further than its padding past the filled bytes.
    std::memset(input_.get() + inputFill_, 0, kInputPadding);
    bits_.rebase(input_.get(), inputFill_, bitOffset);
    return true;
}

bool Unpacker::beginMember(bool first) {
    memberStart_ = decoded_;
    memberDeliveredStart_ = delivered_;
    memberOpen_ = true;
    return startMemberInput() && decoder_->startMember(*this, first);
}

bool Unpacker::finishMember() {
    if (!decoder_->writeOut(*this, true) || written_ < memberEnd()) return false;
    // Bytes decoded past the member's size stay in the window but are not output.
    written_ = decoded_;
    memberOpen_ = false;
    ++member_;
    return true;
}

StepResult Unpacker::step() {
    if (!memberOpen_) {
        if (member_ >= members_.size()) return StepResult::kEnd;
        if (!beginMember(member_ == 0)) return StepResult::kError;
    }
    uint64_t windowRoom = window_.size() - kMaxSymbolOutput;
    decodeLimit_ = std::min({memberEnd(), written_ + windowRoom, decoded_ + kStepOutput});
    uint64_t decodedBefore = decoded_, writtenBefore = written_;
    uint64_t inputBefore = inputBase_ * 8 + bits_.bitPosition();
    DecodeResult result = decoder_->decode(*this);
    if (result == DecodeResult::kError) return StepResult::kError;
    if (result == DecodeResult::kMemberDone) return finishMember() ? StepResult::kMore : StepResult::kError;
    if (!decoder_->writeOut(*this, false)) return StepResult::kError;
    // A decoder that neither read, decoded nor wrote anything would be called
    // again for ever.
    bool moved = decoded_ != decodedBefore || written_ != writtenBefore ||
                 inputBase_ * 8 + bits_.bitPosition() != inputBefore;
    return moved ? StepResult::kMore : StepResult::kError;
}

void Unpacker::copyForward(uint8_t* to, const uint8_t* from, uint32_t length) {
    while (length >= 8) {
        std::memcpy(to, from, 8);
        to += 8;
        from += 8;
        length -= 8;
    }
    while (length-- > 0) *to++ = *from++;
}

void Unpacker::copyMatchSlow(uint64_t distance, uint32_t length) {
    uint64_t from = decoded_ - distance;
    for (uint32_t i = 0; i < length; ++i) window_.at(decoded_ + i) = window_.at(from + i);
    decoded_ += length;
}

void Unpacker::emit(const uint8_t* data, size_t size) {
    if (size == 0) return;
    sink_->output(data, size);
    delivered_ += size;
}

void Unpacker::emitWindow(uint64_t upTo) {
    upTo = std::min(upTo, memberEnd());
    while (written_ < upTo) {
        size_t length = 0;
        uint8_t* p = window_.run(written_, upTo - written_, &length);
        emit(p, length);
        written_ += length;
    }
}

void Unpacker::emitReplacement(const uint8_t* data, size_t size, uint64_t replaced) {
    uint64_t room = memberEnd() > written_ ? memberEnd() - written_ : 0;
    emit(data, static_cast<size_t>(std::min<uint64_t>(size, room)));
    written_ += replaced;
}

}  // namespace zorvex::rar
