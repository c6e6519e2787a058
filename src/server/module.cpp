// The module's lifetime: its locks at load; at unload the cached type
// descriptions, the class objects and the locks released.
#include "server/module.h"

#include "platform/server_mutex.h"
#include "server/class_table.h"
#include "server/dispatch.h"

bool ModuleInitialize() { return plat::InitServerMutexes(); }

void ModuleTerminate() {
    ReleaseTypeInfoCache();
    ReleaseClassObjects();
    plat::DeleteServerMutexes();
}
