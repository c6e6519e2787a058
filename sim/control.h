// The control channel of a running simulated device (tessaline-simd ... ctl):
// its command vocabulary, the framing of its messages, and the client side
// that turns a command line into a request and a reply into output. The same
// on every platform; only the channel that carries the messages (a Unix
// socket, a named pipe) differs.
//
// A message is a 32-bit big-endian length and that many bytes of fields,
// each field a 32-bit big-endian length and its bytes. A request's fields:
//   "tessaline-ctl 1", an attachment (the bytes of `receive`'s FILE, or
//   nothing), then the command's words as typed after "ctl".
// A reply's fields:
//   the exit status in decimal, standard output, standard error, and data
//   for the client to write (`job ID -o FILE`).
// Every message comes from another process and is parsed as untrusted.
#ifndef TESSALINE_SIM_CONTROL_H
#define TESSALINE_SIM_CONTROL_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/fault_script.h"
#include "sim/firmware_types.h"

namespace sim {
namespace ctl {

inline constexpr char kVersion[] = "tessaline-ctl 1";
// The largest message either side takes (a fax of about this size is the
// largest `receive` can present).
inline constexpr std::uint32_t kMaxMessage = 256u << 20;
inline constexpr std::size_t kMaxFields = 256;

// Exit statuses of `ctl`.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // no device there, or the device refused the command
inline constexpr int kExitUsage = 2;   // a bad command line

// A message with its length prefix.
Bytes EncodeMessage(const std::vector<Bytes>& fields);
// The length a message's prefix announces, once 4 bytes are there: false
// when it is over kMaxMessage.
bool MessageLength(const std::uint8_t* prefix, std::uint32_t& length);
// A message's body (after the prefix) split into its fields; false when the
// fields do not fill it exactly or are too many.
bool DecodeFields(const std::uint8_t* body, std::size_t size, std::vector<Bytes>& fields);

// One command line after "ctl", parsed.
struct Command {
    enum Verb { Status, Receive, FaultAdd, FaultList, FaultClear, Jobs, Job, Traffic, Reset } verb = Status;
    bool json = false;
    std::string file;  // receive: the file; job: -o FILE ("-": standard output)
    std::string from, cis, name;
    bool has_cis = false;
    Rule rule;               // fault add
    std::uint32_t job = 0;   // job ID
    std::size_t last = 0;    // traffic --last N (0: all kept)
};

// Parses the words after "ctl". False, with the complaint in `error`, for a
// command line that is not one of the commands.
bool ParseCommand(const std::vector<std::string>& words, Command& command, std::string& error);

// A fault rule as written on a command line or a line of a --faults file:
//   COMMAND ACTION [VALUE] [--times N] [--at read:K|write:K] [--block K]
// False, with the reason in `error`, for anything else.
bool ParseRule(const std::vector<std::string>& words, Rule& rule, std::string& error);
// A rule written back in those words (without --times).
std::string RuleText(const Rule& rule);
// The rules of a --faults file: one a line, blank lines and text after '#'
// ignored. False, with "FILE:LINE: reason" in `error`, at the first bad one.
bool LoadRules(const std::string& path, std::vector<Rule>& rules, std::string& error);
// The name of a fax command (or "wait", "cancel", "ews"), or its number.
std::string CommandName(std::uint32_t command, Channel channel);

// The help text of `ctl`, shared by the programs' --help.
extern const char kCtlUsage[];
// A program's --help: its own text before and after the commands of ctl.
void PrintUsage(const char* head, const char* tail);

// -- The client side ----------------------------------------------------------

// How an exchange with the device went.
enum class Reach { Ok, NoDevice, Failed };
// Sends a request message to the device and takes its reply message (the
// body, without its length prefix). `error` says what went wrong otherwise.
using Exchange = std::function<Reach(const Bytes& request, Bytes& reply, std::string& error)>;

// Runs `ctl WORDS...` against the device that `exchange` reaches: `device`
// names it ("sim0 in /run/tessaline") and `endpoint` is where its control
// channel was looked for, for the message when no device answers. Writes to
// standard output and error; returns the exit status.
int RunClient(const std::vector<std::string>& words, const std::string& device, const std::string& endpoint,
              const Exchange& exchange);

}  // namespace ctl
}  // namespace sim

#endif
