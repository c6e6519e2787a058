// The tool's commands of the received faxes: count, list, get, rm, log.
#include "tools/command_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cli {
namespace {

// The single fax name a command takes, as bytes, or a usage error.
bool OneFaxName(const Output& out, const Parsed& args, std::string& name, FAX_FILENAME& fax_name, int& exit) {
    if (args.positional.size() != 1) {
        exit = out.Usage(out.command + " takes one fax name");
        return false;
    }
    name = args.positional[0];
    std::string error;
    if (!ToFaxName(name, fax_name, error)) {
        exit = out.Usage(error);
        return false;
    }
    return true;
}

// Whether a download can be stored at `path`: its directory exists and can
// take a new file, and the path is not a directory. Empty when it can;
// otherwise what is wrong, with the system's reason.
std::string CheckOutputPath(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return path + " is a directory";
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (stat(dir.c_str(), &st) != 0) return "cannot write " + path + ": " + dir + ": " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return "cannot write " + path + ": " + dir + " is not a directory";
    if (access(dir.c_str(), W_OK | X_OK) != 0) return "cannot write " + path + ": " + dir + ": " + std::strerror(errno);
    return {};
}

}  // namespace

int RunCount(const Output& out, const Parsed& args) {
    if (!args.positional.empty()) return out.Usage("count takes no arguments");
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    unsigned int count = 0;
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->GetReceivedFaxCount(&count, &s);
    return out.Finish(s, JsonObject().Num("count", count), [&] { std::printf("%u\n", count); }, Diagnose(s, "count"));
}

int RunList(const Output& out, const Parsed& args) {
    if (!args.positional.empty()) return out.Usage("list takes no arguments");
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAX_FILENAME names[MAX_RECEIVED_FAXES];
    std::memset(names, 0, sizeof(names));
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->GetReceivedFaxList(names, MAX_RECEIVED_FAXES, &s);
    std::vector<std::string> list;
    for (const FAX_FILENAME& n : names) {
        std::string name = Field(n.faxPath, sizeof(n.faxPath));
        if (name.empty()) break;  // entries are filled from the first
        list.push_back(name);
    }
    std::vector<std::string> json;
    for (const auto& n : list) json.push_back(JsonString(n));
    return out.Finish(s, JsonObject().Raw("faxes", JsonArray(json)), [&] {
        for (const auto& n : list) std::printf("%s\n", n.c_str());
    }, Diagnose(s, "list"));
}

int RunGet(const Output& out, const Parsed& args) {
    std::string name;
    FAX_FILENAME fax_name;
    if (int exit = 0; !OneFaxName(out, args, name, fax_name, exit)) return exit;
    std::string path = args.Value("--output");
    if (args.Has("--output") && path.empty()) return out.Usage("--output needs a path");
    if (path.empty()) {
        // The device chooses its names: keep only the last component, so a
        // name can never lead outside the current directory.
        path = name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
        if (path.empty() || path == "." || path == "..")
            return out.Usage("the fax name '" + name + "' is no file name; give one with -o");
    }
    if (const std::string wrong = CheckOutputPath(path); !wrong.empty()) return out.LocalFailure(wrong, path);
    // A download to standard output (-o /dev/stdout) keeps the output the
    // fax alone: the confirmation goes to standard error.
    struct stat target {}, standard_output {};
    const bool to_stdout = stat(path.c_str(), &target) == 0 && fstat(STDOUT_FILENO, &standard_output) == 0 &&
                           target.st_dev == standard_output.st_dev && target.st_ino == standard_output.st_ino;
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->GetReceivedFax(&fax_name, path.data(), &s);
    struct stat st {};
    const bool sized = s == FAXSTATUS_OK && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    JsonObject data;
    if (sized) data.Num("bytes", static_cast<long long>(st.st_size));
    return out.Finish(s, data, [&] {
        std::FILE* say = to_stdout ? stderr : stdout;
        if (sized && !to_stdout)
            std::fprintf(say, "saved %s to %s (%lld bytes)\n", name.c_str(), path.c_str(),
                         static_cast<long long>(st.st_size));
        else
            std::fprintf(say, "saved %s to %s\n", name.c_str(), path.c_str());
    }, Diagnose(s, "get", &name), JsonObject().Str("name", name).Str("path", path));
}

int RunRemove(const Output& out, const Parsed& args) {
    std::string name;
    FAX_FILENAME fax_name;
    if (int exit = 0; !OneFaxName(out, args, name, fax_name, exit)) return exit;
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->RemoveReceivedFax(&fax_name, &s);
    return out.Finish(s, JsonObject(), [&] { std::printf("removed %s\n", name.c_str()); }, Diagnose(s, "rm", &name),
                      JsonObject().Str("name", name));
}

int RunLog(const Output& out, const Parsed& args) {
    std::string name;
    FAX_FILENAME fax_name;
    if (int exit = 0; !OneFaxName(out, args, name, fax_name, exit)) return exit;
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAX_LOG_ENTRY e;
    std::memset(&e, 0, sizeof(e));
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->GetFaxLogEntry(&fax_name, &e, &s);
    const FAX_TIME& t = e.SendTime;
    JsonObject when;
    when.Num("hour", t.hour).Num("min", t.min).Num("sec", t.sec).Num("DOW", t.DOW).Num("day", t.day)
        .Num("month", t.month).Num("year", t.year);
    JsonObject data;
    data.Raw("SendTime", when.Text()).Num("Duration", e.Duration).Num("FAXSTATUS", e.FAXSTATUS)
        .Num("FaxType", e.FaxType).Num("Pages", e.Pages).Num("Thumbnail", e.Thumbnail)
        .Str("CIS", Field(e.CIS, sizeof(e.CIS))).Str("FileName", Field(e.FileName, sizeof(e.FileName)));
    return out.Finish(s, data, [&] {
        std::printf("SendTime    %02d:%02d:%02d  day-of-week %d  day %d  month %d  year %d\n", t.hour, t.min, t.sec,
                    t.DOW, t.day, t.month, t.year);
        std::printf("Duration    %u\nFAXSTATUS   %u\nFaxType     %u\nPages       %u\nThumbnail   %u\n", e.Duration,
                    e.FAXSTATUS, e.FaxType, e.Pages, e.Thumbnail);
        std::printf("CIS         %s\nFileName    %s\n", Field(e.CIS, sizeof(e.CIS)).c_str(),
                    Field(e.FileName, sizeof(e.FileName)).c_str());
    }, Diagnose(s, "log", &name), JsonObject().Str("name", name));
}

}  // namespace cli
