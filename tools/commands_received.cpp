// The tool's commands of the received faxes: count, list, get, rm, log.
#include "tools/command_support.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/documents/documents.h"
#include "tools/journal.h"
#include "tools/progress.h"
#include "tools/receive.h"

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

void SayMoreMayExist(const Output& out) {
    std::fprintf(stderr, "tessaline %s: %s\n", out.command.c_str(), MoreMayExistText().c_str());
}

}  // namespace

std::string MoreMayExistText() {
    return "the device lists at most " + std::to_string(MAX_RECEIVED_FAXES) +
           " faxes and may hold more: 'tessaline receive --remove DIR' stores them all, or removing some "
           "with 'tessaline rm' shows the rest";
}

int RunCount(const Output& out, const Parsed& args) {
    if (!args.positional.empty()) return out.Usage("count takes no arguments");
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    unsigned int count = 0;
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    out.Attempt([&] {
        fax->GetReceivedFaxCount(&count, &s);
        return s;
    });
    // The device counts no further than its list goes.
    const bool more = count >= MAX_RECEIVED_FAXES;
    return out.Finish(s, JsonObject().Num("count", count).Bool("more_may_exist", more), [&] {
        std::printf("%u\n", count);
        if (more) SayMoreMayExist(out);
    }, Diagnose(s, "count"));
}

