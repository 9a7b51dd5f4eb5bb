// DllRegisterServer and DllUnregisterServer: the class, its file type, the
// per-extension associations and the menu handler keys under
// HKEY_CLASSES_ROOT. Values that other programs set are left alone.
#include <windows.h>

#include <objbase.h>
#include <shlobj.h>

#include <string>

#include "engine/format_registry.h"
#include "shell/module.h"

namespace zorvex::shell {

namespace {

constexpr wchar_t kProgId[] = L"ZorvexArchive";
constexpr wchar_t kCategory[] = L"\\Implemented Categories\\{00021490-0000-0000-C000-000000000046}";
constexpr const wchar_t* kHandlerPrefixes[] = {
    L"*\\shellex\\ContextMenuHandlers\\",
    L"Folder\\shellex\\DragDropHandlers\\",
    L"Folder\\shellex\\ContextMenuHandlers\\",
    L"Directory\\Background\\shellex\\ContextMenuHandlers\\",
    L"LibraryFolder\\background\\shellex\\ContextMenuHandlers\\",
};
constexpr wchar_t kHandlerName[] = L"zorvex extractor";

std::wstring clsidString() {
    wchar_t text[40];
    StringFromGUID2(kClsid, text, 40);
    return text;
}

HKEY createKey(const std::wstring& path, REGSAM access) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, access, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return nullptr;
    return key;
}

void setString(HKEY key, const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ) {
    RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

enum class DefaultValue { kAbsent, kPresent, kTooLong };

// Reads a key's default value into a 200-byte buffer. A value too long for it
// is still somebody's value: it is reported as such, never as absent.
DefaultValue readDefault(HKEY key, std::wstring* value) {
    wchar_t buffer[100] = {};
    DWORD bytes = sizeof buffer - sizeof(wchar_t);
    LONG rc = RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &bytes);
    if (rc == ERROR_MORE_DATA) return DefaultValue::kTooLong;
    if (rc != ERROR_SUCCESS || buffer[0] == 0) return DefaultValue::kAbsent;
    *value = buffer;
    return DefaultValue::kPresent;
}

// Sets the default value of a key unless it already has a non-empty one.
void setDefaultIfEmpty(const std::wstring& path, const std::wstring& value) {
    HKEY key = createKey(path, KEY_WRITE | KEY_QUERY_VALUE);
    if (!key) return;
    std::wstring existing;
    if (readDefault(key, &existing) == DefaultValue::kAbsent) setString(key, nullptr, value);
    RegCloseKey(key);
}

// Creates a key and sets its default value (when given). False when the key
// cannot be created.
bool writeKey(const std::wstring& path, const wchar_t* value, DWORD type = REG_SZ) {
    HKEY key = createKey(path, KEY_WRITE);
    if (!key) return false;
    if (value) setString(key, nullptr, value, type);
    RegCloseKey(key);
    return true;
}

std::wstring wide(const char16_t* text) { return std::wstring(text, text + std::char_traits<char16_t>::length(text)); }

void registerExtension(const char16_t* extension, void* context) {
    const std::wstring& clsid = *static_cast<const std::wstring*>(context);
    std::wstring e = wide(extension);
    setDefaultIfEmpty(e, kProgId);
    setDefaultIfEmpty(L"SystemFileAssociations\\" + e + L"\\CLSID", clsid);
}

// Deletes a key that holds nothing any more: no value and no subkey.
void deleteIfEmpty(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return;
    DWORD subkeys = 0, values = 0;
    LONG rc = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                               nullptr, nullptr);
    RegCloseKey(key);
    if (rc == ERROR_SUCCESS && subkeys == 0 && values == 0) RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str());
}

// Removes the default value that registration wrote (when it still reads
// `ours`) and then the key if nothing else is in it. Other programs keep
// their own values and subkeys in these keys ("Content Type",
// "PerceivedType", OpenWithProgids ...).
void removeOwnDefault(const std::wstring& path, const std::wstring& ours) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    std::wstring value;
    if (readDefault(key, &value) == DefaultValue::kPresent && value == ours) RegDeleteValueW(key, nullptr);
    RegCloseKey(key);
    deleteIfEmpty(path);
}

void unregisterExtension(const char16_t* extension, void* context) {
    const std::wstring& clsid = *static_cast<const std::wstring*>(context);
    std::wstring e = wide(extension);
    removeOwnDefault(e, kProgId);
    std::wstring association = L"SystemFileAssociations\\" + e;
    removeOwnDefault(association + L"\\CLSID", clsid);
    deleteIfEmpty(association);
}

bool libraryFolderExists() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"LibraryFolder", 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

}  // namespace

}  // namespace zorvex::shell

using namespace zorvex::shell;

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    const std::wstring clsid = clsidString();
    zorvex::forEachExtension(registerExtension, const_cast<std::wstring*>(&clsid));

    const std::wstring classKey = L"CLSID\\" + clsid;
    wchar_t modulePath[MAX_PATH] = {};
    GetModuleFileNameW(moduleHandle(), modulePath, MAX_PATH);

    if (!writeKey(classKey, L"zorvex extractor")) return E_ACCESSDENIED;
    HKEY key = createKey(classKey + L"\\InProcServer32", KEY_WRITE);
    if (!key) return E_ACCESSDENIED;
    setString(key, nullptr, modulePath);
    setString(key, L"ThreadingModel", L"Apartment");
    RegCloseKey(key);
    key = createKey(classKey + L"\\ShellFolder", KEY_WRITE);
    if (!key) return E_ACCESSDENIED;
    DWORD attributes = SFGAO_FOLDER | SFGAO_FILESYSANCESTOR;
    RegSetValueExW(key, L"Attributes", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&attributes), sizeof attributes);
    RegCloseKey(key);
    if (!writeKey(classKey + kCategory, nullptr)) return E_ACCESSDENIED;

    const std::wstring progId = kProgId;
    if (!writeKey(progId, kProgId) || !writeKey(progId + L"\\CLSID", clsid.c_str()) ||
        !writeKey(progId + L"\\DefaultIcon", L"%SystemRoot%\\system32\\zipfldr.dll", REG_EXPAND_SZ) ||
        !writeKey(progId + L"\\shell", L"open"))
        return E_ACCESSDENIED;

    const bool withLibraries = libraryFolderExists();
    for (const wchar_t* prefix : kHandlerPrefixes) {
        std::wstring path = std::wstring(prefix) + kHandlerName;
        if (path.rfind(L"LibraryFolder", 0) == 0 && !withLibraries) continue;
        if (!writeKey(path, clsid.c_str())) return E_ACCESSDENIED;
    }
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    const std::wstring clsid = clsidString();
    zorvex::forEachExtension(unregisterExtension, const_cast<std::wstring*>(&clsid));

    const std::wstring classKey = L"CLSID\\" + clsid;
    const std::wstring classKeys[] = {classKey + kCategory, classKey + L"\\Implemented Categories",
                                      classKey + L"\\ShellFolder", classKey + L"\\InProcServer32", classKey};
    for (const std::wstring& path : classKeys)
        if (RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str()) != ERROR_SUCCESS) return E_ACCESSDENIED;

    const std::wstring progId = kProgId;
    for (const wchar_t* sub : {L"\\CLSID", L"\\DefaultIcon", L"\\shell", L""})
        RegDeleteKeyW(HKEY_CLASSES_ROOT, (progId + sub).c_str());
    for (const wchar_t* prefix : kHandlerPrefixes)
        RegDeleteKeyW(HKEY_CLASSES_ROOT, (std::wstring(prefix) + kHandlerName).c_str());
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    return S_OK;
}
