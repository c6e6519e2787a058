// The module's own locks on POSIX: two process-local mutexes.
#include <pthread.h>

#include "platform/module_lock.h"

namespace plat {
namespace {

// Statically initialised: they exist before the first call and cannot fail.
pthread_mutex_t g_locks[2] = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER};

}  // namespace

bool InitModuleLocks() { return true; }
void DeleteModuleLocks() {}

void EnterModuleLock(ModuleLock lock) { pthread_mutex_lock(&g_locks[static_cast<int>(lock)]); }
void LeaveModuleLock(ModuleLock lock) { pthread_mutex_unlock(&g_locks[static_cast<int>(lock)]); }

}  // namespace plat
