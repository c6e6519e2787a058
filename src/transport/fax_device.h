// FAX_DEVICE: the one object through which the system touches the device.
//
// It holds a handle on one channel of the device and a handle on the
// system-wide mutex "FAX_DEVICE_ACCESS_LOCK", which serialises every
// conversation on the fax channel among all threads and processes. Requests
// are awaited without a time limit; only the lock wait is bounded (5000 ms).
//
// States: Idle (no channel, mutex not owned); Locked (fax channel open, mutex
// owned by the locking thread); Lock failed at the open (no channel, mutex
// owned); EWS open (EWS channel open, mutex not owned). Unlock leads from
// every state back to Idle; destruction is allowed from every state.
#ifndef TESSALINE_TRANSPORT_FAX_DEVICE_H
#define TESSALINE_TRANSPORT_FAX_DEVICE_H

#include <cstdint>

#include <tessaline/fax_device.h>
#include <tessaline/fax_types.h>

#include "platform/device_channel.h"
#include "platform/handle.h"

inline constexpr const char* kAccessLockName = FAX_DEVICE_ACCESS_LOCK_NAME;
inline constexpr std::uint32_t kAccessLockTimeoutMs = FAX_DEVICE_ACCESS_LOCK_TIMEOUT_MS;

// Finds the first present interface of `cls` and opens it, or the device path
// named by TESSALINE_FAX_DEVICE / TESSALINE_EWS_DEVICE for that channel when
// set (discovery is then skipped). Discovery runs anew on every call. A
// handle that is not open on failure.
plat::ChannelHandle OpenDeviceInterface(const plat::InterfaceClass& cls);

class FAX_DEVICE {
public:
    FAX_DEVICE();
    ~FAX_DEVICE();
    FAX_DEVICE(const FAX_DEVICE&) = delete;
    FAX_DEVICE& operator=(const FAX_DEVICE&) = delete;

    bool CreateAccessMutex();

    // 0 once the access lock is held and the fax channel is open; 2 when the
    // mutex is missing or was not acquired within 5000 ms (abandoned
    // included); 7 when the channel was not found or not opened.
    FAXSTATUS Lock();
    // Closes the channel and releases the mutex; always 0.
    FAXSTATUS Unlock();
    // Opens the EWS channel without touching the mutex; 0 or 7.
    FAXSTATUS OpenEwsChannel();
    // Releases the access lock and keeps the channel open: for a request
    // without a time limit that must not keep every other operation out.
    // Harmless when this thread does not own the lock.
    void ReleaseAccessLock();

    // One request each, awaited without limit. 7 when no channel is open;
    // a failed request gives 2 for Write and IoControl, 8 for Read. A short
    // transfer is a success here, with the smaller count.
    FAXSTATUS Write(const void* buffer, std::int32_t length, std::uint32_t* written);
    FAXSTATUS Read(void* buffer, std::int32_t length, std::uint32_t* read);
    FAXSTATUS IoControl(std::uint32_t code, const void* in, std::uint32_t in_size, void* out,
                        std::uint32_t out_size, std::uint32_t* returned);

private:
    plat::ChannelHandle m_hDevice;
    plat::MutexHandle m_hAccessMutex;
};

#endif
