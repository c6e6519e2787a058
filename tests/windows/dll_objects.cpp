// DllGetClassObject for the portable test programs that create the
// automation objects (tools/com_ref.h): on Windows they come from
// Tessaline.dll beside the program, loaded once, as a host gets them.
#include <windows.h>

#include <string>

namespace {

std::string ProgramDir() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, n);
    return dir.substr(0, dir.find_last_of('\\') + 1);
}

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    static const GetClassObjectFn get = [] {
        HMODULE module = LoadLibraryA((ProgramDir() + "Tessaline.dll").c_str());
        return module ? reinterpret_cast<GetClassObjectFn>(
                            reinterpret_cast<void (*)()>(GetProcAddress(module, "DllGetClassObject")))
                      : nullptr;
    }();
    if (!get) return E_FAIL;
    return get(clsid, iid, out);
}

