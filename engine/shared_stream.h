// One stream read from two threads: views that each keep their own position
// and read the stream under one lock, so that a decoder running on a worker
// thread and the reader's own thread can take bytes from the same file.
// Views are made and released on the reader's thread; only their reads may
// run on another.
#pragma once

#include <cstdint>

#include "engine/stream.h"

namespace zorvex {

class SharedStream final : public InStream {
public:
    // A view of `source` at position 0 (the source's count is raised); null
    // when memory is short. Nothing else may read `source` while views live.
    static SharedStream* create(InStream* source);
    ~SharedStream() override;

    // Another view of the same source, at position 0; null when memory is short.
    SharedStream* openView();

    int64_t tell() override { return position_; }
    bool seek(int64_t position) override;  // 0 <= position < size
    int read(void* buf, int count) override;
    int64_t size() override;
    bool seeksBounded() override;

private:
    struct Shared;
    explicit SharedStream(Shared* shared);

    Shared* shared_;
    int64_t position_ = 0;
};

}  // namespace zorvex
