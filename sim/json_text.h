// Text for JSON strings, as the simulated device writes it (its status page,
// its control command's --json).
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

inline std::string JsonString(const std::string& in) {
    std::string out = "\"";
    out += JsonEscape(in);
    out += '"';
    return out;
}

}  // namespace sim

#endif
