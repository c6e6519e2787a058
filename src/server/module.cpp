// The module's lifetime: its locks at load; at unload the cached type
// descriptions, the class objects and the locks released.
#include "server/module.h"

#include "platform/module_lock.h"
#include "server/class_table.h"
#include "server/dispatch.h"

bool ModuleInitialize() { return plat::InitModuleLocks(); }

void ModuleTerminate() {
    ReleaseTypeInfoCache();
    ReleaseClassObjects();
    plat::DeleteModuleLocks();
}
