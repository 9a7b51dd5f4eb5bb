#include "shell/entry_stream.h"

#include <shlwapi.h>

#include <algorithm>
#include <new>

#include "engine/convert.h"
#include "engine/stream.h"
#include "shell/com_object.h"

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

HRESULT readFailure(const Status& status) {
    switch (status.kind()) {
        case Status::kOk: break;
        case Status::kTruncated: return HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
        case Status::kCorrupt: return HRESULT_FROM_WIN32(ERROR_FILE_CORRUPT);
        case Status::kCheckFailed: return HRESULT_FROM_WIN32(ERROR_CRC);
        case Status::kUnsupportedMethod: return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
        case Status::kEncrypted: return E_ACCESSDENIED;
        case Status::kWrongPassword: return HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD);
        case Status::kOutOfMemory: return E_OUTOFMEMORY;
        case Status::kIoError:
            if (status.detail() != 0) return HRESULT_FROM_WIN32(static_cast<DWORD>(status.detail()));
            return HRESULT_FROM_WIN32(ERROR_READ_FAULT);
    }
    return E_FAIL;
}

namespace {

class EntryStream final : public SingleInterface<IStream> {
public:
    explicit EntryStream(Locked<InStream> stream) : stream_(std::move(stream)) {}

    // Fills the whole request unless the data ends. Data that ends before
    // the entry's size, or that the engine found damaged (a failed check, a
    // decode error, an entry its reader knows is not whole), is a failure,
    // never an early end or a full read, so that no copy of a broken entry
    // looks complete.
    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* done) override {
        if (done) *done = 0;
        if (!buffer && count > 0) return STG_E_INVALIDPOINTER;
        EngineLock lock;
        InStream* stream = stream_.get(lock);
        ULONG total = 0;
        if (stream->seek(position_)) {
            while (total < count) {
                // InStream reads take an int.
                int want = static_cast<int>(std::min<ULONG>(count - total, 0x40000000u));
                int n = stream->read(static_cast<uint8_t*>(buffer) + total, want);
                if (n <= 0) break;
                total += static_cast<ULONG>(n);
            }
        }
        position_ += total;
        if (done) *done = total;
        if (stream->damaged()) return readFailure(stream->status());
        if (total == count) return S_OK;
        int64_t size = stream->size();
        // Nothing at the very start of a non-empty entry: it cannot be decoded.
        if (position_ == 0 && size != 0) return E_FAIL;
        if (size >= 0 && position_ < size) return readFailure(Status::truncated());
        return S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override {
        switch (origin) {
            case STREAM_SEEK_SET: position_ = move.QuadPart; break;
            case STREAM_SEEK_CUR: position_ += move.QuadPart; break;
            case STREAM_SEEK_END: {
                EngineLock lock;
                position_ = stream_.get(lock)->size() + move.QuadPart;
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
        EngineLock lock;
        InStream* stream = stream_.get(lock);
        stat->cbSize.QuadPart = static_cast<ULONGLONG>(stream->size());
        if (!(flags & STATFLAG_NONAME)) {
            const char16_t* name = stream->name();
            for (const char16_t* p = name; *p; ++p)
                if (*p == u'\\') name = p + 1;
            SHStrDupW(reinterpret_cast<const wchar_t*>(name), &stat->pwcsName);
        }
        entryTimeToFiletime(stream->tag(), &stat->mtime);
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
    Locked<InStream> stream_;
    int64_t position_ = 0;
};

}  // namespace

IStream* newEntryStream(Locked<InStream> stream) { return new (std::nothrow) EntryStream(std::move(stream)); }

}  // namespace zorvex::shell
