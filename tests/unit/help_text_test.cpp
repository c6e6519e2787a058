// The help of send, receive and get says what the build can do: a build
// that converts nothing or writes no PDF never promises it.
#include <gtest/gtest.h>

#include <string>

#include "tools/help_text.h"

namespace {

bool Has(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

TEST(HelpText, PromisesOnlyWhatTheBuildDoes) {
    struct Case {
        const char* build;
        cli::HelpFacts facts;
    } cases[] = {
        {"converters", {true, true, "libtiff", "SIGINT or SIGTERM", "with sh for each fax stored, the file's path as $1"}},
        {"platform TIFF reader only",
         {false, false, "the Windows Imaging Component", "Ctrl+C", "with cmd.exe for each fax stored"}},
        {"no documents", {false, false, nullptr, "SIGINT or SIGTERM", "with sh for each fax stored"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.build);
        const cli::HelpFacts& f = c.facts;
        const std::string send = cli::SendHelp(f), receive = cli::ReceiveHelp(f), get = cli::GetHelp(f);
        const std::string environment = cli::ConversionEnvironmentHelp(f);

        EXPECT_EQ(Has(send, "are converted into one"), f.converts) << send;
        EXPECT_EQ(Has(send, "Ghostscript"), f.converts) << send;
        EXPECT_EQ(Has(send, "converts nothing"), !f.converts) << send;
        EXPECT_EQ(environment.empty(), !f.converts) << environment;
        if (f.tiff_reader && !f.converts) {
            EXPECT_TRUE(Has(send, f.tiff_reader)) << send;
        }

        EXPECT_EQ(Has(receive, "store a PDF of each fax"), f.writes_pdf) << receive;
        EXPECT_EQ(Has(receive, "TESSALINE_FAX_PDF"), f.writes_pdf) << receive;
        EXPECT_EQ(Has(receive, "this build writes no PDF"), !f.writes_pdf) << receive;
        EXPECT_EQ(Has(get, "the fax is stored as a PDF"), f.writes_pdf) << get;
        EXPECT_EQ(Has(get, "this build writes no PDF"), !f.writes_pdf) << get;

        // The system's own words for the stop and the hook.
        EXPECT_TRUE(Has(receive, f.stop_request)) << receive;
        EXPECT_TRUE(Has(receive, f.hook_runs)) << receive;
    }
}

}  // namespace
