#include "codecs/deflate/inflater.h"

#include <new>

#ifdef ZORVEX_HAVE_ISAL
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
    uint32_t wrapper = ISAL_DEFLATE;
};

Inflater::Inflater(Wrapper wrapper) : state_(new (std::nothrow) State) {
    if (!state_) return;
    state_->wrapper = wrapper == Wrapper::kGzip ? ISAL_GZIP : ISAL_DEFLATE;
    reset();
}

void Inflater::reset() {
    isal_inflate_init(&state_->isal);
    state_->isal.crc_flag = state_->wrapper;
}

Inflater::Step Inflater::step(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
                              int* produced) {
    inflate_state& s = state_->isal;
    s.next_in = const_cast<uint8_t*>(in);
    s.avail_in = static_cast<uint32_t>(inLength);
    s.next_out = out;
    s.avail_out = static_cast<uint32_t>(outCapacity);
    int rc = isal_inflate(&s);
    *consumed = inLength - static_cast<int>(s.avail_in);
    *produced = outCapacity - static_cast<int>(s.avail_out);
    if (rc < 0) return Step::kError;
    return s.block_state == ISAL_BLOCK_FINISH ? Step::kEnd : Step::kProgress;
}

#else

struct Inflater::State {
    z_stream z{};
};

Inflater::Inflater(Wrapper wrapper) : state_(new (std::nothrow) State) {
    // Window bits: -15 is a 32 KiB window and no header; 16 + 15 the gzip wrapper.
    if (state_ && inflateInit2(&state_->z, wrapper == Wrapper::kGzip ? 16 + MAX_WBITS : -MAX_WBITS) != Z_OK)
        state_.reset();
}

void Inflater::reset() { inflateReset(&state_->z); }

Inflater::Step Inflater::step(const uint8_t* in, int inLength, int* consumed, uint8_t* out, int outCapacity,
                              int* produced) {
    z_stream& z = state_->z;
    z.next_in = const_cast<Bytef*>(in);
    z.avail_in = static_cast<uInt>(inLength);
    z.next_out = out;
    z.avail_out = static_cast<uInt>(outCapacity);
    int rc = inflate(&z, Z_NO_FLUSH);
    *consumed = inLength - static_cast<int>(z.avail_in);
    *produced = outCapacity - static_cast<int>(z.avail_out);
    if (rc == Z_STREAM_END) return Step::kEnd;
    // Z_BUF_ERROR without progress is where data cut short ends.
    if (rc == Z_OK || (rc == Z_BUF_ERROR && (*consumed > 0 || *produced > 0))) return Step::kProgress;
    return Step::kError;
}

#endif

Inflater::~Inflater() {
#ifndef ZORVEX_HAVE_ISAL
    if (state_) inflateEnd(&state_->z);
#endif
}

}  // namespace zorvex
