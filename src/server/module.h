// The module: its lock count, its class objects and its lifetime.
#ifndef TESSALINE_SERVER_MODULE_H
#define TESSALINE_SERVER_MODULE_H

#include <cstdint>

#include <tessaline/tessaline.h>

// The module lock count decides whether the module may be unloaded. Live
// objects, class objects held by clients and LockServer(TRUE) each hold one.
void ModuleAddLock();
void ModuleReleaseLock();
std::int32_t ModuleLockCount();

// Load and unload: the module's locks are initialised at load (false: refuse
// to load); at unload the cached type descriptions and the class objects are
// released and the locks deleted.
bool ModuleInitialize();
void ModuleTerminate();

// The classes in class-table order (the order of registration and lookup);
// null past the last.
const CLSID* ClassTableEntry(int index);

#endif
