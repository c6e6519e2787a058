// tessaline devices: where discovery looks, what each channel class holds,
// and which device an operation would use, as the system's part of the
// command finds them (tools/os/device_presence.h).
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/command_support.h"

namespace cli {

int RunDevices(const Output& out, const Parsed& args) {
    if (!args.positional.empty()) return out.Usage("devices takes no arguments");
    const std::string dir = DeviceDirectoryShown();
    std::vector<std::string> json_channels;
    std::string human = dir.empty() ? "" : "device directory: " + dir + "\n";
    bool any = false;
    for (const ChannelView& c : kChannels) {
        const ChannelFindings found = FindChannel(*c.cls);
        const char* named = std::getenv(c.variable);
        std::string use;
        if (named && *named)
            use = named;
        else if (found.would_use >= 0)
            use = found.devices[static_cast<std::size_t>(found.would_use)].path;
        any |= !use.empty();
        human += std::string(c.label) + " channel: " + found.where;
        human += found.listing == "absent"       ? " (absent)\n"
                 : found.listing == "unreadable" ? " (cannot be listed)\n"
                 : found.listing == "untrusted"  ? " (not searched: " + found.refusal + ")\n"
                                                 : "\n";
        std::vector<std::string> json_entries;
        for (const ChannelFindings::Device& d : found.devices) {
            human += "  " + d.path + "  " + d.state;
            if (!d.detail.empty()) human += " (" + d.detail + (d.advice.empty() ? "" : "; " + d.advice) + ")";
            human += "\n";
            JsonObject je;
            je.Str("path", d.path).Str("state", d.state);
            if (!d.detail.empty()) je.Str("detail", d.detail);
            json_entries.push_back(je.Text());
        }
        if (named && *named) human += "  " + std::string(c.variable) + " names " + named + "\n";
        human += "  an operation would use: " + (use.empty() ? std::string("none") : use) + "\n";
        JsonObject jc;
        jc.Str("channel", c.label);
        if (!found.listing.empty()) {
            jc.Str("class_directory", found.where)
                .Str("listing", found.listing)
                .Raw("not_searched_because", found.refusal.empty() ? "null" : JsonString(found.refusal));
        }
        jc.Raw("devices", JsonArray(json_entries))
            .Raw("explicit", named && *named ? JsonString(named) : "null")
            .Raw("would_use", use.empty() ? "null" : JsonString(use));
        json_channels.push_back(jc.Text());
    }
    JsonObject data;
    if (!dir.empty()) data.Str("device_directory", dir);
    return FinishDevices(out, any, data.Raw("channels", JsonArray(json_channels)), human);
}

}  // namespace cli
