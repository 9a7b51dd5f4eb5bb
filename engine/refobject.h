// Reference-counted base of archives and streams.
//
// Counts are plain integers: one object graph is used by one thread at a time
// (the shell side serialises its calls under its engine lock).
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace zorvex {

class Archive;

class RefObject {
public:
    // `owner` is counted: the object raises its count and releases it on destruction.
    RefObject(const char16_t* name, Archive* owner);
    RefObject(const RefObject&) = delete;
    RefObject& operator=(const RefObject&) = delete;

    virtual ~RefObject();
    // The full name, never null.
    const char16_t* name() const;
    // The owning archive with its count raised, or null.
    Archive* owner();

    void addRef() { ++refs_; }
    void release() {
        if (refs_-- <= 1) delete this;
    }
    int32_t refCount() const { return refs_; }

protected:
    // The owner without raising its count, for use inside the object.
    Archive* ownerNoRef() const { return owner_; }

private:
    int32_t refs_ = 1;
    std::u16string name_;
    Archive* owner_;
};

// An archive as the counted object it is. Defined with Archive
// (engine/archive.cpp), so that what an archive owns, streams and codecs
// among them, counts its owner without the archive's declaration.
RefObject* asRefObject(Archive* archive);

// Owning handle: adopts a reference (no addRef on construction from a raw pointer).
template <class T>
class Ref {
public:
    Ref() = default;
    explicit Ref(T* adopted) : p_(adopted) {}
    Ref(const Ref& other) : p_(other.p_) {
        if (p_) p_->addRef();
    }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() {
        if (p_) p_->release();
    }

    // Takes a new counted reference to `p` (raises its count).
    static Ref share(T* p) {
        if (p) p->addRef();
        return Ref(p);
    }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller.
    T* detach() { return std::exchange(p_, nullptr); }

private:
    T* p_ = nullptr;
};

}  // namespace zorvex
