/* A minimal host: create a USBFAX object, make one call, release it. */
#include <stdio.h>
#include <tessaline/tessaline.h>

int main(void) {
    IClassFactory* factory = NULL;
    IUSBFAX* fax = NULL;
    unsigned int count = 0;
    FAXSTATUS status = FAXSTATUS_CMD_FAIL;

    if (FAILED(DllGetClassObject(&CLSID_USBFAX, &IID_IClassFactory, (void**)&factory))) return 1;
    HRESULT hr = factory->lpVtbl->CreateInstance(factory, NULL, &IID_IUSBFAX, (void**)&fax);
    factory->lpVtbl->Release(factory);
    if (FAILED(hr)) return 1;

    fax->lpVtbl->GetReceivedFaxCount(fax, &count, &status);
    printf("status %d, %u received fax(es)\n", (int)status, count);

    fax->lpVtbl->Release(fax);
    return status == FAXSTATUS_OK ? 0 : (int)status;
}
