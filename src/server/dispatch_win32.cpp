// IDispatch for the automation objects on Windows, answered from the type
// description of their interface in the registered type library.
//
// Each interface's description is loaded on first need, under the module's
// type-information lock, and kept with a table of its method names until the
// module unloads; every object of the process shares it.
#include <windows.h>
#include <oleauto.h>

#include <cwchar>

#include "platform/server_mutex.h"
#include "server/dispatch.h"

namespace {

// The locale the type library is registered for.
constexpr LCID kLibraryLocale = 0x409;
// More than either interface has functions, inherited ones included.
constexpr UINT kMaxNames = 32;

struct MethodName {
    BSTR name;
    DISPID id;
};

struct CachedTypeInfo {
    ITypeInfo* info = nullptr;
    MethodName names[kMaxNames] = {};
    UINT count = 0;
};

CachedTypeInfo g_cache[2];

const IID& InterfaceId(DispatchInterface which) {
    return which == DispatchInterface::USBFAX ? IID_IUSBFAX : IID_IIUSBEWS;
}

CachedTypeInfo& Cache(DispatchInterface which) { return g_cache[static_cast<int>(which)]; }

// The names of the description's functions and their DISPIDs, as the
// description gives them.
void BuildNameTable(ITypeInfo* info, CachedTypeInfo& cache) {
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) return;
    for (UINT i = 0; i < attr->cFuncs && cache.count < kMaxNames; ++i) {
        FUNCDESC* func = nullptr;
        if (FAILED(info->GetFuncDesc(i, &func))) continue;
        BSTR name = nullptr;
        if (SUCCEEDED(info->GetDocumentation(func->memid, &name, nullptr, nullptr, nullptr)) && name) {
            cache.names[cache.count++] = {name, func->memid};
        }
        info->ReleaseFuncDesc(func);
    }
    info->ReleaseTypeAttr(attr);
}

// The cached description of `which`, loaded from the registered type library
// on first need. The pointer stays valid until the module unloads.
HRESULT TypeInfoFor(DispatchInterface which, LCID lcid, ITypeInfo** out) {
    *out = nullptr;
    plat::ServerMutexGuard guard(plat::ServerMutex::TypeInfo);
    CachedTypeInfo& cache = Cache(which);
    if (cache.info) {
        *out = cache.info;
        return S_OK;
    }
    ITypeLib* library = nullptr;
    HRESULT hr = LoadRegTypeLib(LIBID_TessalineLib, 1, 0, lcid, &library);
    if (FAILED(hr) && lcid != kLibraryLocale) {
        // The library is registered for its own locale only. A caller of
        // another locale (script hosts pass 0) gets the same description;
        // when the library is not registered at all, the first error stands.
        if (SUCCEEDED(LoadRegTypeLib(LIBID_TessalineLib, 1, 0, kLibraryLocale, &library))) hr = S_OK;
    }
    if (FAILED(hr)) return hr;
    ITypeInfo* info = nullptr;
    hr = library->GetTypeInfoOfGuid(InterfaceId(which), &info);
    library->Release();
    if (FAILED(hr)) return hr;
    BuildNameTable(info, cache);
    cache.info = info;
    *out = info;
    return S_OK;
}

// A method name, compared case-sensitively and by length.
bool FindExactName(const CachedTypeInfo& cache, const OLECHAR* name, DISPID* id) {
    const std::size_t length = std::wcslen(name);
    for (UINT i = 0; i < cache.count; ++i) {
        const BSTR candidate = cache.names[i].name;
        if (SysStringLen(candidate) == length && std::wmemcmp(candidate, name, length) == 0) {
            *id = cache.names[i].id;
            return true;
        }
    }
    return false;
}

}  // namespace

HRESULT DispatchGetTypeInfoCount(UINT* pctinfo) {
    if (!pctinfo) return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

HRESULT DispatchGetTypeInfo(DispatchInterface which, UINT /*iTInfo: there is one*/, LCID lcid, ITypeInfo** ppTInfo) {
    if (!ppTInfo) return E_POINTER;
    ITypeInfo* info = nullptr;
    HRESULT hr = TypeInfoFor(which, lcid, &info);
    if (FAILED(hr)) return hr;
    info->AddRef();
    *ppTInfo = info;
    return S_OK;
}

HRESULT DispatchGetIDsOfNames(DispatchInterface which, REFIID /*riid*/, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                              DISPID* rgDispId) {
    if (!rgszNames || !rgDispId) return E_POINTER;
    ITypeInfo* info = nullptr;
    HRESULT hr = TypeInfoFor(which, lcid, &info);
    if (FAILED(hr)) return hr;
    if (cNames == 1 && rgszNames[0]) {
        // The table is complete once the description is loaded and never
        // changes afterwards, so it is read without the lock.
        if (FindExactName(Cache(which), rgszNames[0], &rgDispId[0])) return S_OK;
    }
    // Several names, or another spelling: the description's own lookup,
    // which ignores case and also knows the parameter names.
    return DispGetIDsOfNames(info, rgszNames, cNames, rgDispId);
}

HRESULT DispatchInvoke(DispatchInterface which, IDispatch* self, DISPID dispIdMember, REFIID /*riid*/, LCID lcid,
                       WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                       UINT* puArgErr) {
    ITypeInfo* info = nullptr;
    HRESULT hr = TypeInfoFor(which, lcid, &info);
    if (FAILED(hr)) return hr;
    return info->Invoke(self, dispIdMember, wFlags, pDispParams, pVarResult, pExcepInfo, puArgErr);
}

void ReleaseTypeInfoCache() {
    plat::ServerMutexGuard guard(plat::ServerMutex::TypeInfo);
    for (CachedTypeInfo& cache : g_cache) {
        for (UINT i = 0; i < cache.count; ++i) SysFreeString(cache.names[i].name);
        cache.count = 0;
        if (cache.info) cache.info->Release();
        cache.info = nullptr;
    }
}
