// The device listing and the access lock's state that libtessaline exports
// on POSIX systems for hosts to show: the platform layer's own listing and
// named mutex, behind the public types.
#include <tessaline/device_listing.h>

#include "platform/device_directory.h"
#include "platform/named_mutex.h"

namespace tessaline {

std::string DeviceDirectory() { return plat::DeviceDirectory(); }

std::string ClassDirectory(const TSL_DEVICE_CLASS& cls) { return plat::ClassDirectory(cls); }

DeviceListing ListDevices(const TSL_DEVICE_CLASS& cls) {
    const plat::ClassListing found = plat::ListDeviceInterfaces(cls);
    DeviceListing listing;
    switch (found.trust) {
        case plat::DirectoryTrust::Trusted:
            listing.outcome = ListingOutcome::Listed;
            break;
        case plat::DirectoryTrust::Missing:
            listing.outcome = ListingOutcome::Missing;
            break;
        case plat::DirectoryTrust::Unreadable:
            listing.outcome = ListingOutcome::Unreadable;
            break;
        case plat::DirectoryTrust::Untrusted:
            listing.outcome = ListingOutcome::Untrusted;
            break;
    }
    listing.refusal = found.refusal;
    for (const plat::DeviceEntry& e : found.entries) {
        DeviceState state = DeviceState::NotASocket;
        switch (e.state) {
            case plat::DeviceState::Live:
                state = DeviceState::Live;
                break;
            case plat::DeviceState::Stale:
                state = DeviceState::Stale;
                break;
            case plat::DeviceState::Unreachable:
                state = DeviceState::Unreachable;
                break;
            case plat::DeviceState::NotASocket:
                break;
        }
        listing.devices.push_back({e.path, state});
    }
    listing.would_use = found.first_usable;
    return listing;
}

AccessLockState ProbeAccessLock() {
    const plat::MutexHandle lock = plat::OpenNamedMutex(FAX_DEVICE_ACCESS_LOCK_NAME);
    if (!lock.is_open()) return AccessLockState::Unavailable;
    switch (plat::WaitNamedMutex(lock, 0)) {
        case plat::MutexWait::Acquired:
            plat::ReleaseNamedMutex(lock);
            return AccessLockState::Free;
        case plat::MutexWait::Abandoned:
            // Taking it has made it consistent again; the next call runs.
            plat::ReleaseNamedMutex(lock);
            return AccessLockState::Abandoned;
        case plat::MutexWait::TimedOut:
            return AccessLockState::Held;
        case plat::MutexWait::Failed:
            break;
    }
    return AccessLockState::Unavailable;
}

}  // namespace tessaline
