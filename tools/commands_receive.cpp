// The tool's receive command: the unattended job, one line per fax.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "tools/command_support.h"
#include "tools/deadline.h"
#include "tools/documents/documents.h"
#include "tools/journal.h"
#include "tools/receive.h"

namespace cli {
namespace {

std::string Now() {
    std::tm tm{};
    char text[32] = "";
    if (LocalTime(std::time(nullptr), tm)) std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &tm);
    return text;
}

// One fax as a JSON object. Members of what did not happen are left out,
// never given as placeholders.
std::string FaxJson(const FaxOutcome& f) {
    JsonObject o;
    o.Str("command", "receive").Str("time", Now()).Str("name", f.name);
    if (!f.path.empty()) o.Str("path", f.path);
    if (!f.pdf_path.empty()) o.Str("pdf", f.pdf_path);
    o.Bool("already_stored", f.already_stored).Bool("verified", f.verified);
    // The stored file's pages (file_pages; pages is its older name), apart
    // from the log entry's one-byte count (log_pages). A build that reads no
    // TIFF counts none.
    if (f.verified && f.pages > 0) o.Num("pages", f.pages).Num("file_pages", f.pages);
    o.Bool("removed", f.removed);
    if (f.hook_status >= 0) o.Num("hook_status", f.hook_status);
    if (!f.hook_error.empty()) o.Str("hook_error", f.hook_error);
    o.Num("status", f.status).Str("status_name", StatusName(f.status));
    if (!f.error.empty()) o.Str("error", f.error);
    if (!f.warning.empty()) o.Str("warning", f.warning);
    if (f.have_log) AddLogEntry(o, f.log);
    return o.Text();
}

void PrintFax(const FaxOutcome& f) {
    std::string line = Now() + " " + f.name;
    if (f.path.empty()) {
        line += " not stored";
    } else if (f.already_stored) {
        line += " already stored as " + f.path;
    } else {
        line += " stored as " + f.path;
        // A build that reads no TIFF counts no pages: none are named.
        const bool counted = f.verified && f.pages > 0;
        if (counted) line += " (" + std::to_string(f.pages) + " page(s)";
        if (f.have_log) {
            line += (counted ? ", " : " (") + std::string("from ") + Field(f.log.CIS, sizeof(f.log.CIS)) +
                    ", received " + LogTime(f.log.SendTime);
        }
        if (counted || f.have_log) line += ")";
    }
    if (!f.pdf_path.empty()) line += ", PDF " + f.pdf_path;
    if (!f.hook_error.empty()) {
        line += ", but " + f.hook_error;
    } else if (f.hook_status >= 0) {
        line += ", hook exited " + std::to_string(f.hook_status);
    }
    if (f.removed) line += ", removed from the device";
    if (!f.warning.empty()) line += "; " + f.warning;
    if (!f.error.empty()) line += ": " + f.error;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

}  // namespace

int RunReceive(const Output& out, const Parsed& args) {
    ReceiveOptions o;
    o.pdf = args.Has("--pdf");
    if (std::string why; o.pdf && !doc::PdfAvailable(why)) return out.Fail(kUnavailable, "unavailable", why);
    o.remove = args.Has("--remove");
    o.once = args.Has("--once");
    if (args.Has("--exec")) {
        o.exec = args.Value("--exec");
        if (o.exec.empty()) return out.Usage("--exec needs a command");
    }
    if (args.Has("--exec-timeout") && !ParseSeconds(args.Value("--exec-timeout"), o.exec_timeout))
        return out.Usage("--exec-timeout takes a number of seconds above 0 (at most 1000000)");
    if (args.Has("--exec-timeout") && o.exec.empty()) return out.Usage("--exec-timeout goes with --exec");
    if (args.Has("--retry-max") && (!ParseSeconds(args.Value("--retry-max"), o.retry_max) || o.retry_max < 1))
        return out.Usage("--retry-max takes a number of seconds, 1 or more");
    if (args.positional.size() > 1) return out.Usage("receive takes one DIR");
    if (args.positional.empty()) return out.Usage("receive needs a DIR to store the faxes in");
    o.dir = args.positional[0];
    while (o.dir.size() > 1 && o.dir.back() == '/') o.dir.pop_back();
    if (const std::string wrong = CheckStoreDirectory(o.dir); !wrong.empty())
        return out.LocalFailure("cannot store faxes in " + o.dir + ": " + wrong, o.dir);
    o.timeout = out.timeout_seconds;
    if (out.retry_seconds > 0) o.wait_seconds = out.retry_seconds;
    // Under --json, --once gives one object that holds every fax handled;
    // the unattended job one object per fax as it comes, and a last one
    // when it ends. Either way the last object has the exit status.
    std::vector<std::string> faxes;
    ReceiveReport report;
    report.fax = [&](const FaxOutcome& f) {
        if (!f.path.empty() && !f.already_stored) JournalStored("receive", f.name, f.path, f.verified ? f.pages : 0);
        if (!out.json) return PrintFax(f);
        if (o.once) return faxes.push_back(FaxJson(f));
        std::printf("%s\n", FaxJson(f).c_str());
        std::fflush(stdout);
    };
    report.notice = [](const std::string& text) {
        std::fprintf(stderr, "tessaline receive: %s\n", text.c_str());
        std::fflush(stderr);
    };
    ReceiveSummary summary;
    const int status = Receive(o, report, summary);
    JsonObject end;
    end.Str("dir", o.dir);
    if (o.once) end.Raw("faxes", JsonArray(faxes));
    end.Bool("more_may_exist", summary.more_may_exist);
    // --once that could not reach the device: its status, and why.
    if (status > FAXSTATUS_OK && status <= FAXSTATUS_DISKFULL) {
        const FAXSTATUS s = static_cast<FAXSTATUS>(status);
        return out.Finish(s, JsonObject(), [] {}, Diagnose(s, "receive"), end);
    }
    if (status == kTimedOut) {
        if (!out.json) std::fprintf(stderr, "tessaline receive: the time limit ran out\n");
        end.Str("error", "the time limit ran out").Str("cause", "timed_out").Bool("timed_out", true);
    } else if (summary.signal) {
        end.Str("stopped_by", SignalName(summary.signal));
        if (status != 0) end.Str("error", "stopped by " + SignalName(summary.signal)).Str("cause", "interrupted");
    } else if (status == kIncomplete) {
        end.Str("error", "some fax was not stored, or not removed").Str("cause", "incomplete");
    } else if (status == kHookFailed) {
        end.Str("error", "every fax was stored, but a hook failed").Str("cause", "hook_failed");
    }
    if (out.json) {
        std::printf("%s\n",
                    JsonObject().Str("command", "receive").Append(end).Num("exit_status", status).Text().c_str());
        std::fflush(stdout);
    }
    return status;
}

}  // namespace cli
