// The operations that the device-replies target drives, each through the
// automation objects with fixed, valid arguments, and the invariants checked
// after each whatever the device answered.
//
// An input of the target is:
//   byte 0   the operation (ReplyOp, modulo their number)
//   byte 1   a transfer fault: 0 none, 1 a failed completion, 2 a short
//            count, 3 a dropped connection, 4 a count larger than the
//            request asked for (modulo 5)
//   byte 2   the request of the run that the fault hits (0: the first)
//   byte 3   a parameter of the operation (the list's capacity, the EWS
//            read's length)
//   rest     what the device sends: handed out in order to the host's reads
//            and device-control requests, as many bytes as each asks for
#ifndef TESSALINE_FUZZ_REPLY_OPS_H
#define TESSALINE_FUZZ_REPLY_OPS_H

#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_front.h"

namespace fuzz {

enum ReplyOp : std::uint8_t {
    kReadSettings,
    kSaveSettings,
    kPasswordSet,
    kCheckPassword,
    kReceiveSettings,
    kSendFax,
    kCount,
    kList,
    kGet,
    kRemove,
    kLog,
    kWait,
    kCancel,
    kEwsRead,
    kReplyOps,
};

inline constexpr std::size_t kReplyInputHeader = 4;

const char* ReplyOpName(std::uint8_t op);

// The fax name the operations that take one ask for.
inline constexpr char kFaxName[] = "fax0001.tif";

// Creates the files the operations use (the fax to send). Once per process.
void PrepareReplyOps(Front& front);

// Runs `op`, settles the front and checks the invariants, aborting the
// process on a violation. `served` is what the device sent during the run,
// read after the front has settled.
void RunReplyOp(Front& front, std::uint8_t op, std::uint8_t param, const Bytes& served);

}  // namespace fuzz

#endif
