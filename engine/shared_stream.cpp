#include "engine/shared_stream.h"

#include <algorithm>
#include <mutex>
#include <new>

namespace zorvex {

struct SharedStream::Shared {
    explicit Shared(InStream* stream) : source(Ref<InStream>::share(stream)), size(stream->size()) {}

    Ref<InStream> source;
    int64_t size;
    std::mutex lock;
    int views = 1;
};

SharedStream::SharedStream(Shared* shared)
    : InStream(shared->source->name(), nullptr, shared->source->tag()), shared_(shared) {}

SharedStream* SharedStream::create(InStream* source) {
    if (!source) return nullptr;
    auto* shared = new (std::nothrow) Shared(source);
    if (!shared) return nullptr;
    auto* view = new (std::nothrow) SharedStream(shared);
    if (!view) delete shared;
    return view;
}

SharedStream* SharedStream::openView() {
    auto* view = new (std::nothrow) SharedStream(shared_);
    if (view) ++shared_->views;
    return view;
}

SharedStream::~SharedStream() {
    if (--shared_->views == 0) delete shared_;
}

int64_t SharedStream::size() { return shared_->size; }

bool SharedStream::seeksBounded() {
    std::lock_guard<std::mutex> hold(shared_->lock);
    return shared_->source->seeksBounded();
}

bool SharedStream::seek(int64_t position) {
    if (position < 0 || position >= shared_->size) return false;
    position_ = position;
    return true;
}

int SharedStream::read(void* buf, int count) {
    if (!buf || count <= 0 || position_ >= shared_->size) return 0;
    std::lock_guard<std::mutex> hold(shared_->lock);
    InStream* source = shared_->source.get();
    if (!source->seek(position_)) return 0;
    int got = std::max(source->read(buf, count), 0);
    fail(source->status());
    position_ += got;
    return got;
}

}  // namespace zorvex
