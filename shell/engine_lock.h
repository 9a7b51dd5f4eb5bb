// The engine lock. The engine keeps plain reference counts and takes no locks,
// while the shell may call in from several threads (the copy engine reads
// streams on its own). So every call the shell makes into an Archive or an
// InStream, and every change of their counts, happens while an EngineLock is
// held. COM objects keep their engine objects in Locked<T>, which hands the
// object out only against a held lock and releases it under the lock: a call
// that forgets the lock does not compile.
#pragma once

#include <utility>

#include "engine/archive.h"
#include "engine/stream.h"

namespace zorvex::shell {

// Holds the process-wide engine mutex for its lifetime. The mutex is
// recursive: a thread that holds it may take it again.
class EngineLock {
public:
    EngineLock();
    ~EngineLock();
    EngineLock(const EngineLock&) = delete;
    EngineLock& operator=(const EngineLock&) = delete;
};

// One counted reference to an engine object (Archive or InStream).
template <class T>
class Locked {
public:
    Locked() = default;
    // Adopts the caller's reference.
    explicit Locked(T* adopted) : p_(adopted) {}
    Locked(Locked&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Locked& operator=(Locked&& other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    ~Locked() {
        if (!p_) return;
        EngineLock lock;
        p_->release();
    }

    T* get(const EngineLock&) const { return p_; }
    // Adopts `adopted` in place of the current object (released).
    void reset(T* adopted, const EngineLock&) {
        if (p_) p_->release();
        p_ = adopted;
    }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

}  // namespace zorvex::shell
