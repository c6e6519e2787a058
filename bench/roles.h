// The other roles this program takes in a run, each a process of its own:
// the simulated device, a one-off upload that reports its peak resident
// size, and a contention worker. And what the measuring process shares with
// them: the one recipient every upload goes to.
#ifndef TESSALINE_BENCH_ROLES_H
#define TESSALINE_BENCH_ROLES_H

#include <string>

#include "protocol/fax_send.h"

namespace bench {

FAX_RECIPIENT OneRecipient();

// tessaline-bench device DIR: the simulated device, until SIGTERM.
int RunDevice(const std::string& dir);
// tessaline-bench send-once FILE: one upload; prints its status and peak resident size.
int RunSendOnce(const char* file);
// tessaline-bench contend OPS FIRST: a contention worker.
int RunContend(int ops, int first);

}  // namespace bench

#endif
