// CUSBFAX: the fax automation object. Each method checks its pointers, runs
// one fax operation (or the wait or the cancel) and hands the outcome back as
// a FAXSTATUS through its last parameter. The object keeps no state between
// calls: every call opens and closes its own access cycle on the device.
#ifndef TESSALINE_SERVER_USBFAX_H
#define TESSALINE_SERVER_USBFAX_H

#include <tessaline/tessaline.h>

#include "server/com_object.h"

class CUSBFAX final : public AutomationObject<CUSBFAX, IUSBFAX, DispatchInterface::USBFAX> {
public:
    explicit CUSBFAX(IUnknown* outer) : AutomationObject(outer) {}
    static const IID& InterfaceId() { return IID_IUSBFAX; }
    bool Usable() const { return true; }

    HRESULT STDMETHODCALLTYPE SaveFaxSettings(DEFAULT_FAX_SETTINGS* pSettings, FAXSTATUS* pStat) override;
    HRESULT STDMETHODCALLTYPE ReadFaxSettings(DEFAULT_FAX_SETTINGS* pSettings, FAXSTATUS* pStat) override;
    HRESULT STDMETHODCALLTYPE CheckFaxPasswordSet(unsigned int* bFaxPasswordSet, FAXSTATUS* pStat) override;
    HRESULT STDMETHODCALLTYPE CheckFaxPassword(char* szPassword, unsigned int* bPassFail, FAXSTATUS* pStat) override;
    HRESULT STDMETHODCALLTYPE SendFax(LPSTR pszFaxTiffFileName, unsigned int ulNumbers, FAX_RECIPIENT* phoneList,
                                      FAXSTATUS* pStatus) override;
    HRESULT STDMETHODCALLTYPE WaitForReceivedFax(FAX_STATUS_ENUM* pReceivedStatus, FAXSTATUS* pStatus) override;
    HRESULT STDMETHODCALLTYPE GetReceivedFaxCount(unsigned int* pReceivedFaxCount, FAXSTATUS* pStatus) override;
    HRESULT STDMETHODCALLTYPE GetReceivedFaxList(FAX_FILENAME* pReceivedFaxes, unsigned int ulEntryCount,
                                                 FAXSTATUS* pStatus) override;
    HRESULT STDMETHODCALLTYPE GetReceivedFax(FAX_FILENAME* pFaxFileName, char* pszLocalFileName,
                                             FAXSTATUS* pFaxStatus) override;
    HRESULT STDMETHODCALLTYPE GetFaxLogEntry(FAX_FILENAME* pFaxFileName, FAX_LOG_ENTRY* pFaxLogEntry,
                                             FAXSTATUS* pStatus) override;
    HRESULT STDMETHODCALLTYPE RemoveReceivedFax(FAX_FILENAME* pFaxFileName, FAXSTATUS* pStatus) override;
    HRESULT STDMETHODCALLTYPE GetFaxReceiveSettings(TSL_ULONG* pValue, FAXSTATUS* pStatus) override;
    HRESULT STDMETHODCALLTYPE CancelIO(FAXSTATUS* pStatus) override;
};

#endif
