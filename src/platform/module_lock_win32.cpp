// The module's locks on Windows: two critical sections, initialised when the
// module is loaded and deleted when it is unloaded.
#include <windows.h>

#include "platform/module_lock.h"

namespace plat {
namespace {

CRITICAL_SECTION g_locks[2];
bool g_initialised[2] = {false, false};

}  // namespace

bool InitModuleLocks() {
    for (int i = 0; i < 2; ++i) {
        if (g_initialised[i]) continue;
        if (!InitializeCriticalSectionAndSpinCount(&g_locks[i], 0)) {
            DeleteModuleLocks();
            return false;
        }
        g_initialised[i] = true;
    }
    return true;
}

void DeleteModuleLocks() {
    for (int i = 0; i < 2; ++i) {
        if (g_initialised[i]) DeleteCriticalSection(&g_locks[i]);
        g_initialised[i] = false;
    }
}

void EnterModuleLock(ModuleLock lock) { EnterCriticalSection(&g_locks[static_cast<int>(lock)]); }
void LeaveModuleLock(ModuleLock lock) { LeaveCriticalSection(&g_locks[static_cast<int>(lock)]); }

}  // namespace plat
