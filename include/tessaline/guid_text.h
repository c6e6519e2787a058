// A GUID as text, in upper case and braces:
// {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}. The form the registry, the device
// directory and the command's messages all name a class or an interface by.
//
// Header-only C++, for the library and the programs built beside it; not
// part of the installed interface. Works on any record shaped as a GUID
// (Data1, Data2, Data3, Data4[8]): the Windows GUID and the library's
// portable device-interface class alike.
#ifndef TESSALINE_GUID_TEXT_H
#define TESSALINE_GUID_TEXT_H

#include <cstdio>
#include <string>

namespace tessaline {

template <class Guid>
std::string GuidText(const Guid& g) {
    char text[39];
    std::snprintf(text, sizeof(text), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(g.Data1) & 0xFFFFFFFFul, static_cast<unsigned>(g.Data2),
                  static_cast<unsigned>(g.Data3), static_cast<unsigned>(g.Data4[0]), static_cast<unsigned>(g.Data4[1]),
                  static_cast<unsigned>(g.Data4[2]), static_cast<unsigned>(g.Data4[3]),
                  static_cast<unsigned>(g.Data4[4]), static_cast<unsigned>(g.Data4[5]),
                  static_cast<unsigned>(g.Data4[6]), static_cast<unsigned>(g.Data4[7]));
    return text;
}

}  // namespace tessaline

#endif
