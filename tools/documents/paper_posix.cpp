// The paper size of the user's locale.
#include <langinfo.h>
#include <locale.h>
#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tools/documents/documents.h"

namespace doc {

Paper DefaultPaper() {
    // PAPERSIZE, as other programs read it, then the locale's LC_PAPER.
    if (const char* named = std::getenv("PAPERSIZE"); named && *named)
        return strcasecmp(named, "letter") == 0 ? Paper::Letter : Paper::A4;
    locale_t locale = newlocale(LC_PAPER_MASK, "", static_cast<locale_t>(0));
    if (!locale) return Paper::A4;
    // glibc gives the paper's height in millimetres (279 for Letter).
    const auto height = static_cast<int>(reinterpret_cast<std::intptr_t>(nl_langinfo_l(_NL_PAPER_HEIGHT, locale)));
    freelocale(locale);
    return height == 279 ? Paper::Letter : Paper::A4;
}

}  // namespace doc
