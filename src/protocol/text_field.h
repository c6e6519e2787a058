// The one rule by which text fields are copied, in either direction, between
// the caller's records and the device's: at most width-1 characters, always
// followed by a terminating zero; the rest of a longer text is dropped.
#ifndef TESSALINE_PROTOCOL_TEXT_FIELD_H
#define TESSALINE_PROTOCOL_TEXT_FIELD_H

#include <cstddef>
#include <cstring>

// Copies `src` up to its zero, or its first width-1 characters when it has no
// zero that early (the source is never read further), and a zero. The bytes
// of `dst` after the written zero are left as they were. A null `src` is an
// empty text.
inline void CopyTextField(char* dst, const char* src, std::size_t width) {
    if (!dst || width == 0) return;
    std::size_t n = 0;
    if (src) {
        while (n + 1 < width && src[n] != '\0') ++n;
        std::memcpy(dst, src, n);
    }
    dst[n] = '\0';
}

#endif
