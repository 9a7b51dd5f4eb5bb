#include "codecs/ppmd/ppmd.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "codecs/common/sdk_alloc.h"
#include "engine/byte_order.h"
#include "engine/codec.h"
#include "engine/pipeline.h"
#include "engine/sequential_stream.h"

extern "C" {
#include "Ppmd7.h"
#include "Ppmd8.h"
}

namespace zorvex {
namespace {


// The models' range decoders pull bytes one at a time through this reader.
// Past the end of the data it gives zeros and notes that it ran dry.
struct ByteReader {
    IByteIn vt;  // first member: the SDK hands this address back
    InStream* source;
    int64_t offset;
    int64_t size;
    int64_t consumed;
    int next;
    int fill;
    bool exhausted;
    uint8_t buffer[4096];

    static Byte read(IByteInPtr p) {
        auto* self = reinterpret_cast<ByteReader*>(const_cast<IByteIn*>(p));
        if (self->next == self->fill && !self->refill()) {
            self->exhausted = true;
            return 0;
        }
        return self->buffer[self->next++];
    }

    bool refill() {
        int want = static_cast<int>(std::min<int64_t>(sizeof buffer, size - consumed));
        if (want <= 0 || !source->seek(offset + consumed)) return false;
        int got = source->read(buffer, want);
        if (got <= 0) return false;
        consumed += got;
        next = 0;
        fill = got;
        return true;
    }

    void rewind() {
        consumed = 0;
        next = fill = 0;
        exhausted = false;
    }
};

// Large pages speed up decoding a model's worth of output, but the first
// touch of each one clears it whole: a few of them cost more than a small
// entry takes to decode.
constexpr int64_t kLargePageOutput = 1 << 20;

// Shared stream behaviour: the model is set up on the first read (so opening
// an entry costs no model memory) and again after a backward seek; decoding
// stops at the model's end mark, on damage, or when the data ran dry.
class PpmdStream : public SequentialStream {
public:
    PpmdStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t dataOffset,
               int64_t dataSize, int64_t unpackedSize)
        : SequentialStream(name, owner, tag, unpackedSize),
          heap_(unpackedSize < 0 || unpackedSize >= kLargePageOutput ? &kSdkLargeHeap : &kSdkHeap) {
        source->addRef();
        reader_.vt.Read = ByteReader::read;
        reader_.source = source;
        reader_.offset = dataOffset;
        reader_.size = dataSize;
        reader_.rewind();
    }
    ~PpmdStream() override { reader_.source->release(); }

protected:
    // Allocates the model and starts the range decoder; false on failure.
    virtual bool setUp() = 0;  // slot 16
    // Decodes up to `count` bytes into `out` (with decodeWith); the count made.
    virtual int decodeSymbols(uint8_t* out, int count) = 0;  // slot 17

    bool restart() override {
        ready_ = false;
        return true;
    }

    int produce(uint8_t* out, int count) override {
        if (!ready_) {
            reader_.rewind();
            if (!setUp() || reader_.exhausted) return 0;
            ready_ = true;
        }
        return decodeSymbols(out, count);
    }

    // The loop over the model's symbol decoder, which it calls directly:
    // one call through the stream's table per byte would cost more than
    // the range decoder's own input does.
    template <class DecodeSymbol>
    int decodeWith(uint8_t* out, int count, DecodeSymbol decodeSymbol) {
        for (int i = 0; i < count; ++i) {
            int symbol = decodeSymbol();
            if (symbol < 0 || reader_.exhausted) return i;
            out[i] = static_cast<uint8_t>(symbol);
        }
        return count;
    }

    ByteReader reader_;
    // Where the model lives.
    const ISzAlloc* const heap_;

private:
    bool ready_ = false;
};

class PpmdHStream final : public PpmdStream {
public:
    static constexpr int kPropertySize = 5;

    PpmdHStream(const CodecRequest& r, unsigned order, uint32_t memory)
        : PpmdStream(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize, r.unpackedSize),
          order_(order),
          memory_(ppmdHModelSize(memory, order, r.unpackedSize)) {
        Ppmd7_Construct(&model_);
    }
    ~PpmdHStream() override { Ppmd7_Free(&model_, heap_); }

protected:
    bool setUp() override {
        if (!Ppmd7_Alloc(&model_, memory_, heap_)) return false;
        model_.rc.dec.Stream = &reader_.vt;
        if (!Ppmd7z_RangeDec_Init(&model_.rc.dec)) return false;
        Ppmd7_Init(&model_, order_);
        return true;
    }
    int decodeSymbols(uint8_t* out, int count) override {
        return decodeWith(out, count, [this] { return Ppmd7z_DecodeSymbol(&model_); });
    }

private:
    unsigned order_;
    uint32_t memory_;
    CPpmd7 model_;
};

class PpmdIStream final : public PpmdStream {
public:
    static constexpr int kPropertySize = 2;

