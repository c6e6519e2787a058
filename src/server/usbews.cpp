// CIUSBEWS: the pass-through object on the EWS channel.
#include "server/usbews.h"

#include <new>

#include "transport/fax_device.h"

namespace {

// Requests on the EWS channel carry at most this many bytes each.
constexpr int kEwsBlockSize = 4096;

enum class Direction { Read, Write };

// Moves cbCount bytes in requests of at most 4096 bytes until all have moved
// or a request fails. The count pointer receives the total moved so far, on
// success and on failure alike, so a caller always knows how much went
// through. A request that succeeds without moving a byte counts as failed:
// repeating it could go on forever.
FAXSTATUS Transfer(FAX_DEVICE* device, Direction dir, unsigned char* data, int cbCount, int* moved) {
    const FAXSTATUS failed = dir == Direction::Read ? FAXSTATUS_READ : FAXSTATUS_CMD_FAIL;
    FAXSTATUS status = FAXSTATUS_OK;
    int total = 0;
    bool issued = false;
    while (total < cbCount) {
        const int chunk = cbCount - total < kEwsBlockSize ? cbCount - total : kEwsBlockSize;
        std::uint32_t count = 0;
        status = dir == Direction::Read ? device->Read(data + total, chunk, &count)
                                        : device->Write(data + total, chunk, &count);
        if (status == FAXSTATUS_NO_DEVICE) break;  // channel not open: nothing was asked of the device
        issued = true;
        if (status != FAXSTATUS_OK) break;
        if (count == 0 || count > static_cast<std::uint32_t>(chunk)) {
            status = failed;
            break;
        }
        total += static_cast<int>(count);
    }
    if (issued) *moved = total;
    return status;
}

}  // namespace

CIUSBEWS::CIUSBEWS(IUnknown* outer) : AutomationObject(outer), m_pDevice(new (std::nothrow) FAX_DEVICE()) {}

// Final release: the device object's destruction closes the EWS channel if
// it is still open and the handle on the access mutex.
CIUSBEWS::~CIUSBEWS() { delete m_pDevice; }

HRESULT CIUSBEWS::OpenEWS(FAXSTATUS* pStatus) {
    if (!pStatus) return E_FAIL;
    *pStatus = m_pDevice ? m_pDevice->OpenEwsChannel() : FAXSTATUS_CMD_FAIL;
    return S_OK;
}

HRESULT CIUSBEWS::CloseEWS(FAXSTATUS* pStatus) {
    if (!pStatus) return E_FAIL;
    *pStatus = m_pDevice ? m_pDevice->Unlock() : FAXSTATUS_CMD_FAIL;
    return S_OK;
}

HRESULT CIUSBEWS::ReadEWS(unsigned char* pbyData, int cbCount, int* pBytesRead, FAXSTATUS* pStatus) {
    if (!pStatus) return E_FAIL;
    if (!m_pDevice) {
        *pStatus = FAXSTATUS_CMD_FAIL;
    } else if (!pbyData || !pBytesRead) {
        *pStatus = FAXSTATUS_NULLPOINTER;
    } else {
        *pStatus = Transfer(m_pDevice, Direction::Read, pbyData, cbCount, pBytesRead);
    }
    return S_OK;
}

HRESULT CIUSBEWS::WriteEWS(unsigned char* pbyData, int cbCount, int* pBytesWritten, FAXSTATUS* pStatus) {
    if (!pStatus) return E_FAIL;
    if (!m_pDevice) {
        *pStatus = FAXSTATUS_CMD_FAIL;
    } else if (!pbyData || !pBytesWritten) {
        *pStatus = FAXSTATUS_NULLPOINTER;
    } else {
        *pStatus = Transfer(m_pDevice, Direction::Write, pbyData, cbCount, pBytesWritten);
    }
    return S_OK;
}
