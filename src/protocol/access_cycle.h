// The access cycle of every fax operation: a FAX_DEVICE created for the
// operation, the access lock taken with the fax channel open, and on the way
// out (on every path) the lock released and the device destroyed.
#ifndef TESSALINE_PROTOCOL_ACCESS_CYCLE_H
#define TESSALINE_PROTOCOL_ACCESS_CYCLE_H

#include <cstdint>

#include "protocol/fax_packet.h"

// One access cycle around a single SendCommand of `command`; the reply header
// stays in `header`.
FAXRESULT QueryDevice(FAX_PACKET_HEADER* header, std::uint32_t command);

// One access cycle: creates a FAX_DEVICE and takes the access lock with the
// fax channel open; on the way out (destruction, on every path) unlocks after
// a successful open and destroys the device. The lock is thus never held past
// the operation that opened the cycle.
class AccessCycle {
public:
    AccessCycle() = default;
    ~AccessCycle();
    AccessCycle(const AccessCycle&) = delete;
    AccessCycle& operator=(const AccessCycle&) = delete;

    // FAXRESULT_OK with the lock held and the channel open, or
    // FAXRESULT_NO_DEVICE when the device could not be created or locked.
    FAXRESULT Open();
    FAX_DEVICE* device() const { return device_; }

private:
    FAX_DEVICE* device_ = nullptr;
    bool locked_ = false;
};

#endif
