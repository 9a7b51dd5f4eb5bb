#include "codecs/deflate/inflater.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#ifdef ZORVEX_HAVE_ISAL
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#else
#include <zlib.h>
#endif

namespace zorvex {

#ifdef ZORVEX_HAVE_ISAL

struct Inflater::State {
    // Left uninitialised: isal_inflate_init sets what is read before it is
    // written, and clearing 87 KB for every entry of an archive of small
    // files costs more than decoding many of them.
    inflate_state isal;
    // The gzip header as read so far. isal_inflate reads it into one of its
    // own that starts afresh at each call: a header split between two steps
    // (a pipe's first bytes) was then read on with what its stack held.
    isal_gzip_header gzipHeader;
    uint32_t wrapper = ISAL_DEFLATE;
};

Inflater::Inflater(Wrapper wrapper) : state_(new (std::nothrow) State), rest_(wrapper == Wrapper::kGzipRest) {
    if (!state_) return;
    state_->wrapper = wrapper == Wrapper::kGzip ? ISAL_GZIP : ISAL_DEFLATE;
    reset();
}

void Inflater::reset() {
    isal_inflate_init(&state_->isal);
    isal_gzip_header_init(&state_->gzipHeader);
    state_->isal.crc_flag = state_->wrapper;
    inTrailer_ = false;
    trailerFill_ = 0;
}

uint32_t Inflater::crc32(uint32_t crc, const uint8_t* data, int64_t size) {
    return crc32_gzip_refl(crc, data, static_cast<uint64_t>(size));
}

bool Inflater::setHistory(const uint8_t* history, int size) {
    return isal_inflate_set_dict(&state_->isal, const_cast<uint8_t*>(history), static_cast<uint32_t>(size)) == COMP_OK;
}

bool Inflater::betweenBlocks() const {
    const inflate_state& s = state_->isal;
    return s.block_state == ISAL_BLOCK_NEW_HDR && s.read_in_length == 0 && s.tmp_in_size == 0 && !s.bfinal;
}

Inflater::Step Inflater::step(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
                              int* produced) {
    *produced = 0;
    if (inTrailer_) return takeTrailer(in, inLength, consumed);
    inflate_state& s = state_->isal;
    s.next_in = const_cast<uint8_t*>(in);
    s.avail_in = static_cast<uint32_t>(inLength);
    s.next_out = out;
    s.avail_out = static_cast<uint32_t>(outCapacity);
    // A gzip member's header is read apart; the deflate data and the trailer
    // it checks follow.
    if (s.crc_flag == ISAL_GZIP) {
        const int header = isal_read_gzip_header(&s, &state_->gzipHeader);
        *consumed = inLength - static_cast<int>(s.avail_in);
        if (header < 0) return Step::kError;
        if (header != ISAL_DECOMP_OK) return Step::kProgress;  // more of it is to come
        s.crc_flag = ISAL_GZIP_NO_HDR_VER;
    }
    int rc = isal_inflate(&s);
    *consumed = inLength - static_cast<int>(s.avail_in);
    *produced = outCapacity - static_cast<int>(s.avail_out);
    if (rc < 0) return Step::kError;
    if (s.block_state != ISAL_BLOCK_FINISH) return Step::kProgress;
    if (!rest_) return Step::kEnd;
    // The trailer's first bytes may already sit in the bit buffer, after the
    // bits left of the deflate data's last byte.
    const uint64_t held = s.read_in >> (s.read_in_length % 8);
    for (int i = 0; i < s.read_in_length / 8 && trailerFill_ < 8; ++i)
        trailer_[trailerFill_++] = static_cast<uint8_t>(held >> (8 * i));
    inTrailer_ = true;
    int more = 0;
    Step step = takeTrailer(in + *consumed, inLength - *consumed, &more);
    *consumed += more;
    return step;
}

// The state holds everything between two steps (the caller's buffers are
// given again at each step): its fixed part, and as much of its output
// buffer, which keeps the history, as is in use. Some 55 KB in all, kept
// deflated (level 1 runs at several hundred MB/s, and inflating it back
// costs far less than the data a restart decodes): snapshots kept every MiB
// of a large file would otherwise take some 55 MB per GiB.
struct Inflater::Snapshot::Saved {
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t length = 0;    // of bytes
    uint32_t unpacked = 0;  // of the state they hold
    bool deflated = false;
};

namespace {

// Deflates `size` bytes into `out` (as large): the length, or 0 when they do not get smaller.
uint32_t deflateState(const uint8_t* in, uint32_t size, uint8_t* out) {
    std::unique_ptr<isal_zstream> z(new (std::nothrow) isal_zstream);
    if (!z) return 0;
    isal_deflate_stateless_init(z.get());
    z->level = 1;
    z->next_in = const_cast<uint8_t*>(in);
    z->avail_in = size;
    z->next_out = out;
    z->avail_out = size;
    z->end_of_stream = 1;
    return isal_deflate_stateless(z.get()) == COMP_OK ? size - z->avail_out : 0;
}

bool inflateState(const uint8_t* in, uint32_t length, uint8_t* out, uint32_t size) {
    std::unique_ptr<inflate_state> s(new (std::nothrow) inflate_state);
    if (!s) return false;
    isal_inflate_init(s.get());
    s->next_in = const_cast<uint8_t*>(in);
    s->avail_in = length;
    s->next_out = out;
    s->avail_out = size;
    return isal_inflate_stateless(s.get()) == ISAL_DECOMP_OK && s->avail_out == 0;
}

}  // namespace

bool Inflater::save(Snapshot* snapshot) const {
    if (inTrailer_) return false;  // the trailer's bytes so far are not in the library's state
    const inflate_state& s = state_->isal;
    const int used = std::clamp<int>(s.tmp_out_valid, 0, static_cast<int>(sizeof(s.tmp_out_buffer)));
    const auto size = static_cast<uint32_t>(offsetof(inflate_state, tmp_out_buffer) + static_cast<size_t>(used));
    auto saved = std::unique_ptr<Snapshot::Saved>(new (std::nothrow) Snapshot::Saved);
    std::unique_ptr<uint8_t[]> packed(new (std::nothrow) uint8_t[size]);
    if (!saved || !packed) return false;
    const auto* state = reinterpret_cast<const uint8_t*>(&s);
    saved->length = deflateState(state, size, packed.get());
    saved->deflated = saved->length > 0;
    if (!saved->deflated) saved->length = size;
    saved->bytes.reset(new (std::nothrow) uint8_t[saved->length]);
    if (!saved->bytes) return false;
    std::memcpy(saved->bytes.get(), saved->deflated ? packed.get() : state, saved->length);
    saved->unpacked = size;
    snapshot->saved_ = std::move(saved);
    snapshot->size_ = snapshot->saved_->length;
    return true;
}

bool Inflater::restore(const Snapshot& snapshot) {
    const Snapshot::Saved* saved = snapshot.saved_.get();
    auto* state = reinterpret_cast<uint8_t*>(&state_->isal);
    bool restored = false;
    if (saved && saved->deflated) {
        restored = inflateState(saved->bytes.get(), saved->length, state, saved->unpacked);
    } else if (saved) {
        std::memcpy(state, saved->bytes.get(), saved->length);
        restored = true;
    }
    if (!restored) {
        reset();
        return false;
    }
    inTrailer_ = false;
    trailerFill_ = 0;
    return true;
}

#else

struct Inflater::State {
    z_stream z{};
    int windowBits = -MAX_WBITS;
};

Inflater::Inflater(Wrapper wrapper) : state_(new (std::nothrow) State), rest_(wrapper == Wrapper::kGzipRest) {
    // Window bits: -15 is a 32 KiB window and no header; 16 + 15 the gzip wrapper.
    if (!state_) return;
    state_->windowBits = wrapper == Wrapper::kGzip ? 16 + MAX_WBITS : -MAX_WBITS;
    if (inflateInit2(&state_->z, state_->windowBits) != Z_OK) state_.reset();
}

void Inflater::reset() {
    inflateReset(&state_->z);
    inTrailer_ = false;
    trailerFill_ = 0;
}

uint32_t Inflater::crc32(uint32_t crc, const uint8_t* data, int64_t size) {
    return static_cast<uint32_t>(crc32_z(crc, data, static_cast<z_size_t>(size)));
}

bool Inflater::setHistory(const uint8_t* history, int size) {
    return inflateSetDictionary(&state_->z, history, static_cast<uInt>(size)) == Z_OK;
}

// zlib's data_type: the bits left over in the last byte taken, +64 inside the
// last block, +128 where a block ended and the next one's header is due.
bool Inflater::betweenBlocks() const { return state_->z.data_type == 128; }

Inflater::Step Inflater::step(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
                              int* produced) {
    *produced = 0;
    if (inTrailer_) return takeTrailer(in, inLength, consumed);
    z_stream& z = state_->z;
    z.next_in = const_cast<Bytef*>(in);
    z.avail_in = static_cast<uInt>(inLength);
    z.next_out = out;
    z.avail_out = static_cast<uInt>(outCapacity);
    int rc = inflate(&z, Z_NO_FLUSH);
    *consumed = inLength - static_cast<int>(z.avail_in);
    *produced = outCapacity - static_cast<int>(z.avail_out);
    if (rc == Z_STREAM_END && rest_) {
        inTrailer_ = true;
        int more = 0;
        Step step = takeTrailer(in + *consumed, inLength - *consumed, &more);
        *consumed += more;
        return step;
    }
    if (rc == Z_STREAM_END) return Step::kEnd;
    // Z_BUF_ERROR without progress is where data cut short ends.
    if (rc == Z_OK || (rc == Z_BUF_ERROR && (*consumed > 0 || *produced > 0))) return Step::kProgress;
    return Step::kError;
}

struct Inflater::Snapshot::Saved {
    z_stream z{};
    bool copied = false;
    ~Saved() {
        if (copied) inflateEnd(&z);
    }
};

bool Inflater::save(Snapshot* snapshot) const {
    if (inTrailer_) return false;  // the trailer's bytes so far are not in the library's state
    auto saved = std::unique_ptr<Snapshot::Saved>(new (std::nothrow) Snapshot::Saved);
    if (!saved || inflateCopy(&saved->z, &state_->z) != Z_OK) return false;
    saved->copied = true;
    snapshot->saved_ = std::move(saved);
    // The state and its 32 KiB window.
    snapshot->size_ = (size_t{1} << MAX_WBITS) + 8192;
    return true;
}

bool Inflater::restore(const Snapshot& snapshot) {
    if (snapshot.saved_) {
        inflateEnd(&state_->z);
        if (inflateCopy(&state_->z, &snapshot.saved_->z) == Z_OK) {
            inTrailer_ = false;
            trailerFill_ = 0;
            return true;
        }
        // Short of memory: a fresh decoder, which the caller resets from the start.
        state_->z = z_stream{};
        inflateInit2(&state_->z, state_->windowBits);
    }
    reset();
    return false;
}

#endif

Inflater::Step Inflater::takeTrailer(const uint8_t* in, int inLength, int* consumed) {
    *consumed = std::min(inLength, static_cast<int>(sizeof trailer_) - trailerFill_);
    if (*consumed > 0) std::memcpy(trailer_ + trailerFill_, in, static_cast<size_t>(*consumed));
    trailerFill_ += *consumed;
    return trailerFill_ == sizeof trailer_ ? Step::kEnd : Step::kProgress;
}

const uint8_t* Inflater::trailer() const { return trailer_; }

Inflater::Snapshot::Snapshot() = default;
Inflater::Snapshot::Snapshot(Snapshot&&) noexcept = default;
Inflater::Snapshot& Inflater::Snapshot::operator=(Snapshot&&) noexcept = default;
Inflater::Snapshot::~Snapshot() = default;

Inflater::~Inflater() {
#ifndef ZORVEX_HAVE_ISAL
    if (state_) inflateEnd(&state_->z);
#endif
}

}  // namespace zorvex
