// The tool's receive command: the unattended job, one line per fax.
#include <cstdio>
#include <ctime>

#include "tools/command_support.h"
#include "tools/deadline.h"
#include "tools/receive.h"

namespace cli {
namespace {

std::string Now() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    char text[32] = "";
    if (localtime_r(&t, &tm)) std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &tm);
    return text;
}

std::string OrNull(const std::string& s) { return s.empty() ? "null" : JsonString(s); }

void PrintFax(const Output& out, const FaxOutcome& f) {
    if (out.json) {
        JsonObject o;
        o.Str("command", "receive").Str("time", Now()).Str("name", f.name).Raw("path", OrNull(f.path))
            .Raw("pdf", OrNull(f.pdf_path)).Bool("already_stored", f.already_stored).Bool("verified", f.verified)
            .Num("pages", f.pages).Bool("removed", f.removed)
            .Raw("hook_status", f.hook_status < 0 ? "null" : std::to_string(f.hook_status))
            .Num("status", f.status).Str("status_name", StatusName(f.status)).Raw("error", OrNull(f.error)).Raw("warning", OrNull(f.warning));
        if (f.have_log) AddLogEntry(o, f.log);
        std::printf("%s\n", o.Text().c_str());
    } else {
        std::string line = Now() + " " + f.name;
        if (f.path.empty()) {
            line += " not stored";
        } else if (f.already_stored) {
            line += " already stored as " + f.path;
        } else {
            line += " stored as " + f.path;
            if (f.verified) line += " (" + std::to_string(f.pages) + " page(s)";
            if (f.have_log) {
                line += (f.verified ? ", " : " (") + std::string("from ") + Field(f.log.CIS, sizeof(f.log.CIS)) +
                        ", received " + LogTime(f.log.SendTime);
            }
            if (f.verified || f.have_log) line += ")";
        }
        if (!f.pdf_path.empty()) line += ", PDF " + f.pdf_path;
        if (f.hook_status >= 0) line += ", hook exited " + std::to_string(f.hook_status);
        if (f.removed) line += ", removed from the device";
        if (!f.warning.empty()) line += "; " + f.warning;
        if (!f.error.empty()) line += ": " + f.error;
        std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int RunReceive(const Output& out, const Args& args) {
    ReceiveOptions o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string value;
        const std::string& a = args[i];
        if (a == "--pdf") {
            o.pdf = true;
        } else if (a == "--remove") {
            o.remove = true;
        } else if (a == "--once") {
            o.once = true;
        } else if (const int r = OptionValue(args, i, "--exec", value); r != 0) {
            if (r < 0 || value.empty()) return Usage("--exec needs a command");
            o.exec = value;
        } else if (const int m = OptionValue(args, i, "--retry-max", value); m != 0) {
            if (m < 0 || !ParseSeconds(value, o.retry_max) || o.retry_max < 1)
                return Usage("--retry-max takes a number of seconds, 1 or more");
        } else if (a.size() > 1 && a[0] == '-') {
            return Usage("receive takes no option " + a);
        } else if (o.dir.empty()) {
            o.dir = a;
        } else {
            return Usage("receive takes one DIR");
        }
    }
    if (o.dir.empty()) return Usage("receive needs a DIR to store the faxes in");
    while (o.dir.size() > 1 && o.dir.back() == '/') o.dir.pop_back();
    o.timeout = out.timeout_seconds;
    ReceiveReport report;
    report.fax = [&out](const FaxOutcome& f) { PrintFax(out, f); };
    report.notice = [](const std::string& text) {
        std::fprintf(stderr, "tessaline receive: %s\n", text.c_str());
        std::fflush(stderr);
    };
    const int status = Receive(o, report);
    if (status == kTimedOut) std::fprintf(stderr, "tessaline receive: the time limit ran out\n");
    return status;
}

}  // namespace cli