    PpmdIStream(const CodecRequest& r, unsigned order, uint32_t memory, unsigned restore)
        : PpmdStream(r.name, r.owner, r.tag, r.source, r.offset + kPropertySize, r.packedSize - kPropertySize,
                     r.unpackedSize),
          order_(order),
          memory_(memory),
          restore_(restore) {
        Ppmd8_Construct(&model_);
    }
    ~PpmdIStream() override { Ppmd8_Free(&model_, heap_); }

protected:
    bool setUp() override {
        if (!Ppmd8_Alloc(&model_, memory_, heap_)) return false;
        model_.Stream.In = &reader_.vt;
        if (!Ppmd8_Init_RangeDec(&model_)) return false;
        Ppmd8_Init(&model_, order_, restore_);
        return true;
    }
    int decodeSymbols(uint8_t* out, int count) override {
        return decodeWith(out, count, [this] { return Ppmd8_DecodeSymbol(&model_); });
    }

private:
    unsigned order_;
    uint32_t memory_;
    unsigned restore_;
    CPpmd8 model_;
};

bool readProperties(InStream* source, int64_t offset, int64_t packedSize, uint8_t* properties, int count) {
    return source && packedSize > count && source->seek(offset) && readExact(source, properties, count);
}

}  // namespace

// Memory the model of a variant H stream really needs. Each decoded byte adds
// at most one byte of text, at most `order` new contexts of one 12-byte unit,
// and at most one state to each of at most `order` contexts. A context's
// states grow by reallocation through the allocator's size classes: over a
// context's whole life that allocates less than 9 units per state added (2152
// units for 255 states, the most at any point 8.7 per state). The start model
// takes 129 units. Text gets an eighth of the memory, units the rest. With
// room for all of that the model never runs out, so it never restarts earlier
// than it would with the declared size and the output is the same; a small
// entry then cannot ask for gigabytes.
uint32_t ppmdHModelSize(uint32_t declared, unsigned order, int64_t outputSize) {
    constexpr uint64_t kUnitBytes = 12, kUnitsPerByteAndOrder = 1 + 9, kStartUnits = 129;
    if (outputSize < 0) return declared;
    uint64_t bytes = static_cast<uint64_t>(outputSize) + 2;
    uint64_t perByte = order * kUnitsPerByteAndOrder * kUnitBytes;
    if (bytes > declared / perByte) return declared;
    uint64_t units = (bytes * order * kUnitsPerByteAndOrder + kStartUnits) * kUnitBytes;
    uint64_t needed = 8 * bytes + 2 * units + 4096;
    return needed < declared ? static_cast<uint32_t>(needed) : declared;
}

InStream* makePpmdHStream(const CodecRequest& r) {
    if (r.properties.size() != PpmdHStream::kPropertySize || r.packedSize <= 0) return nullptr;
    unsigned order = r.properties[0];
    uint32_t memory = le32(r.properties.data() + 1);
    if (order < PPMD7_MIN_ORDER || order > PPMD7_MAX_ORDER || memory < PPMD7_MIN_MEM_SIZE ||
        memory > PPMD7_MAX_MEM_SIZE)
        return nullptr;
    return startDecoderStream(new (std::nothrow) PpmdHStream(r, order, memory));
}

// Zip stores the 2 property bytes at the head of the data.
InStream* makePpmdIStream(const CodecRequest& r) {
    uint8_t p[PpmdIStream::kPropertySize];
    if (!readProperties(r.source, r.offset, r.packedSize, p, sizeof p)) return nullptr;
    unsigned value = le16(p);
    unsigned order = (value & 15) + 1;
    uint32_t memory = (((value >> 4) & 255) + 1) << 20;
    unsigned restore = value >> 12;
    if (order < PPMD8_MIN_ORDER || restore > 1) return nullptr;
    return startDecoderStream(new (std::nothrow) PpmdIStream(r, order, memory, restore));
}

}  // namespace zorvex
