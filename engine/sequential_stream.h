// Base of decoders that can only run front to back from the start of their
// data (no restart points): a forward seek decodes and discards, a backward
// seek starts over.
#pragma once

#include <cstdint>

#include "engine/stream.h"

namespace zorvex {

class SequentialStream : public InStream {
public:
    SequentialStream(const char16_t* name, Archive* owner, int64_t tag, int64_t size);

    int64_t tell() override;
    bool seek(int64_t position) override;  // 0 <= position <= size
    int read(void* buf, int count) override;
    int64_t size() override;

protected:
    // Returns the decoder to the start of its data; false when it cannot.
    virtual bool restart() = 0;  // slot 14
    // Decodes up to `count` bytes; fewer only when the data ended or is damaged.
    virtual int produce(uint8_t* out, int count) = 0;  // slot 15

private:
    int64_t size_;
    int64_t position_ = 0;
    bool ended_ = false;
};

}  // namespace zorvex
