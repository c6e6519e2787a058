// The wait for a received-fax event and the cancel of pending I/O: the two
// device-control requests on the fax channel.
#include "transport/wait_cancel.h"

#include <memory>
#include <new>

#include "base/byte_order.h"
#include "platform/device_channel.h"
#include "transport/fax_device.h"

namespace {

// The input word each control request carries, little-endian (host order of
// the device's host side).
constexpr std::uint32_t kWaitRequestInput = 16;
constexpr std::uint32_t kCancelRequestInput = 2;

constexpr std::uint32_t kWaitReplySize = 16;
// The event is the big-endian word at bytes 4..7 of the wait's reply.
constexpr std::uint32_t kWaitEventOffset = 4;
constexpr std::uint32_t kWaitEventEnd = kWaitEventOffset + 4;

}  // namespace

FAXSTATUS WaitForReceivedFax(FAX_STATUS_ENUM* pReceivedStatus) {
    if (!pReceivedStatus) return FAXSTATUS_NULLPOINTER;

    std::unique_ptr<FAX_DEVICE> device(new (std::nothrow) FAX_DEVICE());
    if (!device) return FAXSTATUS_NULLPOINTER;
    // The destructor releases a mutex that a failed Lock left owned.
    if (device->Lock() != FAXSTATUS_OK) return FAXSTATUS_NO_DEVICE;

    // The lock is needed only to open the channel. The wait below has no
    // time limit, so it must not keep every other fax operation out.
    device->ReleaseAccessLock();

    std::uint8_t input[4];
    wire::StoreLE32(input, kWaitRequestInput);
    std::uint8_t reply[kWaitReplySize] = {};
    std::uint32_t returned = 0;
    if (device->IoControl(IOCTL_WAIT_FOR_RECEIVED_FAX, input, sizeof(input), reply, sizeof(reply), &returned) !=
        FAXSTATUS_OK) {
        return FAXSTATUS_CMD_FAIL;  // a cancelled wait ends here; the event is not written
    }
    // A reply that stops short of the event carries no event.
    if (returned < kWaitEventEnd) return FAXSTATUS_CMD_FAIL;

    // Passed on as the device sent it, without a range test.
    *pReceivedStatus = static_cast<FAX_STATUS_ENUM>(wire::LoadBE32(reply + kWaitEventOffset));
    device->Unlock();  // closes the channel; the mutex is no longer owned
    return FAXSTATUS_OK;
}

FAXSTATUS CancelIO() {
    // A handle of its own, without FAX_DEVICE and without the access lock, so
    // that the cancel gets through while another caller holds the lock or has
    // a request pending on the channel.
    const plat::ChannelHandle channel = OpenDeviceInterface(GUID_DEVINTERFACE_FAX_CHANNEL);
    if (!channel.is_open()) return FAXSTATUS_NULLPOINTER;

    std::uint8_t input[4];
    wire::StoreLE32(input, kCancelRequestInput);
    std::uint32_t returned = 0;
    const bool ok = plat::SubmitRequest(channel, plat::RequestKind::Control, IOCTL_CANCEL_IO, input,
                                        sizeof(input), nullptr, 0, &returned);
    return ok ? FAXSTATUS_OK : FAXSTATUS_CMD_FAIL;
}
