/*
 * The few types of the component object model that Tessaline's automation
 * objects need.
 *
 * On Windows they are the platform's own. Elsewhere this header defines them
 * with the same layouts and the same interface slot order, so that an object
 * built from the same sources presents the same interface tables on every
 * platform, to C and C++ hosts alike: in C++ an interface is an abstract class
 * whose virtual functions are its slots; in C it is a struct whose first
 * member points to a table of function pointers in that order.
 */
#ifndef TESSALINE_COM_H
#define TESSALINE_COM_H

#ifdef _WIN32

#include <objbase.h>
#include <oaidl.h>

#define TSL_API_EXPORT
typedef unsigned long TSL_ULONG; /* 32 bits on every Windows ABI */

#else /* !_WIN32 */

#include <stdint.h>
#include <string.h>

#define TSL_API_EXPORT __attribute__((visibility("default")))
typedef uint32_t TSL_ULONG;

typedef int32_t HRESULT;
typedef uint32_t ULONG;
typedef int32_t BOOL;
typedef uint32_t UINT;
typedef uint16_t WORD;
typedef uint32_t LCID;
typedef int32_t DISPID;
typedef char* LPSTR;

#ifdef __cplusplus
typedef char16_t OLECHAR;
#else
typedef uint16_t OLECHAR;
#endif
typedef OLECHAR* LPOLESTR;

#define STDMETHODCALLTYPE
#define STDAPICALLTYPE

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001)
#define E_NOINTERFACE ((HRESULT)0x80004002)
#define E_POINTER ((HRESULT)0x80004003)
#define E_FAIL ((HRESULT)0x80004005)
#define E_OUTOFMEMORY ((HRESULT)0x8007000E)
#define E_INVALIDARG ((HRESULT)0x80070057)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110)
#define CLASS_E_CLASSNOTAVAILABLE ((HRESULT)0x80040111)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
typedef GUID IID;
typedef GUID CLSID;

#ifdef __cplusplus
#define REFGUID const GUID&
#define REFIID const IID&
#define REFCLSID const CLSID&
inline bool IsEqualGUID(REFGUID a, REFGUID b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }
#else
#define REFGUID const GUID*
#define REFIID const IID*
#define REFCLSID const CLSID*
#define IsEqualGUID(a, b) (memcmp((a), (b), sizeof(GUID)) == 0)
#endif

#if defined(__GNUC__) && !defined(TSL_UNUSED)
#define TSL_UNUSED __attribute__((unused))
#elif !defined(TSL_UNUSED)
#define TSL_UNUSED
#endif

static const IID IID_IUnknown TSL_UNUSED = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const IID IID_IClassFactory TSL_UNUSED = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const IID IID_IDispatch TSL_UNUSED = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

/* Automation runtime types, which exist only behind pointers here: there is
 * no type library on this platform, and IDispatch answers E_NOTIMPL. */
typedef struct ITypeInfo ITypeInfo;
typedef struct tagDISPPARAMS DISPPARAMS;
typedef struct tagVARIANT VARIANT;
typedef struct tagEXCEPINFO EXCEPINFO;

#ifdef __cplusplus

struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
};

struct IClassFactory : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;
};

struct IDispatch : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                                    DISPID* rgDispId) = 0;
    virtual HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                             DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                             UINT* puArgErr) = 0;
};

#else /* C */

typedef struct IUnknown IUnknown;
typedef struct IUnknownVtbl {
    HRESULT (*QueryInterface)(IUnknown* This, REFIID riid, void** ppvObject);
    ULONG (*AddRef)(IUnknown* This);
    ULONG (*Release)(IUnknown* This);
} IUnknownVtbl;
struct IUnknown {
    const IUnknownVtbl* lpVtbl;
};

typedef struct IClassFactory IClassFactory;
typedef struct IClassFactoryVtbl {
    HRESULT (*QueryInterface)(IClassFactory* This, REFIID riid, void** ppvObject);
    ULONG (*AddRef)(IClassFactory* This);
    ULONG (*Release)(IClassFactory* This);
    HRESULT (*CreateInstance)(IClassFactory* This, IUnknown* pUnkOuter, REFIID riid, void** ppvObject);
    HRESULT (*LockServer)(IClassFactory* This, BOOL fLock);
} IClassFactoryVtbl;
struct IClassFactory {
    const IClassFactoryVtbl* lpVtbl;
};

#endif /* __cplusplus */

#endif /* _WIN32 */

#endif /* TESSALINE_COM_H */
