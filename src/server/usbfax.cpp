// CUSBFAX: the fax automation object's methods.
#include "server/usbfax.h"

#include <cstdio>
#include <cstring>

#include "platform/host_services.h"
#include "protocol/fax_received.h"
#include "protocol/fax_send.h"
#include "protocol/fax_settings.h"
#include "transport/wait_cancel.h"

namespace {

// The longest fax file name SendFax accepts, in bytes before the zero.
constexpr std::size_t kMaxFaxFileName = 260;

FAXSTATUS ToStatus(FAXRESULT r) { return MapFaxResult(r, FAXSTATUS_CMD_FAIL); }

}  // namespace

// Every method: a null status pointer is E_FAIL and nothing else happens; a
// null argument the method needs is FAXSTATUS_NULLPOINTER, device untouched;
// otherwise the operation's result, translated, and S_OK.

HRESULT CUSBFAX::SaveFaxSettings(DEFAULT_FAX_SETTINGS* pSettings, FAXSTATUS* pStat) {
    if (!pStat) return E_FAIL;
    *pStat = pSettings ? ToStatus(DeviceSaveFaxSettings(pSettings)) : FAXSTATUS_NULLPOINTER;
    return S_OK;
}

HRESULT CUSBFAX::ReadFaxSettings(DEFAULT_FAX_SETTINGS* pSettings, FAXSTATUS* pStat) {
    if (!pStat) return E_FAIL;
    *pStat = pSettings ? ToStatus(DeviceReadFaxSettings(pSettings)) : FAXSTATUS_NULLPOINTER;
    return S_OK;
}

HRESULT CUSBFAX::CheckFaxPasswordSet(unsigned int* bFaxPasswordSet, FAXSTATUS* pStat) {
    if (!pStat) return E_FAIL;
    if (!bFaxPasswordSet) {
        *pStat = FAXSTATUS_NULLPOINTER;
        return S_OK;
    }
    std::uint8_t isSet = 0;
    const FAXRESULT r = DeviceCheckFaxPasswordSet(&isSet);
    *bFaxPasswordSet = r == FAXRESULT_OK && isSet ? 1 : 0;
    *pStat = ToStatus(r);
    return S_OK;
}

HRESULT CUSBFAX::CheckFaxPassword(char* szPassword, unsigned int* bPassFail, FAXSTATUS* pStat) {
    if (!pStat) return E_FAIL;
    if (!szPassword || !bPassFail) {
        *pStat = FAXSTATUS_NULLPOINTER;
        return S_OK;
    }
    std::uint8_t passed = 0;
    const FAXRESULT r = DeviceCheckFaxPassword(szPassword, &passed);
    // A wrong password is a successful call with bPassFail 0; on a failure
    // bPassFail is left as the caller had it.
    if (r == FAXRESULT_OK) *bPassFail = passed == 1 ? 1 : 0;
    *pStat = ToStatus(r);
    return S_OK;
}

HRESULT CUSBFAX::SendFax(LPSTR pszFaxTiffFileName, unsigned int ulNumbers, FAX_RECIPIENT* phoneList,
                         FAXSTATUS* pStatus) {
    if (!pStatus) return E_FAIL;
    if (!pszFaxTiffFileName) {
        *pStatus = FAXSTATUS_NULLPOINTER;
    } else if (strnlen(pszFaxTiffFileName, kMaxFaxFileName + 1) > kMaxFaxFileName) {
        *pStatus = FAXSTATUS_INVALIDARGE;
    } else {
        // The recipient array and its count are judged by the operation.
        *pStatus = ToStatus(DeviceSendFax(phoneList, ulNumbers, pszFaxTiffFileName));
    }
    return S_OK;
}

HRESULT CUSBFAX::WaitForReceivedFax(FAX_STATUS_ENUM* pReceivedStatus, FAXSTATUS* pStatus) {
    if (!pStatus) return E_FAIL;
    *pStatus = ::WaitForReceivedFax(pReceivedStatus);
    return S_OK;
}

HRESULT CUSBFAX::GetReceivedFaxCount(unsigned int* pReceivedFaxCount, FAXSTATUS* pStatus) {
    if (!pStatus) return E_FAIL;
    if (!pReceivedFaxCount) {
        *pStatus = FAXSTATUS_NULLPOINTER;
        return S_OK;
    }
    std::uint32_t count = 0;
    const FAXRESULT r = DeviceGetReceivedFaxCount(&count);
    *pReceivedFaxCount = count;
    *pStatus = ToStatus(r);
    return S_OK;
}

HRESULT CUSBFAX::GetReceivedFaxList(FAX_FILENAME* pReceivedFaxes, unsigned int ulEntryCount, FAXSTATUS* pStatus) {
    if (!pStatus) return E_FAIL;
    // Every entry the caller promised must be writable before the device is
    // asked anything.
    const unsigned int unwritable = plat::FirstUnwritableEntry(pReceivedFaxes, sizeof(FAX_FILENAME), ulEntryCount);
    if (unwritable < ulEntryCount) {
        char text[512];
        std::snprintf(text, sizeof(text), "GetReceivedFaxList: Fail, Insufficient Memory allocation, Index: %d",
                      static_cast<int>(unwritable));
        plat::ShowMessage(text);
        *pStatus = FAXSTATUS_INVALIDARGE;
        return S_OK;
    }
    *pStatus = ToStatus(DeviceGetReceivedFaxList(pReceivedFaxes, ulEntryCount));
    return S_OK;
}

HRESULT CUSBFAX::GetReceivedFax(FAX_FILENAME* pFaxFileName, char* pszLocalFileName, FAXSTATUS* pFaxStatus) {
    if (!pFaxStatus) return E_FAIL;
    *pFaxStatus = pFaxFileName && pszLocalFileName ? ToStatus(DeviceGetReceivedFax(pFaxFileName, pszLocalFileName))
                                                   : FAXSTATUS_NULLPOINTER;
    return S_OK;
}

HRESULT CUSBFAX::GetFaxLogEntry(FAX_FILENAME* pFaxFileName, FAX_LOG_ENTRY* pFaxLogEntry, FAXSTATUS* pStatus) {
    if (!pStatus) return E_FAIL;
    *pStatus = pFaxFileName && pFaxLogEntry ? ToStatus(DeviceGetFaxLogEntry(pFaxFileName, pFaxLogEntry))
                                            : FAXSTATUS_NULLPOINTER;
    return S_OK;
}

HRESULT CUSBFAX::RemoveReceivedFax(FAX_FILENAME* pFaxFileName, FAXSTATUS* pStatus) {
    if (!pStatus) return E_FAIL;
    *pStatus = pFaxFileName ? ToStatus(DeviceRemoveReceivedFax(pFaxFileName)) : FAXSTATUS_NULLPOINTER;
    return S_OK;
}

HRESULT CUSBFAX::GetFaxReceiveSettings(TSL_ULONG* pValue, FAXSTATUS* pStatus) {
    if (!pStatus) return E_FAIL;
    if (!pValue) {
        *pStatus = FAXSTATUS_NULLPOINTER;
        return S_OK;
    }
    std::uint32_t value = 0;
    const FAXRESULT r = DeviceGetFaxReceiveSettings(&value);
    *pValue = value;  // written also on failure, as the operation does
    *pStatus = ToStatus(r);
    return S_OK;
}

HRESULT CUSBFAX::CancelIO(FAXSTATUS* pStatus) {
    if (!pStatus) return E_FAIL;
    *pStatus = ::CancelIO();
    return S_OK;
}
