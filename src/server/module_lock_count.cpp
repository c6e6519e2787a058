// The module lock count: one atomic counter, changed from any thread.
#include "server/module_lock_count.h"

#include <atomic>

namespace {

std::atomic<std::int32_t> g_moduleLocks{0};

}  // namespace

void ModuleAddLock() { ++g_moduleLocks; }
void ModuleReleaseLock() { --g_moduleLocks; }
std::int32_t ModuleLockCount() { return g_moduleLocks.load(); }
