// The module lock count, which decides whether the module may be unloaded.
// Live objects, class objects held by clients and LockServer(TRUE) each
// hold one.
#ifndef TESSALINE_SERVER_MODULE_LOCK_COUNT_H
#define TESSALINE_SERVER_MODULE_LOCK_COUNT_H

#include <cstdint>

void ModuleAddLock();
void ModuleReleaseLock();
std::int32_t ModuleLockCount();

#endif
