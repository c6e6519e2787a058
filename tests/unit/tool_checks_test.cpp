// The command's own checks of what a caller gives it, as tables of cases.
#include <gtest/gtest.h>

#include <string>

#include "tools/input_checks.h"

namespace {

TEST(DialNumber, TakesWhatDiallersTake) {
    for (const char* number : {"5550100", "+1 (555) 010-0100", "555.0100", "9,5550100", "*31#5550100", "P5550100",
                               "T5550100,,W12", "w1", "#", "0"})
        EXPECT_EQ(cli::DialNumberProblem(number), "") << number;
}

TEST(DialNumber, RefusesOthersNamingTheCharacter) {
    const struct {
        const char* number;
        const char* problem;
    } cases[] = {
        {"note.txt", "has 'n', which no dialler takes"},
        {"abc", "has 'a', which no dialler takes"},
        {"555-0100x", "has 'x', which no dialler takes"},
        {"555/0100", "has '/', which no dialler takes"},
        {"555\t0100", "has byte 0x09, which no dialler takes"},
        {"5550\xc3\xa9", "has byte 0xc3, which no dialler takes"},
        {"()- ,", "has no digit to dial"},
        {"PTW", "has no digit to dial"},
    };
    for (const auto& c : cases) EXPECT_EQ(cli::DialNumberProblem(c.number), c.problem) << c.number;
}

TEST(DeviceTime, TakesTheDevicesFormOnly) {
    for (const char* good : {"2026-12-11 13:05:09", "2024-02-29 00:00:00", "2000-02-29 23:59:59", "1999-12-31 23:59:59"})
        EXPECT_TRUE(cli::IsDeviceTime(good)) << good;
    for (const char* bad : {"garbage", "", "2026-12-11", "2026-12-11T13:05:09", "2026-12-11 13:05:09 ", "2026-13-01 00:00:00",
                            "2026-00-10 00:00:00", "2026-04-31 00:00:00", "2023-02-29 00:00:00", "1900-02-29 00:00:00",
                            "2026-12-11 24:00:00", "2026-12-11 23:60:00", "2026-12-11 23:59:60", "2026-12-00 10:00:00",
                            "26-12-11 13:05:09", "2026-1-11 13:05:09", "+026-12-11 13:05:09"})
        EXPECT_FALSE(cli::IsDeviceTime(bad)) << bad;
}

}  // namespace
