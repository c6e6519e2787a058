// The tool's commands of sending and of the fax events: send, wait, cancel.
#include "tools/command_support.h"

#include <cstdio>
#include <cstring>

#include "tools/deadline.h"
#include "tools/documents/documents.h"

namespace cli {

namespace {

// The outcome of preparing a file, as the command's status.
int PreparationFailed(const Output& out, doc::Outcome o, const std::string& message, const std::string& file,
                      const doc::Detected& detected) {
    JsonObject data;
    data.Str("file", file).Raw("kind", detected.description.empty() ? "null" : JsonString(detected.description));
    switch (o) {
        case doc::Outcome::Refused:
            return out.Fail(kRefused, "REFUSED", message, data);
        case doc::Outcome::Unreadable:
            return out.Fail(kUnreadable, "UNREADABLE", message, data);
        case doc::Outcome::Unavailable:
            return out.Fail(kUnavailable, "UNAVAILABLE", message, data);
        case doc::Outcome::Failed:
        case doc::Outcome::Ok:
            break;
    }
    return out.Fail(kCannotWrite, "CANNOT_WRITE", message, data);
}

}  // namespace

int RunSend(const Output& out, const Args& args) {
    std::string prefix, file, value;
    std::vector<std::string> numbers;
    bool options_done = false, raw = false, paper_given = false;
    doc::FaxOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (!options_done && args[i] == "--raw") {
            raw = true;
        } else if (const int r = options_done ? 0 : OptionValue(args, i, "--resolution", value); r != 0) {
            if (r < 0 || (value != "fine" && value != "normal")) return Usage("--resolution takes fine or normal");
            options.resolution = value == "fine" ? doc::Resolution::Fine : doc::Resolution::Normal;
            options.resolution_given = true;
        } else if (const int p = options_done ? 0 : OptionValue(args, i, "--paper", value); p != 0) {
            if (p < 0 || (value != "a4" && value != "letter")) return Usage("--paper takes a4 or letter");
            options.paper = value == "a4" ? doc::Paper::A4 : doc::Paper::Letter;
            paper_given = true;
        } else if (const int q = options_done ? 0 : OptionValue(args, i, "--prefix", value); q != 0) {
            if (q < 0) return Usage("--prefix needs a value");
            prefix = value;
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
    if (raw && options.resolution_given) return Usage("--raw sends the file as it is: it takes no --resolution");
    if (raw && paper_given) return Usage("--raw sends the file as it is: it takes no --paper");
    // The device skips a recipient without a number: it is no recipient.
    std::size_t recipients = 0;
    for (const auto& n : numbers) recipients += n.empty() ? 0 : 1;

    // What goes to the device: the file itself (a fax image, or anything
    // with --raw), or its conversion, in a temporary file removed on every
    // path, a stopping signal included.
    doc::Prepared prepared;
    std::string send_path = file;
    if (!raw) {
        if (!paper_given) options.paper = doc::DefaultPaper();
        doc::RemoveTempFilesOnSignals();
        std::string message;
        const doc::Outcome o = doc::PrepareForFax(file, options, prepared, message);
        if (o != doc::Outcome::Ok) return PreparationFailed(out, o, message, file, prepared.detected);
        send_path = prepared.path;
    }
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->SendFax(send_path.data(), static_cast<unsigned int>(to.size()), to.data(), &s);
    prepared.temp.Remove();
    std::vector<std::string> json;
    for (const auto& n : numbers) json.push_back(JsonString(n));
    JsonObject data;
    data.Str("file", file).Raw("numbers", JsonArray(json)).Num("recipients", static_cast<long long>(recipients));
    if (raw) {
        data.Raw("pages", "null").Raw("kind", "null").Bool("converted", false).Bool("raw", true);
    } else {
        data.Num("pages", prepared.pages).Str("kind", prepared.detected.description)
            .Bool("converted", prepared.converted).Bool("raw", false);
    }
    return out.Finish(s, data, [&] {
        if (raw) {
            std::printf("sent %s unexamined to %zu recipient(s); the device accepted the job\n", file.c_str(),
                        recipients);
        } else {
            std::printf("sent %d page(s) of %s (%s%s) to %zu recipient(s); the device accepted the job\n",
                        prepared.pages, file.c_str(), prepared.detected.description.c_str(),
                        prepared.converted ? ", converted" : ", as it is", recipients);
        }
    });
}

int RunWait(const Output& out, const Args& args) {
    // A time limit (--timeout, taken by main like every option of all
    // commands) releases the wait with CancelIO; Finish reports it.
    if (!args.empty()) return Usage("wait takes no arguments but --timeout S");
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
