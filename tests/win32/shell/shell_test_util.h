// Helpers shared by the COM server tests: fixtures from the environment,
// owning wrappers for COM pointers and identifier lists, archive folders.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <shlobj.h>
#include <shlwapi.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "shell/module.h"

namespace zorvex::shell {

inline std::wstring environment(const wchar_t* name) {
    wchar_t buffer[1024];
    DWORD n = GetEnvironmentVariableW(name, buffer, 1024);
    return n > 0 && n < 1024 ? std::wstring(buffer, n) : std::wstring();
}

inline std::wstring fixtures() { return environment(L"ZORVEX_SHELL_FIXTURES"); }

inline std::vector<uint8_t> fileBytes(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Frees a task-allocated item identifier list on scope exit.
struct IdList {
    LPITEMIDLIST p = nullptr;
    ~IdList() { CoTaskMemFree(p); }
    LPITEMIDLIST* out() { return &p; }
};

template <class T>
struct Com {
    T* p = nullptr;
    ~Com() {
        if (p) p->Release();
    }
    T* operator->() const { return p; }
    void** out() { return reinterpret_cast<void**>(&p); }
};

inline std::wstring takeString(STRRET& value) {
    wchar_t* text = nullptr;
    if (FAILED(StrRetToStrW(&value, nullptr, &text))) return L"<failed>";
    std::wstring out = text;
    CoTaskMemFree(text);
    return out;
}

// A folder object of the library bound to the archive file at `path`.
inline void openArchiveFolder(const std::wstring& path, Com<IShellFolder2>& folder, IdList& own) {
    ASSERT_EQ(CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IShellFolder2, folder.out()), S_OK);
    Com<IPersistFolder> persist;
    ASSERT_EQ(folder->QueryInterface(IID_IPersistFolder, persist.out()), S_OK);
    ASSERT_EQ(SHParseDisplayName(path.c_str(), nullptr, own.out(), 0, nullptr), S_OK);
    ASSERT_EQ(persist->Initialize(own.p), S_OK);
}

// The UI object `riid` of the children `names` of `folder`, as the view asks
// for it for a selection.
template <class T>
T* uiObjectOf(IShellFolder* folder, const std::vector<std::wstring>& names, REFIID riid) {
    std::vector<LPITEMIDLIST> items;
    for (const std::wstring& name : names) {
        std::wstring copy = name;
        LPITEMIDLIST item = nullptr;
        EXPECT_EQ(folder->ParseDisplayName(nullptr, nullptr, copy.data(), nullptr, &item, nullptr), S_OK)
            << name.c_str();
        items.push_back(item);
    }
    T* object = nullptr;
    EXPECT_EQ(folder->GetUIObjectOf(nullptr, static_cast<UINT>(items.size()),
                                    const_cast<PCUITEMID_CHILD_ARRAY>(items.data()), riid, nullptr,
                                    reinterpret_cast<void**>(&object)),
              S_OK);
    for (LPITEMIDLIST item : items) CoTaskMemFree(item);
    return object;
}

// The path of a program built beside this test program.
inline std::wstring besideTests(const wchar_t* name) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

// An entry's bytes, read through the folder.
inline std::vector<uint8_t> readAll(IShellFolder* folder, const wchar_t* name) {
    std::wstring copy = name;
    IdList item;
    folder->ParseDisplayName(nullptr, nullptr, copy.data(), nullptr, item.out(), nullptr);
    Com<IStream> stream;
    std::vector<uint8_t> bytes;
    if (FAILED(folder->BindToObject(item.p, nullptr, IID_IStream, stream.out()))) return bytes;
    uint8_t buffer[4096];
    ULONG got = 0;
    while (stream->Read(buffer, sizeof buffer, &got) == S_OK || got > 0) {
        bytes.insert(bytes.end(), buffer, buffer + got);
        got = 0;
    }
    return bytes;
}

inline std::vector<uint8_t> waitForFile(const std::wstring& path) {
    for (int i = 0; i < 300 && GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
    return fileBytes(path);
}

// Associates ".zvt" files, for the life of the object, with the stand-in
// program, which copies an opened file to `opened` and its path to
// `opened`.path.
struct TestFileType {
    explicit TestFileType(const std::wstring& opened) {
        const std::wstring command =
            L"\"" + besideTests(L"zorvex_stdin_capture.exe") + L"\" \"" + opened + L"\" \"%1\"";
        HKEY key;
        RegCreateKeyExW(HKEY_CLASSES_ROOT, L".zvt", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
        setDefault(key, L"ZorvexTestDocument");
        RegCreateKeyExW(HKEY_CLASSES_ROOT, L"ZorvexTestDocument\\shell\\open\\command", 0, nullptr, 0, KEY_WRITE,
                        nullptr, &key, nullptr);
        setDefault(key, command);
    }
    ~TestFileType() {
        RegDeleteTreeW(HKEY_CLASSES_ROOT, L"ZorvexTestDocument");
        RegDeleteTreeW(HKEY_CLASSES_ROOT, L".zvt");
    }
    static void setDefault(HKEY key, const std::wstring& value) {
        RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
};

}  // namespace zorvex::shell
