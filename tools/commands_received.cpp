// The tool's commands of the received faxes: count, list, get, rm, log.
#include "tools/command_support.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

namespace cli {

int RunCount(const Output& out, const Args& args) {
    if (!args.empty()) return Usage("count takes no arguments");
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    unsigned int count = 0;
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->GetReceivedFaxCount(&count, &s);
    return out.Finish(s, JsonObject().Num("count", count), [&] { std::printf("%u\n", count); });
}

int RunList(const Output& out, const Args& args) {
    if (!args.empty()) return Usage("list takes no arguments");
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
    });
}

int RunGet(const Output& out, const Args& args) {
    std::string name, path;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-o" || args[i] == "--output") {
            if (++i >= args.size()) return Usage("-o needs a path");
            path = args[i];
        } else if (name.empty()) {
            name = args[i];
        } else {
            return Usage("get takes one fax name");
        }
    }
    if (name.empty()) return Usage("get needs a fax name");
    std::string error;
    FAX_FILENAME fax_name;
    if (!ToFaxName(name, fax_name, error)) return Usage(error);
    if (path.empty()) {
        // The device chooses its names: keep only the last component, so a
        // name can never lead outside the current directory.
        path = name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
        if (path.empty() || path == "." || path == "..")
            return Usage("the fax name '" + name + "' is no file name; give one with -o");
    }
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->GetReceivedFax(&fax_name, path.data(), &s);
    struct stat st {};
    long long size = s == FAXSTATUS_OK && stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    return out.Finish(s, JsonObject().Str("name", name).Str("path", path).Num("bytes", size), [&] {
        std::printf("saved %s to %s (%lld bytes)\n", name.c_str(), path.c_str(), size);
    });
}

int RunRemove(const Output& out, const Args& args) {
    if (args.size() != 1) return Usage("rm takes one fax name");
    std::string error;
    FAX_FILENAME fax_name;
    if (!ToFaxName(args[0], fax_name, error)) return Usage(error);
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->RemoveReceivedFax(&fax_name, &s);
    return out.Finish(s, JsonObject().Str("name", args[0]), [&] { std::printf("removed %s\n", args[0].c_str()); });
}

int RunLog(const Output& out, const Args& args) {
    if (args.size() != 1) return Usage("log takes one fax name");
    std::string error;
    FAX_FILENAME fax_name;
    if (!ToFaxName(args[0], fax_name, error)) return Usage(error);
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
    data.Str("name", args[0]).Raw("SendTime", when.Text()).Num("Duration", e.Duration).Num("FAXSTATUS", e.FAXSTATUS)
        .Num("FaxType", e.FaxType).Num("Pages", e.Pages).Num("Thumbnail", e.Thumbnail)
        .Str("CIS", Field(e.CIS, sizeof(e.CIS))).Str("FileName", Field(e.FileName, sizeof(e.FileName)));
    return out.Finish(s, data, [&] {
        std::printf("SendTime    %02d:%02d:%02d  day-of-week %d  day %d  month %d  year %d\n", t.hour, t.min, t.sec,
                    t.DOW, t.day, t.month, t.year);
        std::printf("Duration    %u\nFAXSTATUS   %u\nFaxType     %u\nPages       %u\nThumbnail   %u\n", e.Duration,
                    e.FAXSTATUS, e.FaxType, e.Pages, e.Thumbnail);
        std::printf("CIS         %s\nFileName    %s\n", Field(e.CIS, sizeof(e.CIS)).c_str(),
                    Field(e.FileName, sizeof(e.FileName)).c_str());
    });
}

}  // namespace cli
