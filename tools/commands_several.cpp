// get and rm of several faxes at once: get NAME... / get --all [-d DIR],
// rm NAME.... Each fax is handled on its own; one line each for people, one
// object for all under --json, and the exit status of the first that failed.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/command_support.h"
#include "tools/documents/documents.h"
#include "tools/journal.h"

namespace cli {
namespace {

struct Done {
    std::string name;
    int exit = 0;             // 0, a FAXSTATUS, or one of the command's statuses
    std::string path;         // get: where it went
    long long bytes = -1;     // get: the file's size, -1 when unknown
    std::string error;        // what went wrong
    std::string cause;        // in JSON, as Diagnose names it (or cannot_write, exists)

    // Records a call on the fax that did not succeed, with its cause and
    // what to check, as a single call's failure is reported.
    void Failed(FAXSTATUS s, const char* command, const std::string& fax_name) {
        const Cause c = Diagnose(s, command, &fax_name);
        exit = s;
        cause = c.code;
        error = c.text.empty() ? Advice(s, command) : c.text;
    }
};

// Downloads one fax into `path` by way of a temporary file beside it, as a
// PDF when `pdf`; never replaces a file with --no-clobber.
Done FetchOne(const Output& out, IUSBFAX* fax, const std::string& name, const std::string& path, bool pdf,
              bool no_clobber) {
    Done d;
    d.name = name;
    d.path = path;
    FAX_FILENAME fax_name;
    std::string bytes = name, error;
    if (!ToFaxName(bytes, fax_name, error)) {
        d.exit = kUsageError;
        d.error = error;
        return d;
    }
    if (no_clobber && StatPath(path) != PathKind::Missing) {
        d.exit = kCannotWrite;
        d.cause = "exists";
        d.error = path + " is there already (--no-clobber)";
        return d;
    }
    doc::TempFile download, converted;
    const std::string dir = DirectoryOf(path);
    if (!download.Create(dir, ".tif", error) || (pdf && !converted.Create(dir, ".pdf", error))) {
        d.exit = kCannotWrite;
        d.cause = "cannot_write";
        d.error = error;
        return d;
    }
    std::string download_path = download.Path();
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    out.Attempt([&] {
        fax->GetReceivedFax(&fax_name, download_path.data(), &s);
        return s;
    });
    if (s != FAXSTATUS_OK) {
        d.Failed(s, "get", bytes);
        return d;
    }
    if (pdf) {
        int pages = 0;
        if (doc::FaxToPdf(download.Path(), converted.Path(), pages, error) != doc::Outcome::Ok) {
            d.exit = kCannotWrite;
            d.cause = "cannot_write";
            d.error = "no PDF of " + name + ": " + error;
            return d;
        }
    }
    const doc::TempFile& result = pdf ? converted : download;
    // With --no-clobber the file is put in place only where no file is.
    const bool placed = no_clobber ? PutInPlace(result.Path(), path)
                                   : std::rename(result.Path().c_str(), path.c_str()) == 0;
    if (!placed) {
        const bool there = errno == EEXIST;
        d.exit = kCannotWrite;
        d.cause = there ? "exists" : "cannot_write";
        d.error = there ? path + " is there already (--no-clobber)" : "cannot write " + path + ": " + std::strerror(errno);
        return d;
    }
    if (!no_clobber) (pdf ? converted : download).Release();
    GiveDefaultMode(path);
    JournalStored("get", name, path, 0);
    long long size = 0;
    if (StatPath(path, &size) == PathKind::Regular) d.bytes = size;
    return d;
}

int Report(const Output& out, const std::vector<Done>& done, bool more, const char* verb) {
    int exit = 0;
    std::vector<std::string> json;
    for (const Done& d : done) {
        if (exit == 0) exit = d.exit;
        JsonObject o;
        o.Str("name", d.name);
        if (!d.path.empty()) o.Str("path", d.path);
        if (d.exit == 0 && d.bytes >= 0) o.Num("bytes", d.bytes);
        o.Num("exit_status", d.exit);
        if (d.exit != 0) {
            o.Str("error", d.error);
            if (!d.cause.empty()) o.Str("cause", d.cause);
        }
        json.push_back(o.Text());
        if (out.json) continue;
        if (d.exit == 0 && !d.path.empty())
            std::printf("%s %s to %s\n", verb, d.name.c_str(), d.path.c_str());
        else if (d.exit == 0)
            std::printf("%s %s\n", verb, d.name.c_str());
        else
            std::fprintf(stderr, "tessaline %s: %s: %s\n", out.command.c_str(), d.name.c_str(), d.error.c_str());
    }
    if (out.json) {
        std::printf("%s\n", JsonObject().Str("command", out.command).Raw("faxes", JsonArray(json))
                                .Bool("more_may_exist", more).Num("exit_status", exit).Text().c_str());
    } else if (more) {
        std::fprintf(stderr, "tessaline %s: %s\n", out.command.c_str(), MoreMayExistText().c_str());
    }
    std::fflush(stdout);
    return exit;
}

}  // namespace

std::string DefaultFileName(const std::string& name, bool pdf) {
    // The device chooses its names: keep only the last component, so a name
    // can never lead outside the directory. Either separator: a backslash
    // leads elsewhere on Windows.
    const std::size_t slash = name.find_last_of("/\\");
    std::string file = slash == std::string::npos ? name : name.substr(slash + 1);
    if (file.empty() || file == "." || file == "..") return {};
    if (pdf) {
        const std::size_t dot = file.rfind('.');
        file = (dot == std::string::npos || dot == 0 ? file : file.substr(0, dot)) + ".pdf";
    }
    return file;
}

int GetSeveral(const Output& out, const Parsed& args) {
    const bool all = args.Has("--all"), pdf = args.Has("--pdf"), no_clobber = args.Has("--no-clobber");
    if (args.Has("--output")) return out.Usage("-o names one file: give several faxes a directory with -d");
    if (all && !args.positional.empty()) return out.Usage("--all takes no fax names");
    if (!all && args.positional.empty()) return out.Usage("get takes a fax name, several, or --all");
    if (std::string why; pdf && !doc::PdfAvailable(why)) return out.Fail(kUnavailable, "unavailable", why);
    const std::string dir = args.Value("--directory", ".");
    if (dir.empty()) return out.Usage("--directory needs a directory");
    if (const std::string wrong = CheckStoreDirectory(dir); !wrong.empty())
        return out.LocalFailure("cannot store faxes in " + dir + ": " + wrong, dir);
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    std::vector<std::string> names = args.positional;
    bool more = false;
    if (all) {
        FAX_FILENAME listed[MAX_RECEIVED_FAXES];
        std::memset(listed, 0, sizeof(listed));
        FAXSTATUS s = FAXSTATUS_CMD_FAIL;
        out.Attempt([&] {
            fax->GetReceivedFaxList(listed, MAX_RECEIVED_FAXES, &s);
            return s;
        });
        if (s != FAXSTATUS_OK) return out.Finish(s, JsonObject(), [] {}, Diagnose(s, "get"));
        for (const FAX_FILENAME& n : listed) {
            std::string name = Field(n.faxPath, sizeof(n.faxPath));
            if (name.empty()) break;
            names.push_back(TextForm(name));  // the form every name is given in, read back below
        }
        more = names.size() >= MAX_RECEIVED_FAXES;
    }
    std::vector<Done> done;
    for (const std::string& given : names) {
        const std::string bytes = FromTextForm(given);
        const std::string file = DefaultFileName(bytes, pdf);
        if (file.empty()) {
            Done d;
            d.name = given;
            d.exit = kUsageError;
            d.error = "the fax name is no file name; get it alone with -o";
            done.push_back(d);
            continue;
        }
        done.push_back(FetchOne(out, fax.get(), given, JoinPath(dir, file), pdf, no_clobber));
    }
    return Report(out, done, more, "saved");
}

int RemoveSeveral(const Output& out, const Parsed& args) {
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    std::vector<Done> done;
    for (const std::string& given : args.positional) {
        Done d;
        d.name = given;
        std::string bytes = given, error;
        FAX_FILENAME fax_name;
        if (!ToFaxName(bytes, fax_name, error)) {
            d.exit = kUsageError;
            d.error = error;
            done.push_back(d);
            continue;
        }
        FAXSTATUS s = FAXSTATUS_CMD_FAIL;
        out.Attempt([&] {
            fax->RemoveReceivedFax(&fax_name, &s);
            return s;
        });
        if (s != FAXSTATUS_OK) d.Failed(s, "rm", bytes);
        done.push_back(d);
    }
    return Report(out, done, false, "removed");
}

}  // namespace cli
