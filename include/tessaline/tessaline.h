/*
 * Tessaline: fax automation for USB multifunction printers.
 *
 * A host obtains a class object with DllGetClassObject, creates a USBFAX
 * (interface IUSBFAX) or IUSBEWS (interface IIUSBEWS) object with it, and
 * calls its methods. Every method stores a FAXSTATUS through its last
 * parameter and returns S_OK, or E_FAIL when that parameter is null. Records
 * are the caller's memory, in the layouts of fax_types.h.
 *
 * Usable from C and C++. In C, call through the table: p->lpVtbl->Method(p, ...).
 */
#ifndef TESSALINE_H
#define TESSALINE_H

#include <tessaline/fax_types.h>
#include <tessaline/tessaline_com.h>

/* Identities */
static const GUID LIBID_TessalineLib TSL_UNUSED = {
    0x31B87BF5, 0xADAB, 0x401B, {0xB8, 0x46, 0x6E, 0x4F, 0x59, 0xA3, 0xE9, 0x4C}};
static const CLSID CLSID_USBFAX TSL_UNUSED = {
    0x22C8CC4F, 0xDE73, 0x4DFC, {0x8A, 0x83, 0x2F, 0xB6, 0x5C, 0x16, 0x4E, 0xD6}};
static const CLSID CLSID_IUSBEWS TSL_UNUSED = {
    0x9DAB3A49, 0x026A, 0x4853, {0xAD, 0x94, 0x52, 0x1F, 0x6B, 0x5A, 0xBC, 0x20}};
static const IID IID_IUSBFAX TSL_UNUSED = {
    0x73886CDE, 0x833F, 0x45E1, {0x80, 0x95, 0xDD, 0x69, 0xC9, 0x39, 0x14, 0xDF}};
static const IID IID_IIUSBEWS TSL_UNUSED = {
    0x10480918, 0x725E, 0x48F1, {0xB6, 0x72, 0x45, 0xA0, 0x21, 0x25, 0x89, 0xF5}};

#ifdef __cplusplus

/* The fax automation object's interface; methods in DISPID order 1 to 13. */
struct IUSBFAX : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE SaveFaxSettings(DEFAULT_FAX_SETTINGS* pSettings, FAXSTATUS* pStat) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadFaxSettings(DEFAULT_FAX_SETTINGS* pSettings, FAXSTATUS* pStat) = 0;
    virtual HRESULT STDMETHODCALLTYPE CheckFaxPasswordSet(unsigned int* bFaxPasswordSet, FAXSTATUS* pStat) = 0;
    virtual HRESULT STDMETHODCALLTYPE CheckFaxPassword(char* szPassword, unsigned int* bPassFail,
                                                       FAXSTATUS* pStat) = 0;
    virtual HRESULT STDMETHODCALLTYPE SendFax(LPSTR pszFaxTiffFileName, unsigned int ulNumbers,
                                              FAX_RECIPIENT* phoneList, FAXSTATUS* pStatus) = 0;
    virtual HRESULT STDMETHODCALLTYPE WaitForReceivedFax(FAX_STATUS_ENUM* pReceivedStatus, FAXSTATUS* pStatus) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetReceivedFaxCount(unsigned int* pReceivedFaxCount, FAXSTATUS* pStatus) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetReceivedFaxList(FAX_FILENAME* pReceivedFaxes, unsigned int ulEntryCount,
                                                         FAXSTATUS* pStatus) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetReceivedFax(FAX_FILENAME* pFaxFileName, char* pszLocalFileName,
                                                     FAXSTATUS* pFaxStatus) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFaxLogEntry(FAX_FILENAME* pFaxFileName, FAX_LOG_ENTRY* pFaxLogEntry,
                                                     FAXSTATUS* pStatus) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveReceivedFax(FAX_FILENAME* pFaxFileName, FAXSTATUS* pStatus) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFaxReceiveSettings(TSL_ULONG* pValue, FAXSTATUS* pStatus) = 0;
    virtual HRESULT STDMETHODCALLTYPE CancelIO(FAXSTATUS* pStatus) = 0;
};

/* The pass-through object's interface: raw bytes on the EWS channel. */
struct IIUSBEWS : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE OpenEWS(FAXSTATUS* pStatus) = 0;
    virtual HRESULT STDMETHODCALLTYPE CloseEWS(FAXSTATUS* pStatus) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadEWS(unsigned char* pbyData, int cbCount, int* pBytesRead,
                                              FAXSTATUS* pStatus) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteEWS(unsigned char* pbyData, int cbCount, int* pBytesWritten,
                                               FAXSTATUS* pStatus) = 0;
};

#else /* C */

