// The module's lifetime: what happens at load and at unload.
#ifndef TESSALINE_SERVER_MODULE_H
#define TESSALINE_SERVER_MODULE_H

// Load and unload: the module's locks are initialised at load (false: refuse
// to load); at unload the cached type descriptions and the class objects are
// released and the locks deleted.
bool ModuleInitialize();
void ModuleTerminate();

#endif
