#include "shell/entry_stream.h"

#include <shlwapi.h>

#include <algorithm>
#include <memory>
#include <new>

#include "engine/archive.h"
#include "engine/convert.h"
#include "engine/password.h"
#include "engine/stream.h"
#include "shell/com_object.h"
#include "shell/entry_id.h"

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

// Both the book and the engine forget a password found wrong, so that the
// next attempt asks the user again.
void forgetWrongPassword(const PasswordHold& hold, ArchivePassword* password) {
    forgetPassword(hold.archive());
    if (password) password->forget();
}

class EntryStream final : public SingleInterface<IStream> {
public:
    EntryStream(Locked<InStream> stream, const PasswordHold& hold, std::shared_ptr<ArchivePassword> password)
        : hold_(hold), password_(std::move(password)), stream_(std::move(stream)) {}

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
        if (stream->damaged()) {
            // Some formats learn that a password is wrong only from the data.
            if (stream->status().kind() == Status::kWrongPassword) forgetWrongPassword(hold_, password_.get());
            return readFailure(stream->status());
        }
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
    // Declared before the stream: the archive's password outlives it.
    PasswordHold hold_;
    std::shared_ptr<ArchivePassword> password_;
    Locked<InStream> stream_;
    int64_t position_ = 0;
};

// Why `stream` (null: the open failed) cannot be read, as far as is known before reading it.
Status openStatus(Archive* level, InStream* stream) {
    if (!stream) return level->openFailure().ok() ? Status::corrupt() : level->openFailure();
    return stream->status();
}

}  // namespace

HRESULT openEntryStream(const Locked<Archive>& level, uint8_t kind, int32_t index, const PasswordAccess& access,
                        IStream** out) {
    *out = nullptr;
    Locked<InStream> stream;
    std::shared_ptr<ArchivePassword> password;
    auto open = [&] {
        EngineLock lock;
        Archive* archive = level.get(lock);
        password = archive->password();
        stream.reset(openItemStream(archive, kind, index), lock);
        return openStatus(archive, stream.get(lock));
    };
    const std::u16string& archiveFile = access.hold.archive();
    bool encrypted;
    {
        EngineLock lock;
        encrypted = itemEncrypted(level.get(lock), kind, index);
    }
    // An entry that says it is encrypted needs the password before its
    // stream is made: some formats ask for it as they list, and fail only
    // when the data is read.
    if (encrypted && !passwordKnown(archiveFile) && *access.mayAsk) {
        *access.mayAsk = false;
        if (!askUnlessKnown(access.owner, archiveFile)) return readFailure(Status::encrypted());
        EngineLock lock;
        if (const std::shared_ptr<ArchivePassword>& asked = level.get(lock)->password()) asked->forget();
    }
    takePasswordWanted(archiveFile);
    Status failure = open();
    // Some streams fail only when read; that the engine asked for the
    // password, and the book had none, is known at once.
    bool wanted = takePasswordWanted(archiveFile);
    if ((failure.kind() == Status::kEncrypted || wanted) && *access.mayAsk) {
        // The engine keeps the answer it had, none, until told to forget it.
        *access.mayAsk = false;
        if (password) password->forget();
        if (!askUnlessKnown(access.owner, archiveFile)) return readFailure(Status::encrypted());
        failure = open();
    }
    if (failure.kind() == Status::kWrongPassword) forgetWrongPassword(access.hold, password.get());
    if (failure.kind() == Status::kEncrypted || failure.kind() == Status::kWrongPassword) return readFailure(failure);
    if (!stream) return E_FAIL;
    *out = new (std::nothrow) EntryStream(std::move(stream), access.hold, std::move(password));
    return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace zorvex::shell
