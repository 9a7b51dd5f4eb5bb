// What the library's COM objects share: counting themselves as live objects
// of the module, and their interlocked reference counts.
#pragma once

#include <windows.h>

#include <unknwn.h>

#include "shell/module.h"

namespace zorvex::shell {

// COM objects of the library count themselves from construction to destruction.
class Counted {
public:
    Counted() { objectCreated(); }
    ~Counted() { objectDestroyed(); }
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;
};

// The interlocked reference count of a COM object with several interfaces:
// it starts at 1, and the object deletes itself when it drops to 0.
class RefCount {
public:
    ULONG add() { return InterlockedIncrement(&refs_); }
    template <class Object>
    ULONG release(Object* object) {
        ULONG left = InterlockedDecrement(&refs_);
        if (left == 0) delete object;
        return left;
    }

private:
    LONG refs_ = 1;
};

// IUnknown of an object that exposes one interface: an interlocked count that
// starts at 1; the object deletes itself when it drops to 0.
template <class Interface>
class SingleInterface : public Interface, private Counted {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        if (riid == IID_IUnknown || riid == __uuidof(Interface)) {
            *out = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = InterlockedDecrement(&refs_);
        if (left == 0) delete this;
        return left;
    }

protected:
    virtual ~SingleInterface() = default;

private:
    LONG refs_ = 1;
};

}  // namespace zorvex::shell
