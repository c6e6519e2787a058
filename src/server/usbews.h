// CIUSBEWS: the pass-through object, a raw byte channel to the device's EWS
// channel. It owns one FAX_DEVICE for its whole life and never takes the
// access lock, so its traffic can run beside fax operations.
//
// States: Closed (initially, and after CloseEWS) and Open (after an OpenEWS
// that returned 0). Transfers while Closed give FAXSTATUS_NO_DEVICE.
#ifndef TESSALINE_SERVER_USBEWS_H
#define TESSALINE_SERVER_USBEWS_H

#include <tessaline/tessaline.h>

#include "server/com_object.h"

class FAX_DEVICE;

class CIUSBEWS final : public AutomationObject<CIUSBEWS, IIUSBEWS, DispatchInterface::IUSBEWS> {
public:
    explicit CIUSBEWS(IUnknown* outer);
    ~CIUSBEWS();
    static const IID& InterfaceId() { return IID_IIUSBEWS; }
    // False when the device object could not be allocated: creation then
    // fails with E_OUTOFMEMORY.
    bool Usable() const { return m_pDevice != nullptr; }

    HRESULT STDMETHODCALLTYPE OpenEWS(FAXSTATUS* pStatus) override;
    HRESULT STDMETHODCALLTYPE CloseEWS(FAXSTATUS* pStatus) override;
    HRESULT STDMETHODCALLTYPE ReadEWS(unsigned char* pbyData, int cbCount, int* pBytesRead,
                                      FAXSTATUS* pStatus) override;
    HRESULT STDMETHODCALLTYPE WriteEWS(unsigned char* pbyData, int cbCount, int* pBytesWritten,
                                       FAXSTATUS* pStatus) override;

private:
    FAX_DEVICE* m_pDevice;
};

#endif
