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

constexpr int kUsageError = 64;
// The command's own statuses, for what goes wrong before or after the
// device (in the style of sysexits.h):
constexpr int kRefused = 65;      // a file of a kind the command does not send, or a damaged one
constexpr int kUnreadable = 66;   // a file that cannot be opened or read
constexpr int kUnavailable = 69;  // a converter missing from the system or from this build
constexpr int kCannotWrite = 73;  // a file of the command's own that cannot be written
// kTimedOut (124), for a command that ran out of time, is in deadline.h.

class Deadline;

const char* StatusName(FAXSTATUS s);
const char* EventName(std::int64_t e);
const char* RingName(std::int64_t v);
const char* AnswerName(std::int64_t v);
// What a failing status means for `command`, and what to check.
std::string Advice(FAXSTATUS s, const std::string& command);

struct Output {
    bool json = false;
    std::string command;
    // The command's time limit, when it has one: once it has run out, a
    // failure is reported as a time-out, whatever status the released call
    // gave.
    const Deadline* deadline = nullptr;
    double timeout_seconds = 0;

    // Prints the outcome of a command and gives its exit status.
    int Finish(FAXSTATUS status, JsonObject data, const std::function<void()>& human) const;
    // Prints a failure that is no FAXSTATUS: one of the statuses above, its
    // name in JSON, and the message (which names what failed).
    int Fail(int status, const char* status_name, const std::string& message, JsonObject data = {}) const;
};

// Reports a usage error and gives its exit status.
int Usage(const std::string& message);

}  // namespace cli

#endif
