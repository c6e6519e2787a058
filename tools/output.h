// How the tool reports a command's outcome: for people (the value on
// success, the status and advice on standard error) or as one JSON object,
// the exit status, and the names of the values it prints.
#ifndef TESSALINE_TOOLS_OUTPUT_H
#define TESSALINE_TOOLS_OUTPUT_H

#include <tessaline/tessaline.h>

#include <cstdint>
#include <functional>
#include <string>

#include "tools/json_output.h"

namespace cli {

// Exit statuses besides 0 and the FAXSTATUS values 1 to 11 of a failed call
// (those past the usage error in the style of sysexits.h); kTimedOut (124),
// for a command that ran out of time, is in deadline.h.
constexpr int kWrongPassword = 12;  // password check: the call succeeded, the password is wrong
constexpr int kUsageError = 64;     // the command line is wrong
constexpr int kRefused = 65;        // a file of a kind the command does not send, or a damaged one
constexpr int kLocalFileError = 66; // a local file or directory cannot be read or used
constexpr int kUnavailable = 69;    // a converter missing from the system or from this build
constexpr int kCannotWrite = 73;    // a file of the command's own that cannot be written
constexpr int kIncomplete = 75;     // receive --once: some fax was not stored (or not removed)
constexpr int kHookFailed = 76;     // receive --once: every fax stored, but a --exec hook failed

class Deadline;

const char* StatusName(FAXSTATUS s);
const char* EventName(std::int64_t e);
const char* RingName(std::int64_t v);
const char* AnswerName(std::int64_t v);
// What a failing status means for `command`, and what to check.
std::string Advice(FAXSTATUS s, const std::string& command);

// Why a call failed, where the tool could find out more than the status
// says: "no_device", "not_searched", "not_permitted", "lock_held",
// "lock_abandoned", "device_not_opened", "unknown_name". Empty
// when nothing more is known.
struct Cause {
    std::string code;
    std::string text;
};

// Looks into a failed call: after FAXSTATUS_NO_DEVICE, whether a device is
// present and whether another program holds the access lock; after a
// failure of a call that named a received fax, whether the device lists that
// name at all.
Cause Diagnose(FAXSTATUS s, const std::string& command, const std::string* fax_name = nullptr);
// What a failed call met that --retry waits out: a busy device, a held or an
// abandoned access lock (Diagnose tells the last two apart).
enum class Obstacle;
Obstacle ObstacleOf(FAXSTATUS s, const std::string& command);
// Marks the start of a call to the device, for Diagnose to tell a lock that
// was waited for from one that failed the call at once. The command's start
// counts as one.
void MarkCallStart();

struct Output {
    bool json = false;
    std::string command;
    // The command's time limit, when it has one: once it has run out, a
    // failure is reported as a time-out, whatever status the released call
    // gave.
    const Deadline* deadline = nullptr;
    double timeout_seconds = 0;
    // What the command has obtained so far, for the object printed when the
    // process must end before its call returns (set by a command whose
    // partial result is worth keeping; called from another thread).
    mutable std::function<JsonObject()> partial;
    // --retry: how long a call that met a busy device or a held (or
    // abandoned) access lock is tried again.
    double retry_seconds = 0;

    // Runs one call to the device (it returns the call's status), tried
    // again as --retry says; the last call's status.
    FAXSTATUS Attempt(const std::function<FAXSTATUS()>& call) const;

    // Prints the outcome of a command and gives its exit status: 0 on
    // success, else the status, or `exit_ok` for a successful call whose
    // answer is no (a wrong password). `data` holds what the call obtained
    // and is printed only on success; `inputs` (what the caller gave) always.
    // Once the command's time limit has run out, a failure is reported as
    // the time-out (kTimedOut).
    int Finish(FAXSTATUS status, JsonObject data, const std::function<void()>& human, const Cause& cause = {},
               JsonObject inputs = {}, int exit_ok = 0) const;
    // A usage error of this command: the message and a pointer to the
    // command's help, or one JSON object; kUsageError.
    int Usage(const std::string& message) const;
    // A local file or directory that cannot be used, found before the device
    // was asked: what is wrong with which path; kLocalFileError.
    int LocalFailure(const std::string& message, const std::string& path) const;
    // A failure that is no FAXSTATUS: one of the statuses above, and the
    // message (which names what failed); in JSON with `cause` (a short code
    // such as "refused") and the members of `data`.
    int Fail(int exit_status, const char* cause, const std::string& message, JsonObject data = {}) const;
    // The command's time limit ran out, or a signal asked it to stop: the
    // outcome whatever the call gave (kTimedOut, or 130 for SIGINT and 143
    // for SIGTERM), with the members of `data`. `released`: the call
    // returned once cancelled; otherwise the process is about to end
    // without it.
    int Overtaken(JsonObject data, bool released) const;

private:
    int Report(int exit_status, const char* cause, const std::string& message, JsonObject data) const;
};

// A usage error before any command was named.
int Usage(const std::string& message, bool json = false);

}  // namespace cli

#endif
