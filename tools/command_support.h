// What the tool's commands share: their arguments and table entry, the
// checks of what a caller gives before any object is created, and the
// commands of each group.
#ifndef TESSALINE_TOOLS_COMMAND_SUPPORT_H
#define TESSALINE_TOOLS_COMMAND_SUPPORT_H

#include <tessaline/tessaline.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/com_ref.h"
#include "tools/output.h"

namespace cli {

using Args = std::vector<std::string>;

struct Command {
    const char* name;
    const char* synopsis;
    const char* help;
    int (*run)(const Output& out, const Args& args);
};

// Creates an object of the library as a host does; false when it cannot.
template <class T>
bool Create(REFCLSID clsid, REFIID iid, Ref<T>& out) {
    return SUCCEEDED(CreateObject(clsid, iid, out));
}

int NoObject(const char* what);
// A zero-terminated text field of `width` bytes, never read past the field.
std::string Field(const char* p, std::size_t width);
bool FitsField(const std::string& value, std::size_t width, const std::string& name, std::string& error);
bool ToFaxName(const std::string& name, FAX_FILENAME& out, std::string& error);
bool ParseNumber(const std::string& text, std::uint32_t& out);
// Takes option `name`'s value at args[i], written "NAME VALUE" or
// "NAME=VALUE": 1 when taken (i is then at the value), 0 when args[i] is
// another argument, -1 when the value is missing.
int OptionValue(const Args& args, std::size_t& i, const char* name, std::string& value);
// Cancels the I/O pending on the fax channel (a time limit's way to release
// a blocked call).
void CancelFaxIo();
// The log entry's fields as JSON members of `data`.
void AddLogEntry(JsonObject& data, const FAX_LOG_ENTRY& e);

// The received faxes.
int RunCount(const Output& out, const Args& args);
int RunList(const Output& out, const Args& args);
int RunGet(const Output& out, const Args& args);
int RunRemove(const Output& out, const Args& args);
int RunLog(const Output& out, const Args& args);
// The settings and the password.
int RunSettings(const Output& out, const Args& args);
int RunPassword(const Output& out, const Args& args);
int RunReceiveSettings(const Output& out, const Args& args);
// Sending, and the wait for fax events.
int RunSend(const Output& out, const Args& args);
int RunWait(const Output& out, const Args& args);
int RunCancel(const Output& out, const Args& args);
// The EWS channel.
int RunEws(const Output& out, const Args& args);
// The device listing.
int RunDevices(const Output& out, const Args& args);
// The unattended receive job.
int RunReceive(const Output& out, const Args& args);

}  // namespace cli

#endif
