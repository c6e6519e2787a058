// The paper size of the user's locale on Windows.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "tools/documents/documents.h"

namespace doc {

Paper DefaultPaper() {
    // PAPERSIZE, as on other systems, then the locale's paper (1: Letter).
    if (const char* named = std::getenv("PAPERSIZE"); named && *named)
        return _stricmp(named, "letter") == 0 ? Paper::Letter : Paper::A4;
    char size[8] = {};
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_IPAPERSIZE, size, sizeof(size)) > 0 && std::strcmp(size, "1") == 0)
        return Paper::Letter;
    return Paper::A4;
}

}  // namespace doc