typedef struct IUSBFAX IUSBFAX;
typedef struct IUSBFAXVtbl {
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(IUSBFAX* This, REFIID riid, void** ppvObject);
    ULONG(STDMETHODCALLTYPE* AddRef)(IUSBFAX* This);
    ULONG(STDMETHODCALLTYPE* Release)(IUSBFAX* This);
    HRESULT(STDMETHODCALLTYPE* GetTypeInfoCount)(IUSBFAX* This, UINT* pctinfo);
    HRESULT(STDMETHODCALLTYPE* GetTypeInfo)(IUSBFAX* This, UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo);
    HRESULT(STDMETHODCALLTYPE* GetIDsOfNames)(IUSBFAX* This, REFIID riid, LPOLESTR* rgszNames, UINT cNames,
                                              LCID lcid, DISPID* rgDispId);
    HRESULT(STDMETHODCALLTYPE* Invoke)(IUSBFAX* This, DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                       DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                       UINT* puArgErr);
    HRESULT(STDMETHODCALLTYPE* SaveFaxSettings)(IUSBFAX* This, DEFAULT_FAX_SETTINGS* pSettings, FAXSTATUS* pStat);
    HRESULT(STDMETHODCALLTYPE* ReadFaxSettings)(IUSBFAX* This, DEFAULT_FAX_SETTINGS* pSettings, FAXSTATUS* pStat);
    HRESULT(STDMETHODCALLTYPE* CheckFaxPasswordSet)(IUSBFAX* This, unsigned int* bFaxPasswordSet, FAXSTATUS* pStat);
    HRESULT(STDMETHODCALLTYPE* CheckFaxPassword)(IUSBFAX* This, char* szPassword, unsigned int* bPassFail,
                                                 FAXSTATUS* pStat);
    HRESULT(STDMETHODCALLTYPE* SendFax)(IUSBFAX* This, LPSTR pszFaxTiffFileName, unsigned int ulNumbers,
                                        FAX_RECIPIENT* phoneList, FAXSTATUS* pStatus);
    HRESULT(STDMETHODCALLTYPE* WaitForReceivedFax)(IUSBFAX* This, FAX_STATUS_ENUM* pReceivedStatus,
                                                   FAXSTATUS* pStatus);
    HRESULT(STDMETHODCALLTYPE* GetReceivedFaxCount)(IUSBFAX* This, unsigned int* pReceivedFaxCount,
                                                    FAXSTATUS* pStatus);
    HRESULT(STDMETHODCALLTYPE* GetReceivedFaxList)(IUSBFAX* This, FAX_FILENAME* pReceivedFaxes,
                                                   unsigned int ulEntryCount, FAXSTATUS* pStatus);
    HRESULT(STDMETHODCALLTYPE* GetReceivedFax)(IUSBFAX* This, FAX_FILENAME* pFaxFileName, char* pszLocalFileName,
                                               FAXSTATUS* pFaxStatus);
    HRESULT(STDMETHODCALLTYPE* GetFaxLogEntry)(IUSBFAX* This, FAX_FILENAME* pFaxFileName,
                                               FAX_LOG_ENTRY* pFaxLogEntry, FAXSTATUS* pStatus);
    HRESULT(STDMETHODCALLTYPE* RemoveReceivedFax)(IUSBFAX* This, FAX_FILENAME* pFaxFileName, FAXSTATUS* pStatus);
    HRESULT(STDMETHODCALLTYPE* GetFaxReceiveSettings)(IUSBFAX* This, TSL_ULONG* pValue, FAXSTATUS* pStatus);
    HRESULT(STDMETHODCALLTYPE* CancelIO)(IUSBFAX* This, FAXSTATUS* pStatus);
} IUSBFAXVtbl;
struct IUSBFAX {
    const IUSBFAXVtbl* lpVtbl;
};

typedef struct IIUSBEWS IIUSBEWS;
typedef struct IIUSBEWSVtbl {
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(IIUSBEWS* This, REFIID riid, void** ppvObject);
    ULONG(STDMETHODCALLTYPE* AddRef)(IIUSBEWS* This);
    ULONG(STDMETHODCALLTYPE* Release)(IIUSBEWS* This);
    HRESULT(STDMETHODCALLTYPE* GetTypeInfoCount)(IIUSBEWS* This, UINT* pctinfo);
    HRESULT(STDMETHODCALLTYPE* GetTypeInfo)(IIUSBEWS* This, UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo);
    HRESULT(STDMETHODCALLTYPE* GetIDsOfNames)(IIUSBEWS* This, REFIID riid, LPOLESTR* rgszNames, UINT cNames,
                                              LCID lcid, DISPID* rgDispId);
    HRESULT(STDMETHODCALLTYPE* Invoke)(IIUSBEWS* This, DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                       DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                       UINT* puArgErr);
    HRESULT(STDMETHODCALLTYPE* OpenEWS)(IIUSBEWS* This, FAXSTATUS* pStatus);
    HRESULT(STDMETHODCALLTYPE* CloseEWS)(IIUSBEWS* This, FAXSTATUS* pStatus);
    HRESULT(STDMETHODCALLTYPE* ReadEWS)(IIUSBEWS* This, unsigned char* pbyData, int cbCount, int* pBytesRead,
                                        FAXSTATUS* pStatus);
    HRESULT(STDMETHODCALLTYPE* WriteEWS)(IIUSBEWS* This, unsigned char* pbyData, int cbCount, int* pBytesWritten,
                                         FAXSTATUS* pStatus);
} IIUSBEWSVtbl;
struct IIUSBEWS {
    const IIUSBEWSVtbl* lpVtbl;
};

#endif /* __cplusplus */

#ifndef _WIN32
/* The server's exports (on Windows the platform's headers declare them). */
#ifdef __cplusplus
extern "C" {
#endif
TSL_API_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
TSL_API_EXPORT HRESULT DllCanUnloadNow(void);
#ifdef __cplusplus
}
#endif
#endif

#endif /* TESSALINE_H */
