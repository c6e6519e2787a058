// IDispatch where there is no type library (POSIX): every operation
// answers E_NOTIMPL.
#include "server/dispatch.h"

HRESULT DispatchGetTypeInfoCount(UINT*) { return E_NOTIMPL; }

HRESULT DispatchGetTypeInfo(DispatchInterface, UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }

HRESULT DispatchGetIDsOfNames(DispatchInterface, REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }

HRESULT DispatchInvoke(DispatchInterface, IDispatch*, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                       UINT*) {
    return E_NOTIMPL;
}

void ReleaseTypeInfoCache() {}
