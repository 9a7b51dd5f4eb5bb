#include "engine/stream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "engine/copy_bytes.h"

namespace zorvex {

// ---- InStream -------------------------------------------------------------

InStream::InStream(const char16_t* name, Archive* owner, int64_t tag) : RefObject(name, owner), tag_(tag) {}

int InStream::readLine(char* buf, int capacity) {
    if (!buf) return 0;
    if (capacity < 2) {
        if (capacity == 1) buf[0] = 0;
        return 0;
    }
    int stored = 0;
    while (stored < capacity - 1) {
        char c;
        if (read(&c, 1) != 1) break;
        if (c == '\n') {
            if (stored > 0 && buf[stored - 1] == '\r') --stored;
            buf[stored] = 0;
            return stored + 1;
        }
        buf[stored++] = c;
    }
    buf[stored] = 0;
    return stored;
}

bool InStream::rewind() { return seek(0); }

bool InStream::skip(int64_t count) {
    int64_t here = tell();
    if (here < 0 || count > std::numeric_limits<int64_t>::max() - here) return false;
    return seek(here + count);
}

int64_t InStream::tag() { return tag_; }

// InStream::openSibling asks the owning archive and is defined with it
// (engine/archive.cpp).

InStream* InStream::openSiblingInMemory(const char16_t* name) {
    Ref<InStream> sibling(openSibling(name));
    if (!sibling) return nullptr;
    int64_t size = sibling->size();
    if (size < 0 || static_cast<uint64_t>(size) > std::numeric_limits<size_t>::max() / 2) return nullptr;
    uint8_t* data = static_cast<uint8_t*>(std::malloc(size > 0 ? static_cast<size_t>(size) : 1));
    if (!data) return nullptr;
    // A sibling that delivers less than its size is not copied: a truncated
    // copy would pass for the whole file.
    if (size > 0 && !sibling->seek(0)) {
        std::free(data);
        return nullptr;
    }
    constexpr int64_t kPiece = 0x100000;
    for (int64_t done = 0; done < size;) {
        int want = static_cast<int>(std::min(kPiece, size - done));
        int got = sibling->read(data + done, want);
        if (got <= 0) {
            std::free(data);
            return nullptr;
        }
        done += got;
    }
    return MemoryStream::adopt(sibling->name(), ownerNoRef(), sibling->tag(), data, static_cast<size_t>(size));
}

bool skipBytes(InStream* stream, int64_t count) {
    uint8_t scratch[1024];
    while (count > 0) {
        int want = static_cast<int>(std::min<int64_t>(count, sizeof scratch));
        int got = stream->read(scratch, want);
        if (got <= 0) return false;
        count -= got;
    }
    return true;
}

bool readExact(InStream* stream, void* buf, int count) {
    uint8_t* out = static_cast<uint8_t*>(buf);
    int done = 0;
    while (done < count) {
        int got = stream->read(out + done, count - done);
        if (got <= 0) return false;
        done += got;
    }
    return true;
}

// ---- MemoryStream ---------------------------------------------------------

void MemoryStream::FreeDeleter::operator()(uint8_t* p) const { std::free(p); }

MemoryStream::MemoryStream(const char16_t* name, Archive* owner, int64_t tag) : InStream(name, owner, tag) {}

MemoryStream::MemoryStream(const char16_t* name, Archive* owner, int64_t tag, const void* data, size_t size)
    : InStream(name, owner, tag) {
    uint8_t* copy = static_cast<uint8_t*>(std::malloc(size > 0 ? size : 1));
    if (!copy) return;  // stays empty; create() reports this as failure
    if (size > 0) std::memcpy(copy, data, size);
    data_.reset(copy);
    size_ = static_cast<int64_t>(size);
}

MemoryStream* MemoryStream::create(const char16_t* name, Archive* owner, int64_t tag, const void* data,
                                   size_t size) {
    auto* stream = new (std::nothrow) MemoryStream(name, owner, tag, data, size);
    if (stream && !stream->data_) {
        stream->release();
        return nullptr;
    }
    return stream;
}

MemoryStream* MemoryStream::adopt(const char16_t* name, Archive* owner, int64_t tag, uint8_t* data,
                                  size_t size) {
    auto* stream = new (std::nothrow) MemoryStream(name, owner, tag);
    if (!stream) {
        std::free(data);
        return nullptr;
    }
    stream->data_.reset(data);
    stream->size_ = static_cast<int64_t>(size);
    return stream;
}

int64_t MemoryStream::tell() { return position_; }

bool MemoryStream::seek(int64_t position) {
    if (position < 0 || position > size_) return false;
    position_ = position;
    return true;
}

int MemoryStream::read(void* buf, int count) {
    if (!buf || count <= 0 || position_ >= size_) return 0;
    int n = static_cast<int>(std::min<int64_t>(count, size_ - position_));
    std::memcpy(buf, data_.get() + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
}

int64_t MemoryStream::size() { return size_; }

// ---- StoreStream ----------------------------------------------------------

StoreStream::StoreStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                         int64_t size)
    : InStream(name, owner, tag), source_(source), offset_(offset), size_(size) {
    if (source_) source_->addRef();
}

StoreStream::~StoreStream() {
    if (source_) source_->release();
}

int64_t StoreStream::tell() { return source_ ? position_ : -1; }

bool StoreStream::seek(int64_t position) {
    if (position < 0 || (size_ >= 0 && position >= size_)) return false;
    if (size_ < 0 && (!source_ || !source_->seek(offset_ + position))) return false;
    position_ = position;
    return true;
}

int StoreStream::read(void* buf, int count) {
    if (!source_ || !buf || count <= 0 || (size_ >= 0 && size_ - position_ <= 0)) return 0;
    int n = size_ < 0 ? count : static_cast<int>(std::min<int64_t>(count, size_ - position_));
    if (!source_->seek(offset_ + position_)) {
        // A source that ends here is the data's end; one that failed getting
        // here (a decoder that stopped at damage) is not.
        fail(source_->status());
        return 0;
    }
    int got = source_->read(buf, n);
    fail(source_->status());
    if (got > 0) position_ += got;
    return std::max(got, 0);
}

// A size learnt from the source is where it ended: damage, when that is why.
int64_t StoreStream::size() {
    if (size_ >= 0 || !source_) return size_;
    int64_t whole = source_->size();
    fail(source_->status());
    return whole < offset_ ? -1 : whole - offset_;
}

int64_t StoreStream::knownSize() {
    if (size_ >= 0 || !source_) return size_;
    int64_t whole = source_->knownSize();
    fail(source_->status());
    return whole < offset_ ? -1 : whole - offset_;
}

void StoreStream::keepApart(int64_t offset, int64_t size) {
    if (source_ && offset >= 0 && size >= 0 && (size_ < 0 || size <= size_ - offset))
        source_->keepApart(offset_ + offset, size);
}

bool StoreStream::linkRange(int64_t offset, int64_t size, const std::u16string& path) {
    if (!source_ || offset < 0 || size < 0 || (size_ >= 0 && size > size_ - offset)) return false;
    return source_->linkRange(offset_ + offset, size, path);
}

bool StoreStream::copyRangeTo(int64_t offset, int64_t size, intptr_t handle) {
    if (!source_ || offset < 0 || size < 0 || (size_ >= 0 && size > size_ - offset)) return false;
    return source_->copyRangeTo(offset_ + offset, size, handle);
}

// ---- DecoderStream --------------------------------------------------------

void DecoderStream::FreeDeleter::operator()(uint8_t* p) const { std::free(p); }

DecoderStream::DecoderStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                             int64_t packedSize, int64_t unpackedSize)
    : InStream(name, owner, tag) {
    if (!source || packedSize < 0 || offset < 0) return;
    source_ = source;
    source_->addRef();
    offset_ = offset;
    packedSize_ = packedSize;
    packedLeft_ = packedSize;
    unpackedSize_ = unpackedSize;
    input_.reset(static_cast<uint8_t*>(std::malloc(kBufferSize)));
    window_.reset(static_cast<uint8_t*>(std::malloc(kBufferSize)));
    if (!input_ || !window_) freeBuffers();
}

