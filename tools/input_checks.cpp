// Checks of what a caller gives the command, before the device is asked.
#include "tools/input_checks.h"

#include <cstdio>

namespace cli {

std::string DialNumberProblem(const std::string& number) {
    bool dials = false;
    for (const char c : number) {
        if ((c >= '0' && c <= '9') || c == '*' || c == '#') {
            dials = true;
            continue;
        }
        switch (c) {
            case ' ': case '+': case '-': case '.': case '(': case ')': case ',':
            case 'P': case 'T': case 'W': case 'p': case 't': case 'w':
                continue;
            default:
                break;
        }
        const unsigned char u = static_cast<unsigned char>(c);
        char shown[16];
        if (u >= 0x20 && u < 0x7f)
            std::snprintf(shown, sizeof(shown), "'%c'", c);
        else
            std::snprintf(shown, sizeof(shown), "byte 0x%02x", u);
        return std::string("has ") + shown + ", which no dialler takes";
    }
    if (!dials) return "has no digit to dial";
    return {};
}

bool IsDeviceTime(const std::string& text) {
    // YYYY-MM-DD HH:MM:SS, every digit where the form has one.
    static const char kShape[] = "dddd-dd-dd dd:dd:dd";
    if (text.size() != sizeof(kShape) - 1) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
    }
    auto at = [&](std::size_t pos, std::size_t len) {
        int v = 0;
        for (std::size_t i = pos; i < pos + len; ++i) v = v * 10 + (text[i] - '0');
        return v;
    };
    const int year = at(0, 4), month = at(5, 2), day = at(8, 2);
    const int hour = at(11, 2), minute = at(14, 2), second = at(17, 2);
    if (month < 1 || month > 12 || hour > 23 || minute > 59 || second > 59 || day < 1) return false;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

}  // namespace cli
