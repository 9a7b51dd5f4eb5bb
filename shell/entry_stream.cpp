#include "shell/entry_stream.h"

#include <shlwapi.h>

#include <new>

#include "engine/convert.h"
#include "engine/stream.h"
#include "shell/server.h"

namespace zorvex::shell {

bool entryTimeToFiletime(int64_t time, FILETIME* out) {
    if (time <= 0) return false;
    std::optional<TimeParts> parts = timeToParts(time);
    if (!parts) return false;
    SYSTEMTIME st = {};
    st.wYear = static_cast<WORD>(parts->year);
    st.wMonth = static_cast<WORD>(parts->month);
    st.wDay = static_cast<WORD>(parts->day);
    st.wHour = static_cast<WORD>(parts->hour);
    st.wMinute = static_cast<WORD>(parts->minute);
    st.wSecond = static_cast<WORD>(parts->second);
    FILETIME local;
    return SystemTimeToFileTime(&st, &local) && LocalFileTimeToFileTime(&local, out);
}

namespace {

class EntryStream final : public SingleInterface<IStream> {
public:
    explicit EntryStream(InStream* stream) : stream_(stream) {}
    ~EntryStream() override {
        ScopedLock lock(LockId::engine);
        stream_->release();
    }

    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* done) override {
        ScopedLock lock(LockId::engine);
        int n = 0;
        if (stream_->seek(position_)) {
            // InStream reads take an int; the copy engine asks for far less.
            int want = count > 0x40000000u ? 0x40000000 : static_cast<int>(count);
            n = stream_->read(buffer, want);
        }
        if (n > 0) {
            position_ += n;
            if (done) *done = static_cast<ULONG>(n);
            return static_cast<ULONG>(n) < count ? S_FALSE : S_OK;
        }
        // Nothing at the very start of a non-empty entry: it cannot be decoded.
        if (position_ == 0 && stream_->size() != 0) return E_FAIL;
        if (done) *done = 0;
        return position_ != 0 || count != 0 ? S_FALSE : S_OK;
    }

    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override {
        switch (origin) {
            case STREAM_SEEK_SET: position_ = move.QuadPart; break;
            case STREAM_SEEK_CUR: position_ += move.QuadPart; break;
            case STREAM_SEEK_END: {
                ScopedLock lock(LockId::engine);
                position_ = stream_->size() + move.QuadPart;
                break;
            }
            default: return STG_E_INVALIDFUNCTION;
        }
        if (newPosition) newPosition->QuadPart = static_cast<ULONGLONG>(position_);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override {
        if (!stat) return E_POINTER;
        *stat = STATSTG{};
        stat->type = STGTY_STREAM;
        ScopedLock lock(LockId::engine);
        stat->cbSize.QuadPart = static_cast<ULONGLONG>(stream_->size());
        if (!(flags & STATFLAG_NONAME)) {
            const char16_t* name = stream_->name();
            for (const char16_t* p = name; *p; ++p)
                if (*p == u'\\') name = p + 1;
            SHStrDupW(reinterpret_cast<const wchar_t*>(name), &stat->pwcsName);
        }
        entryTimeToFiletime(stream_->tag(), &stat->mtime);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

private:
    InStream* stream_;
    int64_t position_ = 0;
};

}  // namespace

IStream* newEntryStream(InStream* stream) {
    auto* entry = new (std::nothrow) EntryStream(stream);
    if (!entry) {
        ScopedLock lock(LockId::engine);
        stream->release();
    }
    return entry;
}

}  // namespace zorvex::shell