DecoderStream::~DecoderStream() {
    if (source_) source_->release();
}

void DecoderStream::freeBuffers() {
    input_.reset();
    window_.reset();
}

int64_t DecoderStream::tell() { return source_ ? position_ : -1; }

int64_t DecoderStream::size() {
    if (unpackedSize_ >= 0 || !input_) return unpackedSize_;
    int64_t back = position_;
    do {
        position_ += windowAvailable();
        readCounter_ = freeCounter_;
    } while (decodeStep());
    learnSizeAtEnd();
    if (back < position_) seek(back);
    return unpackedSize_;
}

void DecoderStream::learnSizeAtEnd() {
    if (unpackedSize_ < 0) unpackedSize_ = position_ + windowAvailable();
}

int64_t DecoderStream::left() const {
    return unpackedSize_ < 0 ? std::numeric_limits<int64_t>::max() : unpackedSize_ - position_;
}

bool DecoderStream::restartPoint(int64_t, int64_t*, int64_t*) { return false; }

void DecoderStream::restartAt(int64_t inputOffset, int64_t outputPosition) {
    packedLeft_ = packedSize_ - inputOffset;
    position_ = outputPosition;
    inputFill_ = inputLeft_ = 0;
    readCounter_ = freeCounter_ = kBufferSize;
    finished_ = false;
}

