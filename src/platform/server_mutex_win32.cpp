// The server's two mutexes on Windows: critical sections, initialised when the
// module is loaded and deleted when it is unloaded.
#include <windows.h>

#include "platform/server_mutex.h"

namespace plat {
namespace {

CRITICAL_SECTION g_locks[2];
bool g_initialised[2] = {false, false};

}  // namespace

bool InitServerMutexes() {
    for (int i = 0; i < 2; ++i) {
        if (g_initialised[i]) continue;
        if (!InitializeCriticalSectionAndSpinCount(&g_locks[i], 0)) {
            DeleteServerMutexes();
            return false;
        }
        g_initialised[i] = true;
    }
    return true;
}

void DeleteServerMutexes() {
    for (int i = 0; i < 2; ++i) {
        if (g_initialised[i]) DeleteCriticalSection(&g_locks[i]);
        g_initialised[i] = false;
    }
}

void LockServerMutex(ServerMutex lock) { EnterCriticalSection(&g_locks[static_cast<int>(lock)]); }
void UnlockServerMutex(ServerMutex lock) { LeaveCriticalSection(&g_locks[static_cast<int>(lock)]); }

}  // namespace plat
