// The module on Windows: DllMain, and the registration of the server in the
// registry under HKEY_CLASSES_ROOT (DllRegisterServer, DllUnregisterServer).
//
// Registration writes three scripts of entries, each a list of keys and
// string values: the AppID entries, then each class's entries in class-table
// order, and finally registers the type library from the module's own file.
// Unregistration removes the classes, then the type library, then the AppID
// entries. The keys AppID and CLSID themselves are never removed.
#include <windows.h>
#include <oleauto.h>
#include <olectl.h>

#include <cstdio>
#include <new>
#include <string>

#include <tessaline/guid_text.h>

#include "server/class_table.h"
#include "server/module.h"

namespace {

HMODULE g_module = nullptr;

const GUID APPID_Tessaline = {0x21B21529, 0xBB2B, 0x4468, {0x82, 0x02, 0x5A, 0x97, 0xFA, 0x6A, 0xE3, 0xB3}};

// The calling thread's locale is the system default for the duration of a
// registration, and is restored on every path.
class SystemLocaleScope {
public:
    SystemLocaleScope() : saved_(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
    ~SystemLocaleScope() { SetThreadLocale(saved_); }
    SystemLocaleScope(const SystemLocaleScope&) = delete;
    SystemLocaleScope& operator=(const SystemLocaleScope&) = delete;

private:
    LCID saved_;
};

// The module's full path as the system reports it. A path that fills the
// buffer may have been cut short, and fails.
HRESULT ModulePath(char (&path)[MAX_PATH]) {
    const DWORD length = GetModuleFileNameA(g_module, path, MAX_PATH);
    if (length == 0) return HRESULT_FROM_WIN32(GetLastError());
    if (length >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    return S_OK;
}

// ---------------------------------------------------------------------------
// Scripts

// One entry: a key below HKEY_CLASSES_ROOT and, unless `data` is null, one
// string value in it (`value` null: the default value). A `fresh` key is
// deleted with everything below it before it is written.
struct Entry {
    const char* key;
    const char* value;
    const char* data;
    bool fresh;
};

// Text substituted for %NAME% in keys and data.
struct Variable {
    const char* name;
    std::string text;
};

const Entry kAppIdScript[] = {
    {"AppID\\%APPID%", nullptr, "Tessaline", false},
    {"AppID\\Tessaline.DLL", "AppID", "%APPID%", false},
};

const Entry kClassScript[] = {
    {"%PROGID%.1", nullptr, "%DESCRIPTION%", false},
    {"%PROGID%.1\\CLSID", nullptr, "%CLSID%", false},
    {"%PROGID%", nullptr, "%DESCRIPTION%", false},
    {"%PROGID%\\CLSID", nullptr, "%CLSID%", false},
    {"%PROGID%\\CurVer", nullptr, "%PROGID%.1", false},
    {"CLSID\\%CLSID%", nullptr, "%DESCRIPTION%", true},
    {"CLSID\\%CLSID%", "AppID", "%APPID%", false},
    {"CLSID\\%CLSID%\\ProgID", nullptr, "%PROGID%.1", false},
    {"CLSID\\%CLSID%\\VersionIndependentProgID", nullptr, "%PROGID%", false},
    {"CLSID\\%CLSID%\\Programmable", nullptr, nullptr, true},
    {"CLSID\\%CLSID%\\InprocServer32", nullptr, "%MODULE%", false},
    {"CLSID\\%CLSID%\\InprocServer32", "ThreadingModel", "Apartment", false},
    {"CLSID\\%CLSID%\\TypeLib", nullptr, "%LIBID%", false},
};

struct ClassNames {
    const CLSID* clsid;
    const char* progid;
    const char* description;
};

const ClassNames kClassNames[] = {
    {&CLSID_USBFAX, "Tessaline.USBFAX", "USBFAX Class"},
    {&CLSID_IUSBEWS, "Tessaline.IUSBEWS", "IUSBEWS Class"},
};

const ClassNames* NamesOf(const CLSID& clsid) {
    for (const ClassNames& names : kClassNames) {
        if (IsEqualGUID(*names.clsid, clsid)) return &names;
    }
    return nullptr;
}

std::string Expand(const char* pattern, const Variable* vars, std::size_t var_count) {
    std::string out = pattern;
    for (std::size_t i = 0; i < var_count; ++i) {
        const std::string token = std::string("%") + vars[i].name + "%";
        for (std::size_t at = out.find(token); at != std::string::npos; at = out.find(token, at + vars[i].text.size()))
            out.replace(at, token.size(), vars[i].text);
    }
    return out;
}

// Deletes a key with everything below it; a key that is not there is passed
// over.
LONG DeleteTree(const std::string& key) {
    const LONG rc = RegDeleteTreeA(HKEY_CLASSES_ROOT, key.c_str());
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

LONG WriteEntry(const std::string& key, const char* value, const std::string* data) {
    HKEY h = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                              &h, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    if (data) {
        rc = RegSetValueExA(h, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(data->c_str()),
                            static_cast<DWORD>(data->size() + 1));
    }
    RegCloseKey(h);
    return rc;
}

// Removes every key of the script with everything below it, the deepest
// first. The first failure is returned; keys not there are passed over.
HRESULT Unregister(const Entry* script, std::size_t count, const Variable* vars, std::size_t var_count) {
    for (std::size_t i = count; i-- > 0;) {
        const LONG rc = DeleteTree(Expand(script[i].key, vars, var_count));
        if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    }
    return S_OK;
}

// Writes the script's entries in order. A script that fails part-way is
// undone as by unregistration before the error is returned.
HRESULT Register(const Entry* script, std::size_t count, const Variable* vars, std::size_t var_count) {
    for (std::size_t i = 0; i < count; ++i) {
        const Entry& e = script[i];
        const std::string key = Expand(e.key, vars, var_count);
        LONG rc = e.fresh ? DeleteTree(key) : ERROR_SUCCESS;
        if (rc == ERROR_SUCCESS) {
            if (e.data) {
                const std::string data = Expand(e.data, vars, var_count);
                rc = WriteEntry(key, e.value, &data);
            } else {
                rc = WriteEntry(key, nullptr, nullptr);
            }
        }
        if (rc != ERROR_SUCCESS) {
            Unregister(script, count, vars, var_count);
            return HRESULT_FROM_WIN32(rc);
        }
    }
    return S_OK;
}

enum class Mode { Register, Unregister };

HRESULT RunScript(Mode mode, const Entry* script, std::size_t count, const Variable* vars, std::size_t var_count) {
    return mode == Mode::Register ? Register(script, count, vars, var_count)
                                  : Unregister(script, count, vars, var_count);
}

HRESULT RunAppIdScript(Mode mode, const std::string& module) {
    const Variable vars[] = {{"APPID", tessaline::GuidText(APPID_Tessaline)}, {"MODULE", module}};
    return RunScript(mode, kAppIdScript, std::size(kAppIdScript), vars, std::size(vars));
}

HRESULT RunClassScript(Mode mode, const CLSID& clsid, const std::string& module) {
    const ClassNames* names = NamesOf(clsid);
    if (!names) return E_UNEXPECTED;
    const Variable vars[] = {
        {"APPID", tessaline::GuidText(APPID_Tessaline)},
        {"MODULE", module},
        {"CLSID", tessaline::GuidText(clsid)},
        {"LIBID", tessaline::GuidText(LIBID_TessalineLib)},
        {"PROGID", names->progid},
        {"DESCRIPTION", names->description},
    };
    return RunScript(mode, kClassScript, std::size(kClassScript), vars, std::size(vars));
}

// Each class's script in class-table order, stopping at the first failure.
HRESULT RunClassScripts(Mode mode, const std::string& module) {
    for (int i = 0; const CLSID* clsid = ClassTableEntry(i); ++i) {
        if (HRESULT hr = RunClassScript(mode, *clsid, module); FAILED(hr)) return hr;
    }
    return S_OK;
}

// ---------------------------------------------------------------------------
// The type library, from the TYPELIB resource of the module's own file

HRESULT LoadOwnTypeLib(const char* path, wchar_t (&wide)[MAX_PATH], ITypeLib** library) {
    *library = nullptr;
    if (!MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH)) return HRESULT_FROM_WIN32(GetLastError());
    return LoadTypeLibEx(wide, REGKIND_NONE, library);
}

HRESULT RegisterOwnTypeLib(const char* path) {
    wchar_t wide[MAX_PATH];
    ITypeLib* library = nullptr;
    HRESULT hr = LoadOwnTypeLib(path, wide, &library);
    if (FAILED(hr)) return hr;
    hr = RegisterTypeLib(library, wide, nullptr);
    library->Release();
    return hr;
}

HRESULT UnregisterOwnTypeLib(const char* path) {
    wchar_t wide[MAX_PATH];
    ITypeLib* library = nullptr;
    HRESULT hr = LoadOwnTypeLib(path, wide, &library);
    if (FAILED(hr)) return hr;
    TLIBATTR* attr = nullptr;
    hr = library->GetLibAttr(&attr);
    if (FAILED(hr)) {
        library->Release();
        return hr;
    }
    const GUID guid = attr->guid;
    const WORD major = attr->wMajorVerNum;
    const WORD minor = attr->wMinorVerNum;
    const LCID lcid = attr->lcid;
    const SYSKIND syskind = attr->syskind;
    library->ReleaseTLibAttr(attr);
    library->Release();

    // Not registered: there is nothing to remove.
    BSTR registered = nullptr;
    if (FAILED(QueryPathOfRegTypeLib(guid, major, minor, lcid, &registered))) return S_OK;
    SysFreeString(registered);

    hr = UnRegisterTypeLib(guid, major, minor, lcid, syskind);
    if (FAILED(hr)) {
        // The removal reads the library from its registered file. When that
        // file has gone (the module was moved since), point the registration
        // at this module and remove it again.
        if (SUCCEEDED(RegisterOwnTypeLib(path))) hr = UnRegisterTypeLib(guid, major, minor, lcid, syskind);
    }
    return hr;
}

HRESULT RegisterServer() {
    char path[MAX_PATH];
    if (HRESULT hr = ModulePath(path); FAILED(hr)) return hr;
    const std::string module = path;
    if (HRESULT hr = RunAppIdScript(Mode::Register, module); FAILED(hr)) return hr;
    if (HRESULT hr = RunClassScripts(Mode::Register, module); FAILED(hr)) return hr;
    return RegisterOwnTypeLib(path);
}

HRESULT UnregisterServer() {
    char path[MAX_PATH];
    if (HRESULT hr = ModulePath(path); FAILED(hr)) return hr;
    const std::string module = path;
    if (HRESULT hr = RunClassScripts(Mode::Unregister, module); FAILED(hr)) return hr;
    if (HRESULT hr = UnregisterOwnTypeLib(path); FAILED(hr)) return hr;
    return RunAppIdScript(Mode::Unregister, module);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            g_module = instance;
            DisableThreadLibraryCalls(instance);
            // Without its locks the module cannot work: refuse the load.
            return ModuleInitialize() ? TRUE : FALSE;
        case DLL_PROCESS_DETACH:
            // When the whole process is ending, other threads are gone
            // already and the system reclaims everything; only an unload
            // while the process goes on releases what the module holds.
            if (!reserved) ModuleTerminate();
            break;
        default:
            break;
    }
    return TRUE;
}

STDAPI DllRegisterServer() {
    SystemLocaleScope locale;
    try {
        return RegisterServer();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

STDAPI DllUnregisterServer() {
    SystemLocaleScope locale;
    try {
        return UnregisterServer();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}
