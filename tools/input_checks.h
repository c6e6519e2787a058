// Checks of what a caller gives the command, made before the device is
// asked: a recipient's number and a device time. Portable and free of the
// system, so that the tests run them on every platform.
#ifndef TESSALINE_TOOLS_INPUT_CHECKS_H
#define TESSALINE_TOOLS_INPUT_CHECKS_H

#include <string>

namespace cli {

// Empty when `number` is one a dialler takes: digits, space, + - . ( ) * #,
// the pause ',' and the dial letters P, T and W (either case), with at least
// one digit, * or #. Otherwise what is wrong with it, naming the first
// character no dialler takes.
std::string DialNumberProblem(const std::string& number);

// The form in which the device shows and takes its clock.
inline constexpr char kDeviceTimeForm[] = "YYYY-MM-DD HH:MM:SS";

// Whether `text` is a date and time in that form that the calendar has
// (months of their length, February 29 in leap years only).
bool IsDeviceTime(const std::string& text);

}  // namespace cli

#endif
