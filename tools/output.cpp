// How the tool reports a command's outcome: for people or as JSON.
#include "tools/output.h"

#include <cstdio>
#include <cstdlib>

#include "platform/device_directory.h"
#include "tools/deadline.h"

namespace cli {
namespace {

std::string ChannelWhere(const plat::InterfaceClass& cls, const char* variable) {
    if (const char* named = std::getenv(variable); named && *named)
        return std::string("the device named by ") + variable + " (" + named + ")";
    return "a device socket in " + plat::ClassDirectory(cls);
}

}  // namespace

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

// Prints the outcome of a command and gives its exit status.
int Output::Finish(FAXSTATUS status, JsonObject data, const std::function<void()>& human) const {
    // A call that still succeeded as the limit ran out is reported as it is.
    if (deadline && deadline->Expired() && status != FAXSTATUS_OK) {
        char limit[32];
        std::snprintf(limit, sizeof(limit), "%g", timeout_seconds);
        return Fail(kTimedOut, "TIMED_OUT",
                    std::string("no answer within ") + limit + " s: the call was released with CancelIO",
                    JsonObject().Bool("timed_out", true));
    }
    if (json) {
        JsonObject o;
        o.Str("command", command).Num("status", status).Str("status_name", StatusName(status));
        std::string text = o.Text();
        std::string more = data.Text();
        if (more.size() > 2) text = text.substr(0, text.size() - 1) + "," + more.substr(1);
        if (status != FAXSTATUS_OK) {
            JsonObject err;
            err.Str("error", Advice(status, command));
            text = text.substr(0, text.size() - 1) + "," + err.Text().substr(1);
        }
        std::printf("%s\n", text.c_str());
    } else if (status == FAXSTATUS_OK) {
        human();
    } else {
        std::fprintf(stderr, "tessaline %s: %s (%d): %s\n", command.c_str(), StatusName(status),
                     static_cast<int>(status), Advice(status, command).c_str());
    }
    std::fflush(stdout);
    return status == FAXSTATUS_OK ? 0 : static_cast<int>(status);
}

int Output::Fail(int status, const char* status_name, const std::string& message, JsonObject data) const {
    if (json) {
        JsonObject o;
        o.Str("command", command).Num("status", status).Str("status_name", status_name);
        std::string text = o.Text();
        const std::string more = data.Text();
        if (more.size() > 2) text = text.substr(0, text.size() - 1) + "," + more.substr(1);
        text = text.substr(0, text.size() - 1) + "," + JsonObject().Str("error", message).Text().substr(1);
        std::printf("%s\n", text.c_str());
    } else {
        std::fprintf(stderr, "tessaline %s: %s\n", command.c_str(), message.c_str());
    }
    std::fflush(stdout);
    return status;
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "tessaline: %s\nRun 'tessaline --help' for usage.\n", message.c_str());
    return kUsageError;
}

}  // namespace cli
