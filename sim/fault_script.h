// The simulated firmware's fault script: rules that make one request of the
// fax or EWS channel misbehave (a transfer that fails, comes short, drops
// the connection, stalls or comes late; a reply with a changed header; a
// download block gone wrong), so that tests and host programs reach every
// error path of a host.
#ifndef TESSALINE_SIM_FAULT_SCRIPT_H
#define TESSALINE_SIM_FAULT_SCRIPT_H

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/firmware_types.h"

namespace sim {

enum class Fault {
    // Transfer faults, applied by the driver front to one request.
    FailTransfer,    // completes with error `value` (0: ERROR_GEN_FAILURE)
    ShortTransfer,   // completes moving `value` bytes (clamped below what a full transfer moves)
    DropConnection,  // closes the connection instead of completing
    Stall,           // never completes, until a cancel or the connection closes
    Delay,           // completes normally after `value` milliseconds
    // Reply faults, applied by the firmware to the reply of one command.
    ReplyStatus,      // Status = value; with `command_override`, Command too
    ReplyDataLength,  // DataLength = value; the data that follows is unchanged
    ReplyExtraData,   // `value` more bytes of data than normal, counted in DataLength
    ReplyBadMagic,    // Magic is not MFP1
    ReplyParam1,      // Param1 = value
    // Download faults (FAXCMD_GET_RECEIVED), applied to block `block`.
    BlockStatus,         // that block's header carries Status = value and no data follows
    BlockZeroLength,     // that block's header announces 0 bytes
    BlockOversize,       // that block carries `value` more bytes than the fax has left
    ClosingDataLength,   // the closing header's DataLength = value
    ClosingStatus,       // the closing header's Status = value
};

enum class Stage {
    Write,  // the index-th write request of the exchange (0: the header)
    Read,   // the index-th read request of the exchange (0: the reply header)
    Reply,  // the reply itself (reply and download faults)
};

struct Rule {
    std::uint32_t command = 0;   // FAXCMD of the request the exchange starts with
    int occurrence = -1;         // which request of that command since scripted; -1 every one
    Stage stage = Stage::Reply;
    int index = 0;               // for Write / Read stages
    Fault fault = Fault::ReplyStatus;
    std::uint32_t value = 0;
    std::optional<std::uint32_t> command_override;  // ReplyStatus: the reply's Command
    int block = 0;                                  // download faults: 0-based block index
    int times = -1;                                 // fires this many times; -1 without limit
    // Ews: a transfer fault on the EWS channel, at the index-th write or read
    // request of a connection (`command` and `occurrence` are not used).
    Channel channel = Channel::Fax;
    std::uint32_t id = 0;  // given by FaultScript::Add
};

inline bool IsTransferFault(Fault f) {
    return f == Fault::FailTransfer || f == Fault::ShortTransfer || f == Fault::DropConnection ||
           f == Fault::Stall || f == Fault::Delay;
}

// The rules in force. Its public side takes the firmware's lock; the sides
// of the firmware that apply rules call the matching functions below with
// that lock held.
class FaultScript {
public:
    explicit FaultScript(std::mutex& mu) : mu_(mu) {}

    // Arms a rule; returns its id (1, 2, ... in the order armed).
    std::uint32_t Add(Rule rule);
    // Disarms every rule; ids start from 1 again.
    void Clear();
    // Rules that have firings left and a limit (a `times` not yet used up):
    // a test's way to know that the faults it scripted did happen.
    std::size_t Pending() const;
    // Every rule that can still fire, limited or not, oldest first.
    std::vector<Rule> Armed() const;

    // -- With the firmware's lock held --------------------------------------
    // The occurrence number of the next request of `command`.
    int NextOccurrence(std::uint32_t command) { return occurrences_[command]++; }
    // The first live rule for a stage of a fax exchange, not yet fired.
    Rule* Match(std::uint32_t command, int occurrence, Stage stage, int index, Fault only = Fault::ReplyStatus,
                bool any_fault = true);
    // Fires the reply rule of `fault` for the exchange, if one applies.
    const Rule* FireReply(std::uint32_t command, int occurrence, Fault fault);
    // Fires the download rule of `fault` for block `block`, if one applies.
    const Rule* FireBlock(int occurrence, Fault fault, int block);
    // Fires the transfer rule for a device-control request of `code`.
    const Rule* FireControl(std::uint32_t code);
    // Fires the transfer rule for the index-th request of a stage on the EWS
    // channel.
    const Rule* FireEws(Stage stage, int index);
    static void Fire(Rule* rule) {
        if (rule && rule->times > 0) --rule->times;
    }

private:
    std::mutex& mu_;
    std::vector<Rule> rules_;
    std::map<std::uint32_t, int> occurrences_;  // per command, since the script was set
    std::uint32_t next_id_ = 1;
};

}  // namespace sim

#endif