bool DecoderStream::decodeStep() {
    // Only called once everything decoded has been delivered, so a full
    // window can start again at its beginning.
    if (freeCounter_ == 0) readCounter_ = freeCounter_ = kBufferSize;
    int produced = decodeInto(window_.get() + (kBufferSize - freeCounter_), freeCounter_);
    if (produced < 0) return false;
    freeCounter_ -= produced;
    return true;
}

int DecoderStream::decodeInto(uint8_t* out, int capacity) {
    if (finished_) return -1;
    if (inputLeft_ == 0 && packedLeft_ > 0 && source_->seek(offset_ + packedSize_ - packedLeft_)) {
        int want = static_cast<int>(std::min<int64_t>(packedLeft_, kBufferSize));
        int got = std::max(source_->read(input_.get(), want), 0);
        // Packed bytes from a damaged source decode to damaged data, even
        // when the decoder finds nothing wrong with them.
        fail(source_->status());
        inputFill_ = inputLeft_ = got;
        packedLeft_ -= got;
    }
    const int given = inputLeft_;
    int consumed = 0, produced = 0;
    int status = decode(input_.get() + inputFill_ - inputLeft_, inputLeft_, &consumed, out, capacity, &produced);
    if (status == kDecodeError) {
        finished_ = true;
        // Failing with no input to take and nothing taken or given is a
        // decoder's way of saying its data stopped short.
        fail(given == 0 && consumed == 0 && produced == 0 ? inputEndedEarly() : Status::corrupt());
        return -1;
    }
    // A decoder can neither take back input nor overrun the output.
    consumed = std::clamp(consumed, 0, inputLeft_);
    produced = std::clamp(produced, 0, capacity);
    inputLeft_ -= consumed;
    // A step that takes nothing and gives nothing would repeat forever: the
    // packed data ended (or could not be read) before the decoder finished.
    if (status == kDecodeProgress && consumed == 0 && produced == 0)
        fail(given == 0 ? inputEndedEarly() : Status::corrupt());
    if (status != kDecodeProgress || (consumed == 0 && produced == 0)) finished_ = true;
    return produced > 0 || !finished_ ? produced : -1;
}

Status DecoderStream::inputEndedEarly() const {
    return source_->status().ok() ? Status::truncated() : source_->status();
}

int DecoderStream::read(void* buf, int count) {
    if (!input_ || !buf || count <= 0 || left() <= 0) return 0;
    int wanted = static_cast<int>(std::min<int64_t>(count, left()));
    uint8_t* out = static_cast<uint8_t*>(buf);
    int done = 0;
    bool direct = false;
    while (done < wanted) {
        int take = std::min(wanted - done, windowAvailable());
        if (take > 0) {
            copyBytes(out + done, window_.get() + (kBufferSize - readCounter_), static_cast<size_t>(take));
            readCounter_ -= take;
            position_ += take;
            done += take;
        } else if (int capacity = directCapacity(wanted - done); capacity > 0) {
            int produced = decodeInto(out + done, capacity);
            if (produced < 0) {
                learnSizeAtEnd();
                break;
            }
            skipWindow(produced);
            position_ += produced;
            done += produced;
            direct = true;
        } else if (!decodeStep()) {
            learnSizeAtEnd();
            break;
        }
    }
    // The window's read part is what a short seek back uses: it must hold
    // the bytes that went past it.
    if (direct) {
        int history = std::min(kBufferSize - readCounter_, done);
        copyBytes(window_.get() + (kBufferSize - readCounter_) - history, out + done - history,
                    static_cast<size_t>(history));
    }
    if (done == wanted && position_ == unpackedSize_ && endToCheck_) checkEnd();
    return done;
}

// A large read takes decoded bytes straight into the caller's buffer instead
// of through the window, in the steps the window would take: each ends at the
// window's next boundary. A decoder is then called the same way however it is
// read, so it stops, and runs past the size at the end, as it does in the
// window; and damaged data gives the same bytes before its error on every
// pass (a library may decode further past damage when it is given more room).
int DecoderStream::directCapacity(int wanted) const {
    int toBoundary = freeCounter_ == 0 ? kBufferSize : freeCounter_;
    return wanted >= toBoundary ? toBoundary : 0;
}

