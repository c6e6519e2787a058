// The tool's commands of sending and of the fax events: send, wait, cancel.
#include "tools/command_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cli {

namespace {

// Whether the file to send can be read: empty when it can; otherwise what is
// wrong with it, with the system's reason.
std::string CheckInputFile(const std::string& file) {
    struct stat st {};
    if (stat(file.c_str(), &st) != 0) {
        const int why = errno;
        struct stat link {};
        if (why == ENOENT && lstat(file.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
            return "cannot read " + file + ": a symbolic link to a file that does not exist";
        return "cannot read " + file + ": " + std::strerror(why);
    }
    if (S_ISDIR(st.st_mode)) return "cannot read " + file + ": it is a directory";
    if (!S_ISREG(st.st_mode)) return "cannot read " + file + ": not a regular file";
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "cannot read " + file + ": " + std::strerror(errno);
    close(fd);
    return {};
}

}  // namespace

int RunSend(const Output& out, const Parsed& args) {
    const std::string prefix = args.Value("--prefix");
    if (args.positional.size() < 2) return out.Usage("send needs a FILE and at least one NUMBER");
    const std::string file = args.positional[0];
    const std::vector<std::string> numbers(args.positional.begin() + 1, args.positional.end());
    std::string error;
    if (!FitsField(prefix, 32, "the prefix", error)) return out.Usage(error);
    std::vector<FAX_RECIPIENT> to(numbers.size());
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        // The device dials nothing for an empty number.
        if (numbers[i].empty()) return out.Usage("NUMBER " + std::to_string(i + 1) + " is empty");
        if (!FitsField(numbers[i], 32, "a number", error)) return out.Usage(error);
        std::memset(&to[i], 0, sizeof(to[i]));
        std::memcpy(to[i].Prefix, prefix.data(), prefix.size());
        std::memcpy(to[i].PhoneNumber, numbers[i].data(), numbers[i].size());
    }
    if (const std::string wrong = CheckInputFile(file); !wrong.empty()) return out.LocalFailure(wrong, file);
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->SendFax(const_cast<char*>(file.c_str()), static_cast<unsigned int>(to.size()), to.data(), &s);
    std::vector<std::string> json;
    for (const auto& n : numbers) json.push_back(JsonString(n));
    return out.Finish(s, JsonObject(), [&] {
        std::printf("sent %s to %zu recipient(s); the device accepted the job\n", file.c_str(), numbers.size());
    }, Diagnose(s, "send"), JsonObject().Str("file", file).Raw("numbers", JsonArray(json)));
}

int RunWait(const Output& out, const Parsed& args) {
    if (!args.positional.empty()) return out.Usage("wait takes no arguments");
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAX_STATUS_ENUM event = e_NoFaxesAvailable;
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->WaitForReceivedFax(&event, &s);
    return out.Finish(s, JsonObject().Num("event", event).Str("event_name", EventName(event)),
                      [&] { std::printf("%s (%d)\n", EventName(event), static_cast<int>(event)); }, Diagnose(s, "wait"));
}

int RunCancel(const Output& out, const Parsed& args) {
    if (!args.positional.empty()) return out.Usage("cancel takes no arguments");
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->CancelIO(&s);
    return out.Finish(s, JsonObject(), [] { std::printf("pending I/O on the fax channel cancelled\n"); });
}

}  // namespace cli
