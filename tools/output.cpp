// How the tool reports a command's outcome: for people or as JSON.
#include "tools/output.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include <tessaline/fax_device.h>

#include "tools/com_ref.h"
#include "tools/command_support.h"
#include "tools/deadline.h"
#include "tools/retry.h"

namespace cli {

const char* StatusName(FAXSTATUS s) {
    static const char* const names[] = {
        "FAXSTATUS_OK",         "FAXSTATUS_BUSY",     "FAXSTATUS_CMD_FAIL", "FAXSTATUS_NO_RESPONSE",
        "FAXSTATUS_INVALIDARGE", "FAXSTATUS_NULLPOINTER", "FAXSTATUS_BADSTATUS", "FAXSTATUS_NO_DEVICE",
        "FAXSTATUS_READ",       "FAXSTATUS_WRITE",    "FAXSTATUS_MEMALLOC", "FAXSTATUS_DISKFULL"};
    return s >= 0 && s <= 11 ? names[s] : "FAXSTATUS_UNKNOWN";
}

const char* EventName(std::int64_t e) {
    static const char* const names[] = {"e_NoFaxesAvailable", "e_ReceivedFaxAvailable", "e_FaxForwarded",
                                        "e_FaxPrinted", "e_FaxReceiveModeChanged"};
    return e >= 0 && e <= 4 ? names[e] : "unknown";
}

const char* RingName(std::int64_t v) {
    static const char* const names[] = {"e_FaxRingAll", "e_FaxRingSingle", "e_FaxRingDouble", "e_FaxRingTriple",
                                        "e_FaxRingDoubleAndTriple"};
    return v >= 0 && v <= 4 ? names[v] : "unknown";
}

const char* AnswerName(std::int64_t v) {
    static const char* const names[] = {"e_Manual", "e_Auto", "e_FaxTel", "e_TAM"};
    return v >= 0 && v <= 3 ? names[v] : "unknown";
}

// What a failing status means, and what to check.
std::string Advice(FAXSTATUS s, const std::string& command) {
    switch (s) {
        case FAXSTATUS_BUSY:
            return "the device is busy; try again later";
        case FAXSTATUS_CMD_FAIL:
            if (command == "get") return "the device refused the request, or the local file could not be written";
            if (command == "send") return "the device did not accept the job, or the file could not be read";
            if (command == "wait") return "the wait was cancelled, or the driver failed it";
            return "the device refused the request or answered with a reply of the wrong size";
        case FAXSTATUS_INVALIDARGE:
            return "an argument was refused: check its length";
        case FAXSTATUS_NULLPOINTER:
            if (command == "cancel")
                return "the fax channel could not be opened: looked for " +
                       ChannelWhere(GUID_DEVINTERFACE_FAX_CHANNEL, "TESSALINE_FAX_DEVICE") +
                       "; is the device (or tessaline-simd) running?";
            return "a required argument was missing";
        case FAXSTATUS_NO_DEVICE:
            // The listing printed above is the whole answer; pointing back
            // at this very command would send the reader in a circle.
            if (command == "devices") return "no device is present on either channel (the listing above)";
            if (command == "ews")
                return "the EWS channel cannot be reached: looked for " +
                       ChannelWhere(GUID_DEVINTERFACE_EWS_CHANNEL, "TESSALINE_EWS_DEVICE") +
                       "; is the device (or tessaline-simd) running?";
            return "the device cannot be reached: looked for " +
                   ChannelWhere(GUID_DEVINTERFACE_FAX_CHANNEL, "TESSALINE_FAX_DEVICE") +
                   "; is the device (or tessaline-simd) running, and is no other program holding the fax "
                   "channel's access lock? Run 'tessaline devices' to see what discovery finds";
        case FAXSTATUS_READ:
            if (command == "send")
                return "the fax file could not be read, reading from the device failed, or the device refused the "
                       "job (a fax device takes fax images: without --raw, tessaline converts documents into one)";
            return "reading from the device failed, or it answered with an unexpected status";
        case FAXSTATUS_WRITE:
            return "writing to the device failed";
        case FAXSTATUS_MEMALLOC:
            return "out of memory";
        case FAXSTATUS_DISKFULL:
            return "the device's storage is full";
        default:
            return "unexpected status";
    }
}

namespace {

// When the command's current call to the device began: a call that failed
// after about the access lock's wait met a lock held by another program.
std::chrono::steady_clock::time_point g_call_start = std::chrono::steady_clock::now();
constexpr std::chrono::milliseconds kLockWaitSeen{FAX_DEVICE_ACCESS_LOCK_TIMEOUT_MS * 9 / 10};

// The access lock's wait for people: "5 s".
std::string LockWaitText() {
    char text[32];
    std::snprintf(text, sizeof(text), "%g s", FAX_DEVICE_ACCESS_LOCK_TIMEOUT_MS / 1000.0);
    return text;
}

}  // namespace

void MarkCallStart() { g_call_start = std::chrono::steady_clock::now(); }

Cause Diagnose(FAXSTATUS s, const std::string& command, const std::string* fax_name) {
    if (s == FAXSTATUS_NO_DEVICE && command != "ews") {
        const bool waited = std::chrono::steady_clock::now() - g_call_start >= kLockWaitSeen;
        const FaxDeviceLook look = LookForFaxDevice();
        switch (look.kind) {
            case FaxDeviceLook::Kind::Absent:
                return {"no_device", "no device found: looked for " +
                                         ChannelWhere(GUID_DEVINTERFACE_FAX_CHANNEL, "TESSALINE_FAX_DEVICE") +
                                         "; is the device (or tessaline-simd) running? Run 'tessaline devices' to "
                                         "see what discovery finds"};
            case FaxDeviceLook::Kind::NotSearched:
                return {"not_searched", "no device found: discovery does not search " + look.detail +
                                            " (whoever can put a device there would receive the faxes and the "
                                            "password); see 'tessaline devices'"};
            case FaxDeviceLook::Kind::NotPermitted:
                return {"not_permitted", "a device is present at " + look.path + ", but this user may not open it (" +
                                             look.detail + "): its server must share it with a group of this "
                                             "user's (tessaline-simd --socket-group GROUP)"};
            case FaxDeviceLook::Kind::NotOpened:
                return {"device_not_opened", "a device is present at " + look.path + " but could not be opened"};
            case FaxDeviceLook::Kind::Present:
                break;
        }
        // The device is there: was the access lock the obstacle? The
        // library fails a call at once on a lock that a program left
        // abandoned (and releases it), and after its wait on one that
        // another program holds.
        const LockProbe lock = ProbeAccessLock();
        const std::string retry = "; --retry S tries again for up to S seconds";
        if (lock == LockProbe::Held)
            return {"lock_held", std::string("the device is present, but another program ") +
                                     (waited ? "has held its access lock for more than " + LockWaitText() +
                                                   " and still holds it"
                                             : "holds its access lock") +
                                     " (a long transfer, or a program that hangs)" + retry};
        if (lock == LockProbe::Free && waited)
            return {"lock_held", "the device is present, but another program held its access lock for " +
                                     LockWaitText() + " (it has released it since)" + retry};
        if (lock == LockProbe::Free || lock == LockProbe::Abandoned)
            return {"lock_abandoned", "a program ended while holding the device's access lock, which fails the "
                                      "next call at once; the lock is free again now, so the next command can run" +
                                          retry};
        return {"device_not_opened", "the device is present but could not be opened" + retry};
    }
    if (fax_name && s != FAXSTATUS_OK && s != FAXSTATUS_NO_DEVICE) {
        Ref<IUSBFAX> fax;
        if (FAILED(CreateHostObject(CLSID_USBFAX, IID_IUSBFAX, fax.out()))) return {};
        FAX_FILENAME names[MAX_RECEIVED_FAXES];
        std::memset(names, 0, sizeof(names));
        FAXSTATUS listed = FAXSTATUS_CMD_FAIL;
        fax->GetReceivedFaxList(names, MAX_RECEIVED_FAXES, &listed);
        if (listed != FAXSTATUS_OK) return {};
        for (const FAX_FILENAME& n : names) {
            if (Field(n.faxPath, sizeof(n.faxPath)) == *fax_name) return {};
        }
        return {"unknown_name", "the device lists no fax named '" + *fax_name + "' (see 'tessaline list')"};
    }
    return {};
}

namespace {

// The members of `more` appended to the JSON object `text`.
std::string Merge(std::string text, const JsonObject& more) {
    const std::string m = more.Text();
    if (m.size() <= 2) return text;
    return text.substr(0, text.size() - 1) + (text.size() > 2 ? "," : "") + m.substr(1);
}

}  // namespace

Obstacle ObstacleOf(FAXSTATUS s, const std::string& command) {
    if (s == FAXSTATUS_BUSY) return Obstacle::Busy;
    if (s != FAXSTATUS_NO_DEVICE) return Obstacle::None;
    const Cause cause = Diagnose(s, command);
    if (cause.code == "lock_held") return Obstacle::LockHeld;
    if (cause.code == "lock_abandoned") return Obstacle::LockAbandoned;
    return Obstacle::None;
}

FAXSTATUS Output::Attempt(const std::function<FAXSTATUS()>& call) const {
    RetryPolicy policy;
    policy.budget_seconds = retry_seconds;
    policy.who = "tessaline " + command;
    policy.obstacle = [this](FAXSTATUS s) { return ObstacleOf(s, command); };
    policy.stopping = [this] { return deadline && (deadline->Expired() || deadline->Interrupted()); };
    return cli::Attempt(policy, [&] {
        MarkCallStart();
        return call();
    });
}

int Output::Finish(FAXSTATUS status, JsonObject data, const std::function<void()>& human, const Cause& cause,
                   JsonObject inputs, int exit_ok) const {
    // A call that still succeeded as the limit ran out, or as the command
    // was asked to stop, is reported as it is.
    if (status != FAXSTATUS_OK && deadline && (deadline->Expired() || deadline->Interrupted()))
        return Overtaken(inputs, true);
    const int exit_status = status == FAXSTATUS_OK ? exit_ok : static_cast<int>(status);
    const std::string advice = cause.text.empty() ? Advice(status, command) : cause.text;
    if (json) {
        JsonObject o;
        o.Str("command", command).Num("status", status).Str("status_name", StatusName(status));
        std::string text = Merge(o.Text(), inputs);
        if (status == FAXSTATUS_OK) {
            text = Merge(text, data);
        } else {
            JsonObject err;
            err.Str("error", advice);
            if (!cause.code.empty()) err.Str("cause", cause.code);
            text = Merge(text, err);
        }
        text = Merge(text, JsonObject().Num("exit_status", exit_status));
        std::printf("%s\n", text.c_str());
    } else if (status == FAXSTATUS_OK) {
        human();
    } else {
        std::fprintf(stderr, "tessaline %s: %s (%d): %s\n", command.c_str(), StatusName(status),
                     static_cast<int>(status), advice.c_str());
    }
    std::fflush(stdout);
    return exit_status;
}

int Output::Overtaken(JsonObject data, bool released) const {
    const std::string how = released ? ": the call was released with CancelIO"
                                     : ", and the call could not be released: the command ends";
    if (deadline && deadline->Interrupted()) {
        const int signal = deadline->Interrupted();
        return Report(InterruptedStatus(signal), "interrupted", "stopped by " + SignalName(signal) + how,
                      data.Str("signal", SignalName(signal)));
    }
    char limit[32];
    std::snprintf(limit, sizeof(limit), "%g", timeout_seconds);
    return Report(kTimedOut, "timed_out", std::string("no answer within ") + limit + " s" + how,
                  data.Bool("timed_out", true));
}

int Output::Fail(int exit_status, const char* cause, const std::string& message, JsonObject data) const {
    // A failure that a stop request brought about (a converter ended, a
    // transfer cancelled) is the stop.
    if (deadline && deadline->Interrupted()) return Overtaken(std::move(data), true);
    return Report(exit_status, cause, message, std::move(data));
}

int Output::Report(int exit_status, const char* cause, const std::string& message, JsonObject data) const {
    if (json) {
        std::string text = Merge(JsonObject().Str("command", command).Text(), data);
        text = Merge(text, JsonObject().Str("error", message).Str("cause", cause).Num("exit_status", exit_status));
        std::printf("%s\n", text.c_str());
    } else {
        std::fprintf(stderr, "tessaline %s: %s\n", command.c_str(), message.c_str());
    }
    std::fflush(stdout);
    return exit_status;
}

namespace {

int ReportUsage(const std::string& command, const std::string& message, bool json) {
    const std::string who = command.empty() ? "tessaline" : "tessaline " + command;
    if (json) {
        JsonObject o;
        if (!command.empty()) o.Str("command", command);
        o.Str("error", message).Str("help", who + " --help").Num("exit_status", kUsageError);
        std::printf("%s\n", o.Text().c_str());
        std::fflush(stdout);
    } else {
        std::fprintf(stderr, "%s: %s\nRun '%s --help' for usage.\n", who.c_str(), message.c_str(), who.c_str());
    }
    return kUsageError;
}

}  // namespace

int Output::Usage(const std::string& message) const { return ReportUsage(command, message, json); }

int Output::LocalFailure(const std::string& message, const std::string& path) const {
    if (json) {
        JsonObject o;
        o.Str("command", command).Str("error", message).Str("path", path).Num("exit_status", kLocalFileError);
        std::printf("%s\n", o.Text().c_str());
        std::fflush(stdout);
    } else {
        std::fprintf(stderr, "tessaline %s: %s\n", command.c_str(), message.c_str());
    }
    return kLocalFileError;
}

int Usage(const std::string& message, bool json) { return ReportUsage("", message, json); }

}  // namespace cli
