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
#include "tools/os/device_presence.h"
#include "tools/os/files.h"
#include "tools/os/process.h"
#include "tools/options.h"
#include "tools/output.h"

namespace cli {

using Args = std::vector<std::string>;

// One command: its synopsis and help, the options it takes (the common
// parser reads them; --json and --help come with every command), and the
// function that runs it on the parsed command line.
struct Command {
    const char* name;
    const char* synopsis;
    const char* help;
    std::vector<OptionSpec> options;
    int (*run)(const Output& out, const Parsed& args);
};

// Creates an object of the library as a host of this platform does; false
// when it cannot.
template <class T>
bool Create(REFCLSID clsid, REFIID iid, Ref<T>& out) {
    return SUCCEEDED(CreateHostObject(clsid, iid, out.out()));
}

int NoObject(const char* what);
// A zero-terminated text field of `width` bytes, never read past the field.
std::string Field(const char* p, std::size_t width);
bool FitsField(const std::string& value, std::size_t width, const std::string& name, std::string& error);
// A fax name as the caller gave it (its text form: "hex:..." stands for the
// bytes it spells) into a FAX_FILENAME; `name` becomes the bytes.
bool ToFaxName(std::string& name, FAX_FILENAME& out, std::string& error);
bool ParseNumber(const std::string& text, std::uint32_t& out);
// Cancels the I/O pending on the fax channel (a time limit's way to release
// a blocked call).
void CancelFaxIo();
// The log entry counts pages in one byte: 255 stands for 255 or more.
inline constexpr unsigned kLogPagesCap = 255;
// The log entry's page count for people: "12", or "255 or more".
std::string LogPagesText(unsigned pages);
// The log entry's fields as JSON members of `data`; besides the record's
// Pages, log_pages (the same byte, named apart from a stored file's pages)
// and log_pages_capped (true at 255: the fax may have had more).
void AddLogEntry(JsonObject& data, const FAX_LOG_ENTRY& e);

// What to say when the device's list is full: it lists at most
// MAX_RECEIVED_FAXES names, and more faxes may be behind them.
std::string MoreMayExistText();

// The received faxes.
int RunCount(const Output& out, const Parsed& args);
int RunList(const Output& out, const Parsed& args);
int RunGet(const Output& out, const Parsed& args);
int RunRemove(const Output& out, const Parsed& args);
int RunLog(const Output& out, const Parsed& args);
// get and rm of several faxes (get --all, get -d DIR), one outcome each.
int GetSeveral(const Output& out, const Parsed& args);
int RemoveSeveral(const Output& out, const Parsed& args);
// The file a fax is stored as by default: its name's last component (after
// either separator), with .pdf for a PDF; "" when that is no file name.
std::string DefaultFileName(const std::string& name, bool pdf);
// The settings and the password.
int RunSettings(const Output& out, const Parsed& args);
int RunPassword(const Output& out, const Parsed& args);
int RunReceiveSettings(const Output& out, const Parsed& args);
// Sending, and the wait for fax events.
int RunSend(const Output& out, const Parsed& args);
int RunWait(const Output& out, const Parsed& args);
int RunCancel(const Output& out, const Parsed& args);
// The EWS channel.
int RunEws(const Output& out, const Parsed& args);
// The device's web pages, served to this machine's browsers over the EWS
// channel until a stop signal.
int RunWeb(const Output& out, const Parsed& args);
// The device listing, its channels, and its end:
// status 0 when an operation would find a channel, else 7, the listing shown
// either way.
int RunDevices(const Output& out, const Parsed& args);
// The journal of faxes sent and stored.
int RunHistory(const Output& out, const Parsed& args);
// The unattended receive job.
int RunReceive(const Output& out, const Parsed& args);
struct ChannelView {
    const char* label;
    const TSL_DEVICE_CLASS* cls;
    const char* variable;
};
extern const ChannelView kChannels[2];
int FinishDevices(const Output& out, bool any, JsonObject data, const std::string& human);
// Where an operation looks for the channel of `cls`, for advice texts: the
// device named by `variable` in the environment, else where discovery looks.
std::string ChannelWhere(const TSL_DEVICE_CLASS& cls, const char* variable);

}  // namespace cli

#endif
