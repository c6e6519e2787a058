// JSON text for the tool's --json output.
#include "tools/json_output.h"

#include <cstdio>

#include "tools/host.h"

namespace cli {

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (const char32_t c : TextCharacters(s)) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                // Device text is in the system's 8-bit code page: control
                // characters and every character beyond ASCII are written as
                // escapes of their code points, so the output is always valid
                // JSON whatever the device sent.
                if (c < 0x20 || c >= 0x7F) {
                    char buf[16];
                    if (c >= 0x10000) {
                        const char32_t v = c - 0x10000;
                        std::snprintf(buf, sizeof(buf), "\\u%04x\\u%04x", static_cast<unsigned>(0xD800 + (v >> 10)),
                                      static_cast<unsigned>(0xDC00 + (v & 0x3FF)));
                    } else {
                        std::snprintf(buf, sizeof(buf), "\\u%04x", static_cast<unsigned>(c));
                    }
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string JsonArray(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
    return out + "]";
}

}  // namespace cli
