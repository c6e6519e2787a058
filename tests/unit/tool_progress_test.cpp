// Progress on a terminal: its texts, a transfer shown only after a second,
// the line cleared at the end, and nothing at all when not shown.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tools/progress.h"

namespace {

TEST(Progress, Texts) {
    EXPECT_EQ(cli::SizeText(512), "512 bytes");
    EXPECT_EQ(cli::SizeText(1536), "1.5 KiB");
    EXPECT_EQ(cli::SizeText(12 * 1024 * 1024 + 300 * 1024), "12.3 MiB");
    EXPECT_EQ(cli::TransferText("sending a.pdf", 2048, 3.2), "sending a.pdf: 2.0 KiB, 3 s");
    EXPECT_EQ(cli::TransferText("fetching fax0001.tif", -1, 1.6), "fetching fax0001.tif: 2 s");
}

std::string During(bool shown, int milliseconds) {
    testing::internal::CaptureStderr();
    {
        cli::ProgressLine line(shown);
        const cli::TransferProgress transfer(line, "sending a.pdf", [] { return 2048LL; });
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
    return testing::internal::GetCapturedStderr();
}

TEST(Progress, ALongTransferIsShownAndClearedAShortOneNot) {
    const std::string long_one = During(true, 1400);
    EXPECT_NE(long_one.find("\rsending a.pdf: 2.0 KiB, 1 s\x1b[K"), std::string::npos) << long_one;
    EXPECT_EQ(long_one.substr(long_one.size() - 4), "\r\x1b[K");
    EXPECT_EQ(During(true, 100), "");
    EXPECT_EQ(During(false, 1400), "");
}

}  // namespace
