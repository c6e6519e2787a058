// What the command finds of the device on POSIX systems, from the
// library's own listing (the one discovery runs): 'tessaline devices' shows
// where discovery looks, what each channel class holds and which device an
// operation would use; a failed call's cause says what stood in its way.
#include "tools/os/device_presence.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <tessaline/device_listing.h>


namespace cli {

std::string DeviceDirectoryShown() { return tessaline::DeviceDirectory(); }

ChannelFindings FindChannel(const TSL_DEVICE_CLASS& cls) {
    // The library's own listing, the one discovery runs before an open.
    const tessaline::DeviceListing listing = tessaline::ListDevices(cls);
    using tessaline::DeviceState;
    using tessaline::ListingOutcome;
    ChannelFindings found;
    found.where = tessaline::ClassDirectory(cls);
    found.listing = listing.outcome == ListingOutcome::Listed      ? "ok"
                    : listing.outcome == ListingOutcome::Missing   ? "absent"
                    : listing.outcome == ListingOutcome::Untrusted ? "untrusted"
                                                                   : "unreadable";
    found.refusal = listing.refusal;
    for (const tessaline::ListedDevice& e : listing.devices) {
        ChannelFindings::Device d{e.path, "", "", ""};
        const bool refused = e.state == DeviceState::Unreachable && NotPermitted(e.path, d.detail);
        d.state = e.state == DeviceState::Live         ? "live"
                  : e.state == DeviceState::Stale      ? "stale"
                  : e.state == DeviceState::NotASocket ? "not a socket"
                  : refused                            ? "not permitted"
                                                       : "cannot be probed";
        if (refused) d.advice = "its server shares it with a group: tessaline-simd --socket-group GROUP";
        found.devices.push_back(std::move(d));
    }
    found.would_use = listing.would_use;
    return found;
}

bool NotPermitted(const std::string& path, std::string& detail) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || access(path.c_str(), R_OK | W_OK) == 0 || errno != EACCES) return false;
    char mode[8];
    std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
    const passwd* owner = getpwuid(st.st_uid);
    const group* grp = getgrgid(st.st_gid);
    detail = std::string("mode ") + mode + ", owner " + (owner ? owner->pw_name : std::to_string(st.st_uid)) +
             ", group " + (grp ? grp->gr_name : std::to_string(st.st_gid));
    return true;
}

FaxDeviceLook LookForFaxDevice() {
    FaxDeviceLook look;
    if (const char* named = std::getenv("TESSALINE_FAX_DEVICE"); named && *named) {
        struct stat st {};
        if (stat(named, &st) != 0) return look;
        look.path = named;
        look.kind = NotPermitted(named, look.detail) ? FaxDeviceLook::Kind::NotPermitted : FaxDeviceLook::Kind::Present;
        return look;
    }
    // The library's own listing: the device it names is the one the call
    // that failed would have opened.
    const tessaline::DeviceListing listing = tessaline::ListDevices(GUID_DEVINTERFACE_FAX_CHANNEL);
    if (listing.outcome == tessaline::ListingOutcome::Untrusted) {
        look.kind = FaxDeviceLook::Kind::NotSearched;
        look.detail = listing.refusal;
        return look;
    }
    if (listing.would_use < 0) return look;
    const tessaline::ListedDevice& used = listing.devices[static_cast<std::size_t>(listing.would_use)];
    look.path = used.path;
    if (used.state == tessaline::DeviceState::Live)
        look.kind = FaxDeviceLook::Kind::Present;
    else if (NotPermitted(used.path, look.detail))
        look.kind = FaxDeviceLook::Kind::NotPermitted;
    else
        look.kind = FaxDeviceLook::Kind::NotOpened;
    return look;
}

LockProbe ProbeAccessLock() {
    switch (tessaline::ProbeAccessLock()) {
        case tessaline::AccessLockState::Free:
            return LockProbe::Free;
        case tessaline::AccessLockState::Held:
            return LockProbe::Held;
        case tessaline::AccessLockState::Abandoned:
            return LockProbe::Abandoned;
        case tessaline::AccessLockState::Unavailable:
            break;
    }
    return LockProbe::Unavailable;
}

std::string DiscoveryWhere(const TSL_DEVICE_CLASS& cls) { return "a device socket in " + tessaline::ClassDirectory(cls); }

const char* DevicesHelp() {
    return "Shows where discovery looks, the devices present in each channel class, and which one an\n"
           "operation would use. A directory that others can write, or that belongs to another user, is not\n"
           "searched; it is shown with the reason. A device socket this user may not open is shown as not\n"
           "permitted, with its mode and owners (its server shares it with a group: tessaline-simd\n"
           "--socket-group GROUP).";
}

}  // namespace cli