void DecoderStream::skipWindow(int produced) {
    if (produced == 0) return;
    int filled = (kBufferSize - freeCounter_ + produced) % kBufferSize;
    readCounter_ = freeCounter_ = filled == 0 ? 0 : kBufferSize - filled;
}

void DecoderStream::checkEnd() {
    endToCheck_ = false;
    while (windowAvailable() == 0 && decodeStep()) {
    }
    if (windowAvailable() > 0) fail(Status::checkFailed("data runs past its stated size"));
}

bool DecoderStream::seek(int64_t target) {
    if (!input_ || target < 0 || (unpackedSize_ >= 0 && target >= unpackedSize_)) return false;
    if (target == position_) return true;
    if (target < position_ && position_ - target <= kBufferSize - readCounter_) {
        readCounter_ += static_cast<int>(position_ - target);
        position_ = target;
        return true;
    }
    if (target > position_ && target - position_ <= windowAvailable()) {
        readCounter_ -= static_cast<int>(target - position_);
        position_ = target;
        return true;
    }
    int64_t inputOffset = 0, outputPosition = 0;
    if (restartPoint(target, &inputOffset, &outputPosition) && inputOffset >= 0 && inputOffset <= packedSize_ &&
        outputPosition >= 0 && outputPosition <= target) {
        restartAt(inputOffset, outputPosition);
    } else if (target < position_) {
        reset();
        restartAt(0, 0);
    }
    // Without a known size, a byte must follow the target for it to exist.
    while (position_ < target || (unpackedSize_ < 0 && windowAvailable() == 0)) {
        int take = static_cast<int>(std::min<int64_t>(windowAvailable(), target - position_));
        if (take > 0) {
            readCounter_ -= take;
            position_ += take;
        } else if (!decodeStep()) {
            learnSizeAtEnd();
            return false;
        }
    }
    return true;
}

// ---- ConcatStream ---------------------------------------------------------

ConcatStream::ConcatStream(const char16_t* name, Archive* owner, int64_t tag) : InStream(name, owner, tag) {}

ConcatStream::~ConcatStream() {
    for (Part& part : parts_) part.stream->release();
}

int64_t ConcatStream::tell() { return position_; }

int64_t ConcatStream::size() { return parts_.empty() ? 0 : parts_.back().end; }

bool ConcatStream::seeksBounded() {
    return std::all_of(parts_.begin(), parts_.end(), [](const Part& part) { return part.stream->seeksBounded(); });
}

bool ConcatStream::seek(int64_t position) {
    if (position < 0 || position > size()) return false;
    position_ = position;
    return true;
}

int ConcatStream::partAt(int64_t position) const {
    auto part = std::upper_bound(parts_.begin(), parts_.end(), position,
                                 [](int64_t pos, const Part& p) { return pos < p.end; });
    return part == parts_.end() || position < 0 ? -1 : static_cast<int>(part - parts_.begin());
}

int ConcatStream::read(void* buf, int count) {
    if (!buf || count <= 0) return 0;
    auto part = std::upper_bound(parts_.begin(), parts_.end(), position_,
                                 [](int64_t pos, const Part& p) { return pos < p.end; });
    uint8_t* out = static_cast<uint8_t*>(buf);
    int done = 0;
    for (; part != parts_.end() && done < count; ++part) {
        int64_t start = part->end - part->length;
        int64_t inPart = position_ - start;
        if (!part->stream->seek(part->offset + inPart)) {
            fail(part->stream->status());  // a part that cannot get there may know why
            break;
        }
        int want = static_cast<int>(std::min<int64_t>(count - done, part->length - inPart));
        int got = std::max(part->stream->read(out + done, want), 0);
        fail(part->stream->status());
        position_ += got;
        done += got;
        if (got < want) break;
    }
    return done;
}

InStream* ConcatStream::openSibling(const char16_t* name) {
    if (parts_.empty()) return nullptr;
    return parts_.front().stream->openSibling(name);
}

bool ConcatStream::appendPart(InStream* stream, int64_t offset, int64_t length) {
    if (!stream || offset < 0 || length < 0 || stream->size() < offset) return false;
    if (length == 0) return true;
    int64_t end = size();
    if (length > std::numeric_limits<int64_t>::max() - end) return false;
    stream->addRef();
    parts_.push_back(Part{stream, offset, length, end + length});
    return true;
}

}  // namespace zorvex
