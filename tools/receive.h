// tessaline receive: the unattended job of a fax server. It waits for
// received-fax events and, for each fax on the device not yet in its
// folder, downloads it (atomically), optionally also as PDF, optionally
// removes it from the device once the download is complete and verified,
// and runs a hook. It drains what is already there when it starts, keeps
// going while the device goes away and comes back, and stops cleanly on
// SIGINT and SIGTERM.
#ifndef TESSALINE_TOOLS_RECEIVE_H
#define TESSALINE_TOOLS_RECEIVE_H

#include <functional>
#include <string>

#include <tessaline/tessaline.h>

namespace cli {

struct ReceiveOptions {
    std::string dir;
    bool pdf = false;        // also store each fax as NAME.pdf
    bool remove = false;     // remove each fax from the device once it is stored and verified
    bool once = false;       // drain and exit, without waiting
    std::string exec;        // a shell command run for each fax stored
    double exec_timeout = 0; // a hook running longer is ended (0: no limit)
    double retry_max = 60;   // the longest delay between attempts to reach the device, in seconds
    double timeout = 0;      // stop after this many seconds (0: no limit)
    double wait_seconds = 30;  // how long a call that met a busy device or a held lock is tried again
};

// What became of one fax.
struct FaxOutcome {
    std::string name;          // the device's name
    std::string path;          // where it was stored ("" if it was not)
    std::string pdf_path;      // its PDF ("" if none)
    bool already_stored = false;  // it was in the folder from before (and is removed only)
    bool verified = false;     // the stored file is a fax image whose every page decodes
    int pages = 0;             // pages found in the stored image
    bool have_log = false;
    FAX_LOG_ENTRY log{};
    bool removed = false;
    int hook_status = -1;      // the hook's exit status, -1 when none ran
    std::string hook_error;    // how the hook failed ("" if it did not); the fax is stored all the same
    FAXSTATUS status = FAXSTATUS_OK;  // of the download (or of the removal, when that failed)
    std::string error;         // what went wrong, "" when nothing did
    std::string warning;       // what is worth knowing though nothing failed ("" if nothing)
};

struct ReceiveReport {
    std::function<void(const FaxOutcome&)> fax;           // one call per fax handled
    std::function<void(const std::string& text)> notice;  // device lost or back, stopping
};

// How the job ended, besides its exit status.
struct ReceiveSummary {
    int signal = 0;               // the signal that stopped it, 0 when none did
    bool more_may_exist = false;  // a full list of the device's faxes may hide more
};

// Runs the job. Returns the command's exit status: 0 after a clean stop (a
// signal, or --once with everything handled), kTimedOut after --timeout,
// the list's FAXSTATUS when --once cannot reach the device, kIncomplete
// when --once stored (or removed) some faxes but not all, kHookFailed when
// it stored every fax but a hook failed, and 130 or 143
// when SIGINT or SIGTERM stopped --once.
int Receive(const ReceiveOptions& options, const ReceiveReport& report, ReceiveSummary& summary);

// The device's time of a log entry as text: "20YY-MM-DD HH:MM:SS" (the
// device counts years from 2000).
std::string LogTime(const FAX_TIME& t);

}  // namespace cli

#endif
