// DllGetClassObject for the portable test programs that create the
// automation objects (tools/com_ref.h): on Windows they come from
// Tessaline.dll beside the program, loaded once, as a host gets them.
#include <windows.h>

#include "program_dir.h"

#include <string>

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    static const GetClassObjectFn get = [] {
        HMODULE module = LoadLibraryA((ProgramDirectory() + "Tessaline.dll").c_str());
        return module ? reinterpret_cast<GetClassObjectFn>(
                            reinterpret_cast<void (*)()>(GetProcAddress(module, "DllGetClassObject")))
                      : nullptr;
    }();
    if (!get) return E_FAIL;
    return get(clsid, iid, out);
}

