// The simulated device's clock and its time formats.
#include "sim/device_clock.h"

#include <cstdio>

namespace sim {
namespace {

// std::localtime shares one result between threads; this lock makes the
// firmware's use of it safe on every platform.
std::mutex g_localtime_mu;

bool LocalTime(std::time_t when, std::tm& out) {
    std::lock_guard<std::mutex> g(g_localtime_mu);
    const std::tm* tm = std::localtime(&when);
    if (!tm) return false;
    out = *tm;
    return true;
}

}  // namespace

void DeviceClock::SetRunning(bool on) {
    std::lock_guard<std::mutex> g(mu_);
    running_ = on;
}

void DeviceClock::Saved(std::time_t when) {
    const std::int64_t drift = static_cast<std::int64_t>(when) - static_cast<std::int64_t>(Now());
    if (drift > 5 || drift < -5) offset_ += drift;
}

void StampLogTime(std::uint8_t (&log)[80], std::time_t when) {
    std::tm tm{};
    if (!LocalTime(when, tm)) return;
    const int fields[7] = {tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_wday, tm.tm_mday, tm.tm_mon + 1, tm.tm_year % 100};
    for (int i = 0; i < 7; ++i) log[i] = static_cast<std::uint8_t>(fields[i]);
}

std::string DeviceTimeText(std::time_t when) {
    std::tm tm{};
    if (!LocalTime(when, tm)) return "";
    char text[80];  // room for any int, though a year has four digits
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

bool ParseDeviceTime(const std::string& text, std::time_t& when) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6) return false;
    if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return false;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return false;
    when = t;
    return true;
}

}  // namespace sim
