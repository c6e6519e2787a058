// The class table: the classes the module serves, their class objects
// (created on first request under the class table's lock, kept until
// unload), and the two exports every platform shares, DllGetClassObject and
// DllCanUnloadNow (declared in the public header).
#ifndef TESSALINE_SERVER_CLASS_TABLE_H
#define TESSALINE_SERVER_CLASS_TABLE_H

#include <tessaline/tessaline.h>

// The classes in class-table order (the order of registration and lookup);
// null past the last.
const CLSID* ClassTableEntry(int index);

// At unload: releases the class objects the table holds.
void ReleaseClassObjects();

#endif
