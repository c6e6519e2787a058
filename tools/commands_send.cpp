// The tool's commands of sending and of the fax events: send, wait, cancel.
#include "tools/command_support.h"

#include <cstdio>
#include <cstring>

namespace cli {

int RunSend(const Output& out, const Args& args) {
    std::string prefix, file;
    std::vector<std::string> numbers;
    bool options_done = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (!options_done && args[i] == "--prefix") {
            if (++i >= args.size()) return Usage("--prefix needs a value");
            prefix = args[i];
        } else if (!options_done && args[i] == "--") {
            options_done = true;
        } else if (file.empty()) {
            file = args[i];
        } else {
            numbers.push_back(args[i]);
        }
    }
    if (file.empty() || numbers.empty()) return Usage("send needs a FILE and at least one NUMBER");
    std::string error;
    if (!FitsField(prefix, 32, "the prefix", error)) return Usage(error);
    std::vector<FAX_RECIPIENT> to(numbers.size());
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        // An empty NUMBER stays an empty recipient; the device skips it.
        if (!FitsField(numbers[i], 32, "a number", error)) return Usage(error);
        std::memset(&to[i], 0, sizeof(to[i]));
        std::memcpy(to[i].Prefix, prefix.data(), prefix.size());
        std::memcpy(to[i].PhoneNumber, numbers[i].data(), numbers[i].size());
    }
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->SendFax(file.data(), static_cast<unsigned int>(to.size()), to.data(), &s);
    std::vector<std::string> json;
    for (const auto& n : numbers) json.push_back(JsonString(n));
    return out.Finish(s, JsonObject().Str("file", file).Raw("numbers", JsonArray(json)), [&] {
        std::printf("sent %s to %zu recipient(s); the device accepted the job\n", file.c_str(), numbers.size());
    });
}

int RunWait(const Output& out, const Args& args) {
    if (!args.empty()) return Usage("wait takes no arguments");
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAX_STATUS_ENUM event = e_NoFaxesAvailable;
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->WaitForReceivedFax(&event, &s);
    return out.Finish(s, JsonObject().Num("event", event).Str("event_name", EventName(event)),
                      [&] { std::printf("%s (%d)\n", EventName(event), static_cast<int>(event)); });
}

int RunCancel(const Output& out, const Args& args) {
    if (!args.empty()) return Usage("cancel takes no arguments");
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->CancelIO(&s);
    return out.Finish(s, JsonObject(), [] { std::printf("pending I/O on the fax channel cancelled\n"); });
}

}  // namespace cli
