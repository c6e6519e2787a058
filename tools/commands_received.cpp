// The tool's commands of the received faxes: count, list, get, rm, log.
#include "tools/command_support.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/documents/documents.h"
#include "tools/receive.h"

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

namespace {

std::string Directory(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool EndsWithPdf(const std::string& path) {
    if (path.size() < 4) return false;
    std::string ext = path.substr(path.size() - 4);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".pdf";
}

// Copies a file to standard output; false when it can't be read or written.
bool CopyToStdout(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    char buf[65536];
    bool ok = true;
    for (std::size_t n; ok && (n = std::fread(buf, 1, sizeof(buf), f)) > 0;)
        ok = std::fwrite(buf, 1, n, stdout) == n;
    ok = ok && !std::ferror(f) && std::fflush(stdout) == 0;
    std::fclose(f);
    return ok;
}

// list -l: each fax with its log entry.
int ListLong(const Output& out, IUSBFAX* fax, FAXSTATUS s, const std::vector<std::string>& list) {
    struct Row {
        std::string name;
        bool have_log = false;
        FAX_LOG_ENTRY e{};
    };
    std::vector<Row> rows;
    for (const auto& n : list) {
        Row r;
        r.name = n;
        FAX_FILENAME fax_name;
        std::string error;
        FAXSTATUS ls = FAXSTATUS_CMD_FAIL;
        if (ToFaxName(n, fax_name, error)) fax->GetFaxLogEntry(&fax_name, &r.e, &ls);
        r.have_log = ls == FAXSTATUS_OK;
        rows.push_back(r);
    }
    std::vector<std::string> json;
    std::size_t width = 4;
    for (const Row& r : rows) {
        width = std::max(width, r.name.size());
        JsonObject o;
        o.Str("name", r.name);
        if (r.have_log) {
            o.Str("time", LogTime(r.e.SendTime));
            AddLogEntry(o, r.e);
        } else {
            o.Raw("time", "null");
        }
        json.push_back(o.Text());
    }
    return out.Finish(s, JsonObject().Raw("faxes", JsonArray(json)), [&] {
        if (rows.empty()) return;
        std::printf("%-*s  %-19s  %5s  %8s  %s\n", static_cast<int>(width), "NAME", "TIME", "PAGES", "DURATION",
                    "SENDER");
        for (const Row& r : rows) {
            if (!r.have_log) {
                std::printf("%-*s  %-19s  %5s  %8s  %s\n", static_cast<int>(width), r.name.c_str(), "-", "-", "-",
                            "(no log entry)");
                continue;
            }
            std::printf("%-*s  %-19s  %5u  %7us  %s\n", static_cast<int>(width), r.name.c_str(),
                        LogTime(r.e.SendTime).c_str(), r.e.Pages, r.e.Duration,
                        Field(r.e.CIS, sizeof(r.e.CIS)).c_str());
        }
    });
}

// get as PDF, or to standard output: the download goes to a temporary
// file (beside the target, so that the target is replaced in one step),
// then becomes the PDF or is copied out. The library stores the fax as the
// device sent it; the conversion is the command's.
int GetConverted(const Output& out, IUSBFAX* fax, FAX_FILENAME& fax_name, const std::string& name,
                 const std::string& path, bool pdf) {
    const bool to_stdout = path == "-";
    const std::string dir = to_stdout ? std::string() : Directory(path);
    doc::RemoveTempFilesOnSignals();
    doc::TempFile download, converted;
    std::string error;
    if (!download.Create(dir, ".tif", error) || (pdf && !converted.Create(dir, ".pdf", error)))
        return out.Fail(kCannotWrite, "CANNOT_WRITE", error);
    std::string download_path = download.Path();
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->GetReceivedFax(&fax_name, download_path.data(), &s);
    if (s != FAXSTATUS_OK) return out.Finish(s, JsonObject().Str("name", name).Str("path", path), [] {});
    int pages = 0;
    if (pdf) {
        const doc::Outcome o = doc::FaxToPdf(download.Path(), converted.Path(), pages, error);
        if (o == doc::Outcome::Unavailable) return out.Fail(kUnavailable, "UNAVAILABLE", error);
        if (o == doc::Outcome::Refused)
            return out.Fail(kRefused, "REFUSED", "the device's " + name + " is no fax image that can be made a PDF: " + error);
        if (o != doc::Outcome::Ok) return out.Fail(kCannotWrite, "CANNOT_WRITE", error);
    }
    const doc::TempFile& result = pdf ? converted : download;
    if (to_stdout) {
        if (!CopyToStdout(result.Path())) return out.Fail(kCannotWrite, "CANNOT_WRITE", "cannot write to standard output");
        return 0;
    }
    if (std::rename(result.Path().c_str(), path.c_str()) != 0)
        return out.Fail(kCannotWrite, "CANNOT_WRITE", "cannot write " + path + ": " + std::strerror(errno));
    (pdf ? converted : download).Release();
    struct stat st {};
    const long long size = stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    JsonObject data;
    data.Str("name", name).Str("path", path).Num("bytes", size).Str("format", pdf ? "pdf" : "tiff");
    if (pdf) data.Num("pages", pages);
    return out.Finish(s, data, [&] {
        std::printf("saved %s to %s as PDF (%d page(s), %lld bytes)\n", name.c_str(), path.c_str(), pages, size);
    });
}

}  // namespace

int RunList(const Output& out, const Args& args) {
    bool long_form = false;
    for (const auto& a : args) {
        if (a != "-l" && a != "--long") return Usage("list takes only -l");
        long_form = true;
    }
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
    if (long_form) return ListLong(out, fax.get(), s, list);
    std::vector<std::string> json;
    for (const auto& n : list) json.push_back(JsonString(n));
    return out.Finish(s, JsonObject().Raw("faxes", JsonArray(json)), [&] {
        for (const auto& n : list) std::printf("%s\n", n.c_str());
    });
}

int RunGet(const Output& out, const Args& args) {
    std::string name, path;
    bool pdf = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-o" || args[i] == "--output") {
            if (++i >= args.size()) return Usage("-o needs a path");
            path = args[i];
        } else if (args[i] == "--pdf") {
            pdf = true;
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
        if (pdf) {
            const std::size_t dot = path.rfind('.');
            path = (dot == std::string::npos || dot == 0 ? path : path.substr(0, dot)) + ".pdf";
        }
    }
    const bool to_stdout = path == "-";
    if (to_stdout && out.json) return Usage("-o - and --json would both write to standard output");
    pdf = pdf || (!to_stdout && EndsWithPdf(path));
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    if (pdf || to_stdout) return GetConverted(out, fax.get(), fax_name, name, path, pdf);
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
    JsonObject data;
    data.Str("name", args[0]);
    AddLogEntry(data, e);
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