namespace {

// The size of a file being written, or -1 while there is none.
long long FileSize(const std::string& path) {
    long long size = -1;
    return StatPath(path, &size) == PathKind::Regular ? size : -1;
}

bool EndsWithPdf(const std::string& path) {
    if (path.size() < 4) return false;
    std::string ext = path.substr(path.size() - 4);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".pdf";
}

// Copies a file to `to`; false when it can't be read or written.
bool CopyTo(const std::string& path, std::FILE* to) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    char buf[65536];
    bool ok = true;
    for (std::size_t n; ok && (n = std::fread(buf, 1, sizeof(buf), f)) > 0;)
        ok = std::fwrite(buf, 1, n, to) == n;
    ok = ok && !std::ferror(f) && std::fflush(to) == 0;
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
        // The name as the device gave it, bytes and all (it fits: it came
        // from a FAX_FILENAME).
        FAX_FILENAME fax_name;
        std::memset(&fax_name, 0, sizeof(fax_name));
        std::memcpy(fax_name.faxPath, n.data(), std::min(n.size(), sizeof(fax_name.faxPath) - 1));
        FAXSTATUS ls = FAXSTATUS_CMD_FAIL;
        out.Attempt([&] {
            fax->GetFaxLogEntry(&fax_name, &r.e, &ls);
            return ls;
        });
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
    const bool more = rows.size() >= MAX_RECEIVED_FAXES;
    return out.Finish(s, JsonObject().Raw("faxes", JsonArray(json)).Bool("more_may_exist", more), [&] {
        if (more) SayMoreMayExist(out);
        if (rows.empty()) return;
        std::printf("%-*s  %-19s  %11s  %8s  %s\n", static_cast<int>(width), "NAME", "TIME", "PAGES", "DURATION",
                    "SENDER");
        for (const Row& r : rows) {
            if (!r.have_log) {
                std::printf("%-*s  %-19s  %11s  %8s  %s\n", static_cast<int>(width), r.name.c_str(), "-", "-", "-",
                            "(no log entry)");
                continue;
            }
            std::printf("%-*s  %-19s  %11s  %7us  %s\n", static_cast<int>(width), r.name.c_str(),
                        LogTime(r.e.SendTime).c_str(), LogPagesText(r.e.Pages).c_str(), r.e.Duration,
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
    const JsonObject inputs = JsonObject().Str("name", name).Str("path", path);
    // What stands at the path decides, as for a plain download: a regular
    // file (also one reached through symbolic links, which stay) is replaced
    // in one step, anything else (a FIFO, a device) is written as it is.
    std::string target = path;
    bool write_in_place = to_stdout;
    if (const PathKind kind = to_stdout ? PathKind::Missing : StatPath(path); kind == PathKind::Regular) {
        if (const std::string real = ResolvedPath(path); !real.empty()) target = real;
    } else if (kind != PathKind::Missing) {
        write_in_place = true;
    }
    const std::string dir = write_in_place ? std::string() : DirectoryOf(target);
    doc::RemoveTempFilesOnSignals();
    doc::TempFile download, converted;
    std::string error;
    if (!download.Create(dir, ".tif", error) || (pdf && !converted.Create(dir, ".pdf", error)))
        return out.Fail(kCannotWrite, "cannot_write", error, inputs);
    std::string download_path = download.Path();
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    {
        ProgressLine progress(!out.json && StandardErrorIsTerminal());
        const TransferProgress fetching(progress, "fetching " + name, [&] { return FileSize(download_path); });
        out.Attempt([&] {
            fax->GetReceivedFax(&fax_name, download_path.data(), &s);
            return s;
        });
    }
    if (s != FAXSTATUS_OK) return out.Finish(s, JsonObject(), [] {}, Diagnose(s, "get", &name), inputs);
    int pages = 0;
    if (pdf) {
        const doc::Outcome o = doc::FaxToPdf(download.Path(), converted.Path(), pages, error);
        if (o == doc::Outcome::Unavailable) return out.Fail(kUnavailable, "unavailable", error, inputs);
        if (o == doc::Outcome::Refused)
            return out.Fail(kRefused, "refused",
                            "the device's " + name + " is no fax image that can be made a PDF: " + error, inputs);
        if (o != doc::Outcome::Ok) return out.Fail(kCannotWrite, "cannot_write", error, inputs);
    }
    const doc::TempFile& result = pdf ? converted : download;
    if (to_stdout) {
        UseBinary(stdout);
        if (!CopyTo(result.Path(), stdout))
            return out.Fail(kCannotWrite, "cannot_write", "cannot write to standard output", inputs);
        JournalStored("get", name, "-", pages);
        return 0;
    }
    if (write_in_place) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        const bool ok = f && CopyTo(result.Path(), f);
        const int why = errno;
        if ((f && std::fclose(f) != 0) || !ok)
            return out.Fail(kCannotWrite, "cannot_write", "cannot write " + path + ": " + std::strerror(why), inputs);
    } else {
        if (std::rename(result.Path().c_str(), target.c_str()) != 0)
            return out.Fail(kCannotWrite, "cannot_write", "cannot write " + path + ": " + std::strerror(errno),
                            inputs);
        (pdf ? converted : download).Release();
        GiveDefaultMode(target);
    }
    JournalStored("get", name, path, pages);
    long long size = 0;
    const bool sized = StatPath(path, &size) == PathKind::Regular;
    JsonObject data;
    if (sized) data.Num("bytes", size);
    data.Str("format", pdf ? "pdf" : "tiff");
    if (pdf) data.Num("pages", pages);
    return out.Finish(s, data, [&] {
        if (sized)
            std::printf("saved %s to %s as PDF (%d page(s), %lld bytes)\n", name.c_str(), path.c_str(), pages, size);
        else
            std::printf("saved %s to %s as PDF (%d page(s))\n", name.c_str(), path.c_str(), pages);
    }, {}, inputs);
}

}  // namespace

int RunList(const Output& out, const Parsed& args) {
    if (!args.positional.empty()) return out.Usage("list takes no arguments");
    const bool long_form = args.Has("--long");
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAX_FILENAME names[MAX_RECEIVED_FAXES];
    std::memset(names, 0, sizeof(names));
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    out.Attempt([&] {
        fax->GetReceivedFaxList(names, MAX_RECEIVED_FAXES, &s);
        return s;
    });
    std::vector<std::string> list;
    for (const FAX_FILENAME& n : names) {
        std::string name = Field(n.faxPath, sizeof(n.faxPath));
        if (name.empty()) break;  // entries are filled from the first
        list.push_back(name);
    }
    if (long_form) return ListLong(out, fax.get(), s, list);
    std::vector<std::string> json;
    for (const auto& n : list) json.push_back(JsonString(n));
    const bool more = list.size() >= MAX_RECEIVED_FAXES;
    return out.Finish(s, JsonObject().Raw("faxes", JsonArray(json)).Bool("more_may_exist", more), [&] {
        for (const auto& n : list) std::printf("%s\n", n.c_str());
        if (more) SayMoreMayExist(out);
    }, Diagnose(s, "list"));
}

int RunGet(const Output& out, const Parsed& args) {
    if (args.positional.size() > 1 || args.Has("--all") || args.Has("--directory")) return GetSeveral(out, args);
    std::string name;
    const bool pdf_asked = args.Has("--pdf");
    FAX_FILENAME fax_name;
    if (int exit = 0; !OneFaxName(out, args, name, fax_name, exit)) return exit;
    std::string path = args.Value("--output");
    if (args.Has("--output") && path.empty()) return out.Usage("--output needs a path");
    if (path.empty()) {
        path = DefaultFileName(name, pdf_asked);
        if (path.empty()) return out.Usage("the fax name '" + name + "' is no file name; give one with -o");
    }
    // --no-clobber: a file already at the path stays, and the command says so.
    if (args.Has("--no-clobber") && path != "-" && StatPath(path) != PathKind::Missing)
        return out.Fail(kCannotWrite, "exists", path + " is there already (--no-clobber)",
                        JsonObject().Str("name", name).Str("path", path));
    // -o - writes the fax (or its PDF) to standard output, alone.
    const bool to_dash = path == "-";
    if (to_dash && out.json) return out.Usage("-o - and --json would both write to standard output");
    const bool pdf = pdf_asked || (!to_dash && EndsWithPdf(path));
    if (!to_dash)
        if (const std::string wrong = CheckOutputPath(path); !wrong.empty()) return out.LocalFailure(wrong, path);
    // A download to standard output by its name (-o /dev/stdout) keeps the
    // output the fax alone: the confirmation goes to standard error.
    const bool to_stdout = !to_dash && IsStandardOutput(path);
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    if (pdf || to_dash) return GetConverted(out, fax.get(), fax_name, name, path, pdf);
    {
        // On a terminal, a download that takes a while shows its time and size.
        ProgressLine progress(!out.json && !to_stdout && StandardErrorIsTerminal());
        const TransferProgress fetching(progress, "fetching " + name, [&] { return FileSize(path); });
        out.Attempt([&] {
            fax->GetReceivedFax(&fax_name, path.data(), &s);
            return s;
        });
    }
    if (s == FAXSTATUS_OK) JournalStored("get", name, path, 0);
    long long size = 0;
    const bool sized = s == FAXSTATUS_OK && StatPath(path, &size) == PathKind::Regular;
    JsonObject data;
    if (sized) data.Num("bytes", size);
    return out.Finish(s, data, [&] {
        std::FILE* say = to_stdout ? stderr : stdout;
        if (sized && !to_stdout)
            std::fprintf(say, "saved %s to %s (%lld bytes)\n", name.c_str(), path.c_str(), size);
        else
            std::fprintf(say, "saved %s to %s\n", name.c_str(), path.c_str());
    }, Diagnose(s, "get", &name), JsonObject().Str("name", name).Str("path", path));
}

int RunRemove(const Output& out, const Parsed& args) {
    if (args.positional.size() > 1) return RemoveSeveral(out, args);
    std::string name;
    FAX_FILENAME fax_name;
    if (int exit = 0; !OneFaxName(out, args, name, fax_name, exit)) return exit;
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    out.Attempt([&] {
        fax->RemoveReceivedFax(&fax_name, &s);
        return s;
    });
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
    out.Attempt([&] {
        fax->GetFaxLogEntry(&fax_name, &e, &s);
        return s;
    });
    const FAX_TIME& t = e.SendTime;
    JsonObject data;
    AddLogEntry(data, e);
    return out.Finish(s, data, [&] {
        std::printf("SendTime    %02d:%02d:%02d  day-of-week %d  day %d  month %d  year %d\n", t.hour, t.min, t.sec,
                    t.DOW, t.day, t.month, t.year);
        std::printf("Duration    %u\nFAXSTATUS   %u\nFaxType     %u\nPages       %s\nThumbnail   %u\n", e.Duration,
                    e.FAXSTATUS, e.FaxType, LogPagesText(e.Pages).c_str(), e.Thumbnail);
        std::printf("CIS         %s\nFileName    %s\n", Field(e.CIS, sizeof(e.CIS)).c_str(),
                    Field(e.FileName, sizeof(e.FileName)).c_str());
    }, Diagnose(s, "log", &name), JsonObject().Str("name", name));
}

}  // namespace cli
