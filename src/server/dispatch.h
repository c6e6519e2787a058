// IDispatch for the automation objects, answered from the type description
// of their interface in the registered type library. Where the platform has
// no type library, every operation answers E_NOTIMPL and the objects are
// used through their interface tables only.
#ifndef TESSALINE_SERVER_DISPATCH_H
#define TESSALINE_SERVER_DISPATCH_H

#include <tessaline/tessaline.h>

enum class DispatchInterface { USBFAX = 0, IUSBEWS = 1 };

HRESULT DispatchGetTypeInfoCount(UINT* pctinfo);
HRESULT DispatchGetTypeInfo(DispatchInterface which, UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo);
HRESULT DispatchGetIDsOfNames(DispatchInterface which, REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                              DISPID* rgDispId);
HRESULT DispatchInvoke(DispatchInterface which, IDispatch* self, DISPID dispIdMember, REFIID riid, LCID lcid,
                       WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                       UINT* puArgErr);

// Releases the cached type descriptions (at module unload).
void ReleaseTypeInfoCache();

#endif
