// The tool's device listing: where discovery looks, what each channel class
// holds, and which device an operation would use.
#include "tools/command_support.h"

#include <cstdio>
#include <cstdlib>

#include <tessaline/device_listing.h>

namespace cli {

int RunDevices(const Output& out, const Parsed& args) {
    if (!args.positional.empty()) return out.Usage("devices takes no arguments");
    const std::string dir = tessaline::DeviceDirectory();
    std::vector<std::string> json_channels;
    std::string human = "device directory: " + dir + "\n";
    bool any = false;
    for (const ChannelView& c : kChannels) {
        // The library's own listing, the one discovery runs before an open.
        const tessaline::DeviceListing listing = tessaline::ListDevices(*c.cls);
        const std::string class_dir = tessaline::ClassDirectory(*c.cls);
        const std::string& refusal = listing.refusal;
        const char* named = std::getenv(c.variable);
        std::string use;
        if (named && *named)
            use = named;
        else if (listing.would_use >= 0)
            use = listing.devices[static_cast<std::size_t>(listing.would_use)].path;
        any |= !use.empty();
        std::vector<std::string> json_entries;
        using tessaline::DeviceState;
        using tessaline::ListingOutcome;
        human += std::string(c.label) + " channel: " + class_dir;
        human += listing.outcome == ListingOutcome::Missing      ? " (absent)\n"
                 : listing.outcome == ListingOutcome::Unreadable ? " (cannot be listed)\n"
                 : listing.outcome == ListingOutcome::Untrusted  ? " (not searched: " + refusal + ")\n"
                                                                 : "\n";
        for (const auto& e : listing.devices) {
            std::string detail;
            const bool refused = e.state == DeviceState::Unreachable && NotPermitted(e.path, detail);
            const char* state = e.state == DeviceState::Live         ? "live"
                                : e.state == DeviceState::Stale      ? "stale"
                                : e.state == DeviceState::NotASocket ? "not a socket"
                                : refused                            ? "not permitted"
                                                                     : "cannot be probed";
            human += "  " + e.path + "  " + state;
            if (refused)
                human += " (" + detail + "; its server shares it with a group: tessaline-simd --socket-group GROUP)";
            human += "\n";
            JsonObject je;
            je.Str("path", e.path).Str("state", state);
            if (refused) je.Str("detail", detail);
            json_entries.push_back(je.Text());
        }
        if (named && *named) human += "  " + std::string(c.variable) + " names " + named + "\n";
        human += "  an operation would use: " + (use.empty() ? std::string("none") : use) + "\n";
        JsonObject jc;
        jc.Str("channel", c.label).Str("class_directory", class_dir)
            .Str("listing", listing.outcome == ListingOutcome::Listed      ? "ok"
                            : listing.outcome == ListingOutcome::Missing   ? "absent"
                            : listing.outcome == ListingOutcome::Untrusted ? "untrusted"
                                                                           : "unreadable")
            .Raw("not_searched_because", refusal.empty() ? "null" : JsonString(refusal))
            .Raw("devices", JsonArray(json_entries))
            .Raw("explicit", named && *named ? JsonString(named) : "null")
            .Raw("would_use", use.empty() ? "null" : JsonString(use));
        json_channels.push_back(jc.Text());
    }
    return FinishDevices(out, any, JsonObject().Str("device_directory", dir).Raw("channels", JsonArray(json_channels)),
                         human);
}

}  // namespace cli
