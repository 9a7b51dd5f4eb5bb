// A test copy engine: consumes a data object the way the shell's copy engine
// does (the file descriptors, then "FileContents" per file index, inside
// StartOperation / EndOperation, reading streams in pieces of changing size
// after Stat and Seek) and writes the files below a folder. Wine's own folder
// drop target does not read these formats, so this stands in for it.
#pragma once

#include <windows.h>

#include <shldisp.h>
#include <shlobj.h>

#include <algorithm>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "shell/data_object.h"
#include "shell/module.h"
#include "shell_test_util.h"

namespace zorvex::shell {

struct Descriptor {
    std::wstring name;
    DWORD flags;
    DWORD attributes;
    uint64_t size;
    FILETIME written;
};

inline FORMATETC formatOf(ClipboardFormat which, DWORD tymed, LONG index = -1) {
    return FORMATETC{static_cast<CLIPFORMAT>(clipboardFormat(which)), nullptr, DVASPECT_CONTENT, index, tymed};
}

inline HRESULT readDescriptors(IDataObject* data, std::vector<Descriptor>* out) {
    FORMATETC format = formatOf(kFileGroupDescriptor, TYMED_HGLOBAL);
    STGMEDIUM medium = {};
    HRESULT hr = data->GetData(&format, &medium);
    if (FAILED(hr)) return hr;
    auto* group = static_cast<FILEGROUPDESCRIPTORW*>(GlobalLock(medium.hGlobal));
    EXPECT_GE(GlobalSize(medium.hGlobal), sizeof(UINT) + group->cItems * sizeof(FILEDESCRIPTORW));
    for (UINT i = 0; i < group->cItems; ++i) {
        const FILEDESCRIPTORW& d = group->fgd[i];
        EXPECT_EQ(d.cFileName[MAX_PATH - 1], 0);
        out->push_back({d.cFileName, d.dwFlags, d.dwFileAttributes,
                        (static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow, d.ftLastWriteTime});
    }
    GlobalUnlock(medium.hGlobal);
    ReleaseStgMedium(&medium);
    return S_OK;
}

// Reads one "FileContents" stream whole, in pieces of `piece` bytes (and a
// few odd sizes in between).
inline HRESULT readContents(IDataObject* data, LONG index, ULONG piece, std::vector<uint8_t>* out) {
    FORMATETC format = formatOf(kFileContents, TYMED_ISTREAM, index);
    STGMEDIUM medium = {};
    HRESULT hr = data->GetData(&format, &medium);
    if (FAILED(hr)) return hr;
    IStream* stream = medium.pstm;
    STATSTG stat = {};
    hr = stream->Stat(&stat, STATFLAG_NONAME);
    LARGE_INTEGER zero = {};
    if (SUCCEEDED(hr)) hr = stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    const ULONG sizes[] = {piece, 1, 7, piece, 4093};
    std::vector<uint8_t> buffer(std::max<ULONG>(piece, 4093));
    for (int turn = 0; SUCCEEDED(hr); ++turn) {
        ULONG want = sizes[turn % 5];
        ULONG got = 0;
        hr = stream->Read(buffer.data(), want, &got);
        if (FAILED(hr)) break;
        out->insert(out->end(), buffer.data(), buffer.data() + got);
        if (got < want) break;
    }
    if (SUCCEEDED(hr) && out->size() != stat.cbSize.QuadPart) hr = E_FAIL;
    ReleaseStgMedium(&medium);
    return SUCCEEDED(hr) ? S_OK : hr;
}

inline void writeBytes(const std::wstring& path, const std::vector<uint8_t>& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path.c_str();
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

// Copies everything the data object describes below `root`; the first
// failure. With `bracket`, inside StartOperation and EndOperation.
inline HRESULT copyOut(IDataObject* data, const std::wstring& root, ULONG piece = 4096, bool bracket = true) {
    IDataObjectAsyncCapability* async = nullptr;
    if (bracket) data->QueryInterface(IID_IDataObjectAsyncCapability, reinterpret_cast<void**>(&async));
    if (async) async->StartOperation(nullptr);
    std::vector<Descriptor> descriptors;
    HRESULT hr = readDescriptors(data, &descriptors);
    for (size_t i = 0; SUCCEEDED(hr) && i < descriptors.size(); ++i) {
        std::wstring path = root + L"\\" + descriptors[i].name;
        if (descriptors[i].attributes & FILE_ATTRIBUTE_DIRECTORY) {
            CreateDirectoryW(path.c_str(), nullptr);
            continue;
        }
        std::vector<uint8_t> bytes;
        hr = readContents(data, static_cast<LONG>(i), piece, &bytes);
        if (SUCCEEDED(hr)) writeBytes(path, bytes);
    }
    if (async) {
        async->EndOperation(hr, nullptr, DROPEFFECT_COPY);
        async->Release();
    }
    return hr;
}

// Every file below `root` by relative path ("dir\\name"), with its bytes.
inline std::map<std::wstring, std::vector<uint8_t>> readTree(const std::wstring& root,
                                                             const std::wstring& base = L"") {
    std::map<std::wstring, std::vector<uint8_t>> tree;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((root + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return tree;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring relative = base.empty() ? name : base + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            tree[relative + L"\\"] = {};
            auto sub = readTree(root + L"\\" + name, relative);
            tree.insert(sub.begin(), sub.end());
        } else {
            tree[relative] = fileBytes(root + L"\\" + name);
        }
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return tree;
}

using Tree = std::map<std::wstring, std::vector<uint8_t>>;

// A fresh, empty folder under the temporary folder, removed afterwards.
struct ScratchFolder {
    std::wstring path;
    explicit ScratchFolder(const wchar_t* name) {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        static int serial = 0;
        path = std::wstring(temp) + name + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++serial);
        CreateDirectoryW(path.c_str(), nullptr);
    }
    ~ScratchFolder() { deleteFolderTree(path.c_str()); }
};

// A drop target that copies with the engine above, on the calling thread or,
// when the data object allows it, on a thread of its own as the shell does.
class CopyEngineTarget final : public IDropTarget {
public:
    CopyEngineTarget(std::wstring root, bool asynchronous) : root_(std::move(root)), asynchronous_(asynchronous) {}
    ~CopyEngineTarget() {
        if (worker_.joinable()) worker_.join();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (riid == IID_IUnknown || riid == IID_IDropTarget) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE DragEnter(IDataObject*, DWORD, POINTL, DWORD* effect) override {
        *effect &= DROPEFFECT_COPY;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DragOver(DWORD, POINTL, DWORD*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE DragLeave() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Drop(IDataObject* data, DWORD, POINTL, DWORD* effect) override {
        *effect = DROPEFFECT_COPY;
        if (!asynchronous_) {
            result = copyOut(data, root_);
            return S_OK;
        }
        // The shell takes the operation before it returns from Drop and
        // copies on its own thread.
        IDataObjectAsyncCapability* async = nullptr;
        if (FAILED(data->QueryInterface(IID_IDataObjectAsyncCapability, reinterpret_cast<void**>(&async))))
            return E_FAIL;
        async->StartOperation(nullptr);
        data->AddRef();
        worker_ = std::thread([this, data, async] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            result = copyOut(data, root_, 4096, false);
            data->Release();
            async->EndOperation(result, nullptr, DROPEFFECT_COPY);
            async->Release();
            CoUninitialize();
        });
        return S_OK;
    }

    HRESULT result = E_PENDING;

private:
    std::wstring root_;
    bool asynchronous_;
    std::thread worker_;
};

}  // namespace zorvex::shell
