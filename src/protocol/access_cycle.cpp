// The access cycle of every fax operation.
#include "protocol/access_cycle.h"

#include <new>

#include "transport/fax_device.h"

AccessCycle::~AccessCycle() {
    if (locked_) device_->Unlock();
    delete device_;
}

FAXRESULT AccessCycle::Open() {
    if (device_) return locked_ ? FAXRESULT_OK : FAXRESULT_NO_DEVICE;
    device_ = new (std::nothrow) FAX_DEVICE();
    if (!device_) return FAXRESULT_NO_DEVICE;
    if (device_->Lock() != FAXSTATUS_OK) {
        // Destroyed without Unlock; destruction releases a mutex that the
        // failed Lock left owned.
        delete device_;
        device_ = nullptr;
        return FAXRESULT_NO_DEVICE;
    }
    locked_ = true;
    return FAXRESULT_OK;
}

FAXRESULT QueryDevice(FAX_PACKET_HEADER* header, std::uint32_t command) {
    if (!header) return FAXRESULT_NULLPOINTER;
    AccessCycle cycle;
    if (FAXRESULT r = cycle.Open(); r != FAXRESULT_OK) return r;
    BuildFaxHeader(header, command, 0, 0);
    return SendCommand(cycle.device(), header);
}
