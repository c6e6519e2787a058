// Text as the simulated device writes it: JSON strings (its status page, its
// control command's --json), and text joined from parts.
#ifndef TESSALINE_SIM_JSON_TEXT_H
#define TESSALINE_SIM_JSON_TEXT_H

#include <cstdio>
#include <string>

namespace sim {

// `in` between the quotes of a JSON string: quote, backslash and control
// bytes escaped; other bytes as they are.
inline std::string JsonEscape(const std::string& in) {
    std::string out;
    for (unsigned char c : in) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// The parts (text, characters) one after the other. Built by appending:
// GCC 12 at -O3 takes "text" + std::string for an overlapping copy and
// warns (-Wrestrict), which fails a -Werror build.
inline void AppendPart(std::string& out, const std::string& part) { out += part; }
inline void AppendPart(std::string& out, const char* part) { out += part; }
inline void AppendPart(std::string& out, char part) { out += part; }
template <class... Parts>
std::string Cat(const Parts&... parts) {
    std::string out;
    (AppendPart(out, parts), ...);
    return out;
}

inline std::string JsonString(const std::string& in) {
    std::string out = "\"";
    out += JsonEscape(in);
    out += '"';
    return out;
}

}  // namespace sim

#endif
