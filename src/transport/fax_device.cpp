// FAX_DEVICE: the access lock, the channel and the requests on it.
#include "transport/fax_device.h"

#include <cstdlib>
#include <cstring>

#include "platform/named_mutex.h"

namespace {

// The environment variable that names a channel's device path explicitly.
const char* ExplicitDevicePath(const plat::InterfaceClass& cls) {
    const char* name = nullptr;
    if (std::memcmp(&cls, &GUID_DEVINTERFACE_FAX_CHANNEL, sizeof(cls)) == 0) {
        name = "TESSALINE_FAX_DEVICE";
    } else if (std::memcmp(&cls, &GUID_DEVINTERFACE_EWS_CHANNEL, sizeof(cls)) == 0) {
        name = "TESSALINE_EWS_DEVICE";
    }
    const char* value = name ? std::getenv(name) : nullptr;
    return value && *value ? value : nullptr;
}

}  // namespace

plat::ChannelHandle OpenDeviceInterface(const plat::InterfaceClass& cls) {
    char path[plat::kDevicePathCapacity];
    if (const char* named = ExplicitDevicePath(cls)) {
        std::size_t len = std::strlen(named);
        if (len + 1 > sizeof(path)) return plat::ChannelHandle();
        std::memcpy(path, named, len + 1);
    } else if (!plat::GetDeviceInterfacePath(cls, path, sizeof(path))) {
        return plat::ChannelHandle();
    }
    return plat::OpenDevicePath(path);
}

FAX_DEVICE::FAX_DEVICE() { CreateAccessMutex(); }

FAX_DEVICE::~FAX_DEVICE() {
    // The channel closes first, then the mutex is released (a failed Lock
    // left it owned) and closed, as the members go.
    m_hDevice.reset();
    if (m_hAccessMutex.is_open()) plat::ReleaseNamedMutex(m_hAccessMutex);
}

bool FAX_DEVICE::CreateAccessMutex() {
    m_hAccessMutex = plat::OpenNamedMutex(kAccessLockName);
    return m_hAccessMutex.is_open();
}

FAXSTATUS FAX_DEVICE::Lock() {
    if (m_hDevice.is_open()) return FAXSTATUS_OK;  // already open: no second wait
    if (!m_hAccessMutex.is_open()) return FAXSTATUS_CMD_FAIL;
    // Anything but a plain acquisition fails, an abandoned mutex included:
    // this thread owns it then, and Unlock or destruction releases it.
    if (plat::WaitNamedMutex(m_hAccessMutex, kAccessLockTimeoutMs) != plat::MutexWait::Acquired)
        return FAXSTATUS_CMD_FAIL;
    m_hDevice = OpenDeviceInterface(GUID_DEVINTERFACE_FAX_CHANNEL);
    if (!m_hDevice.is_open()) return FAXSTATUS_NO_DEVICE;  // the mutex stays owned
    return FAXSTATUS_OK;
}

FAXSTATUS FAX_DEVICE::Unlock() {
    m_hDevice.reset();
    // Harmless when this thread does not own it (an EWS channel was open).
    ReleaseAccessLock();
    return FAXSTATUS_OK;
}

FAXSTATUS FAX_DEVICE::OpenEwsChannel() {
    if (m_hDevice.is_open()) return FAXSTATUS_OK;
    m_hDevice = OpenDeviceInterface(GUID_DEVINTERFACE_EWS_CHANNEL);
    return m_hDevice.is_open() ? FAXSTATUS_OK : FAXSTATUS_NO_DEVICE;
}

void FAX_DEVICE::ReleaseAccessLock() {
    if (m_hAccessMutex.is_open()) plat::ReleaseNamedMutex(m_hAccessMutex);
}

FAXSTATUS FAX_DEVICE::Write(const void* buffer, std::int32_t length, std::uint32_t* written) {
    if (!m_hDevice.is_open()) return FAXSTATUS_NO_DEVICE;
    if (length < 0) return FAXSTATUS_CMD_FAIL;
    bool ok = plat::SubmitRequest(m_hDevice, plat::RequestKind::Write, 0, buffer, static_cast<std::uint32_t>(length),
                                  nullptr, 0, written);
    return ok ? FAXSTATUS_OK : FAXSTATUS_CMD_FAIL;
}

FAXSTATUS FAX_DEVICE::Read(void* buffer, std::int32_t length, std::uint32_t* read) {
    if (!m_hDevice.is_open()) return FAXSTATUS_NO_DEVICE;
    if (length < 0) return FAXSTATUS_READ;
    bool ok = plat::SubmitRequest(m_hDevice, plat::RequestKind::Read, 0, nullptr, 0, buffer,
                                  static_cast<std::uint32_t>(length), read);
    return ok ? FAXSTATUS_OK : FAXSTATUS_READ;
}

FAXSTATUS FAX_DEVICE::IoControl(std::uint32_t code, const void* in, std::uint32_t in_size, void* out,
                                std::uint32_t out_size, std::uint32_t* returned) {
    if (!m_hDevice.is_open()) return FAXSTATUS_NO_DEVICE;
    bool ok = plat::SubmitRequest(m_hDevice, plat::RequestKind::Control, code, in, in_size, out, out_size, returned);
    return ok ? FAXSTATUS_OK : FAXSTATUS_CMD_FAIL;
}
