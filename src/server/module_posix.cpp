// Load and unload of the shared library: there is no DllMain here, so the
// library's constructor and destructor functions do its work.
#include "server/module.h"

namespace {

__attribute__((constructor)) void OnLoad() { ModuleInitialize(); }
__attribute__((destructor)) void OnUnload() { ModuleTerminate(); }

}  // namespace
