// The server's two mutexes on POSIX: process-local, guarding the class table
// and the cached type descriptions.
#include <pthread.h>

#include "platform/server_mutex.h"

namespace plat {
namespace {

// Statically initialised: they exist before the first call and cannot fail.
pthread_mutex_t g_locks[2] = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER};

}  // namespace

bool InitServerMutexes() { return true; }
void DeleteServerMutexes() {}

void LockServerMutex(ServerMutex lock) { pthread_mutex_lock(&g_locks[static_cast<int>(lock)]); }
void UnlockServerMutex(ServerMutex lock) { pthread_mutex_unlock(&g_locks[static_cast<int>(lock)]); }

}  // namespace plat
