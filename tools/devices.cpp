// The tool's device listing: where discovery looks, what each channel class
// holds, and which device an operation would use.
#include "tools/command_support.h"

#include <cstdio>
#include <cstdlib>

#include "platform/device_directory.h"

namespace cli {

int RunDevices(const Output& out, const Parsed& args) {
    if (!args.positional.empty()) return out.Usage("devices takes no arguments");
    const std::string dir = plat::DeviceDirectory();
    std::vector<std::string> json_channels;
    std::string human = "device directory: " + dir + "\n";
    bool any = false;
    for (const ChannelView& c : kChannels) {
        std::vector<plat::DeviceEntry> entries;
        std::string refusal;
        const plat::ClassListing listing = plat::ListDeviceInterfaces(*c.cls, entries, &refusal);
        const char* named = std::getenv(c.variable);
        std::string use;
        if (named && *named) {
            use = named;
        } else {
            for (const auto& e : entries)
                if (use.empty() && (e.state == plat::DeviceState::Live || e.state == plat::DeviceState::Unreachable))
                    use = e.path;
        }
        any |= !use.empty();
        std::vector<std::string> json_entries;
        human += std::string(c.label) + " channel: " + plat::ClassDirectory(*c.cls);
        human += listing == plat::ClassListing::Missing      ? " (absent)\n"
                 : listing == plat::ClassListing::Unreadable ? " (cannot be listed)\n"
                 : listing == plat::ClassListing::Untrusted  ? " (not searched: " + refusal + ")\n"
                                                             : "\n";
        for (const auto& e : entries) {
            std::string detail;
            const bool refused = e.state == plat::DeviceState::Unreachable && NotPermitted(e.path, detail);
            const char* state = e.state == plat::DeviceState::Live        ? "live"
                                : e.state == plat::DeviceState::Stale     ? "stale"
                                : e.state == plat::DeviceState::NotASocket ? "not a socket"
                                : refused                                  ? "not permitted"
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
        jc.Str("channel", c.label).Str("class_directory", plat::ClassDirectory(*c.cls))
            .Str("listing", listing == plat::ClassListing::Ok          ? "ok"
                            : listing == plat::ClassListing::Missing   ? "absent"
                            : listing == plat::ClassListing::Untrusted ? "untrusted"
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
