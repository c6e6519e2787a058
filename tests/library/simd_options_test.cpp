// The command line of both tessaline-simd programs, through the one parser
// they share: every option in many orders and both spellings, checked
// through what the simulated device then reports to the library; and the
// command lines each program refuses.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/fax_packet.h"
#include "protocol/fax_settings.h"
#include "sim/simd_options.h"
#include "sim_fixture.h"

namespace {

using sim::SimdOptions;
using sim::SimdProgram;

constexpr SimdProgram kPrograms[] = {SimdProgram::kPosix, SimdProgram::kWindows};

const char* ProgramName(SimdProgram p) { return p == SimdProgram::kPosix ? "posix" : "windows"; }

// Parses `args` (without the program's name) from strings that are gone by
// the time this returns: a value kept as a pointer into them, or into a
// string of the parser's, is a use after free that AddressSanitizer reports
// and that otherwise shows as a wrong value.
bool Parse(SimdProgram program, const std::vector<std::string>& args, SimdOptions& out, std::string& error) {
    std::vector<std::string> copies{"tessaline-simd"};
    copies.insert(copies.end(), args.begin(), args.end());
    std::vector<const char*> argv;
    for (const std::string& a : copies) argv.push_back(a.c_str());
    const bool ok = sim::ParseSimdOptions(program, static_cast<int>(argv.size()), argv.data(), out, error);
    for (std::string& a : copies) a.assign(a.size(), '#');
    return ok;
}

// One option as given: a flag when `value` is null.
struct Given {
    const char* option;
    const char* value;
};

// How the values are written: `--opt V`, `--opt=V`, or the two in turn.
enum class Spelling { kSeparate, kInline, kAlternating };

std::vector<std::string> CommandLine(const std::vector<Given>& options, Spelling spelling) {
    std::vector<std::string> args;
    int valued = 0;
    for (const Given& g : options) {
        if (!g.value) {
            args.push_back(g.option);
            continue;
        }
        const bool inline_value =
            spelling == Spelling::kInline || (spelling == Spelling::kAlternating && valued % 2 == 1);
        ++valued;
        if (inline_value) {
            args.push_back(std::string(g.option) + "=" + g.value);
        } else {
            args.push_back(g.option);
            args.push_back(g.value);
        }
    }
    return args;
}

class SimdOptionsTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        initial_ = fw().state().Snapshot();
    }

    // The test's device as a freshly started program would set it up from
    // `o`: its initial state with the presets written over it, then its
    // behaviour.
    void Configure(const SimdOptions& o) {
        sim::PersistentState state = initial_;
        sim::PresetSettings(o, state.settings);
        fw().state().Restore(std::move(state));
        fw().state().SetReceiveSettings(0);
        sim::ApplyBehaviour(o, fw());
    }

    // What the device reports through the library.
    struct Reported {
        std::string fax_number;
        std::uint8_t password_set = 0xFF;
        std::uint8_t password_passes = 0xFF;
        std::uint32_t receive_settings = 0;
    };
    Reported Report(const char* password) {
        Reported r;
        DEFAULT_FAX_SETTINGS s{};
        EXPECT_EQ(DeviceReadFaxSettings(&s), FAXRESULT_OK);
        r.fax_number.assign(s.FaxNumber, strnlen(s.FaxNumber, sizeof(s.FaxNumber)));
        EXPECT_EQ(DeviceCheckFaxPasswordSet(&r.password_set), FAXRESULT_OK);
        EXPECT_EQ(DeviceCheckFaxPassword(password, &r.password_passes), FAXRESULT_OK);
        EXPECT_EQ(DeviceGetFaxReceiveSettings(&r.receive_settings), FAXRESULT_OK);
        return r;
    }

    sim::PersistentState initial_;
};

TEST_F(SimdOptionsTest, EveryOptionInAnyOrderAndEitherSpellingReachesTheDevice) {
    const std::string faxes = dir_ + "/faxes=in";
    const std::vector<Given> all = {
        {"--name", "t1"},           {"--loopback", nullptr},          {"--fax-number", "5550100"},
        {"--receive-settings", "0x12345678"}, {"--password", "bar-secret"}, {"--faxes", faxes.c_str()},
        {"--block-size", "512"},    {"--any-job", nullptr},
    };
    // Orders of the rows of `all`: as written, reversed, and mixtures that put
    // each value option first, last and between the flags.
    const std::vector<std::vector<int>> orders = {
        {0, 1, 2, 3, 4, 5, 6, 7}, {7, 6, 5, 4, 3, 2, 1, 0}, {4, 2, 1, 7, 3, 0, 6, 5},
        {1, 4, 7, 2, 5, 3, 6, 0}, {6, 3, 0, 5, 1, 2, 7, 4}, {2, 0, 4, 6, 1, 5, 3, 7},
    };
    for (SimdProgram program : kPrograms) {
        for (const auto& order : orders) {
            for (Spelling spelling : {Spelling::kSeparate, Spelling::kInline, Spelling::kAlternating}) {
                std::vector<Given> given;
                for (int i : order) given.push_back(all[static_cast<std::size_t>(i)]);
                const std::vector<std::string> args = CommandLine(given, spelling);
                std::string joined;
                for (const std::string& a : args) joined += " " + a;
                SCOPED_TRACE(std::string(ProgramName(program)) + ":" + joined);

                SimdOptions o;
                std::string error;
                ASSERT_TRUE(Parse(program, args, o, error)) << error;
                EXPECT_EQ(o.name, "t1");
                EXPECT_EQ(o.faxes, faxes);
                EXPECT_TRUE(o.loopback);
                EXPECT_TRUE(o.any_job);
                EXPECT_EQ(o.block_size, 512u);
                EXPECT_FALSE(o.help || o.version || o.driver || o.stop || o.remove_driver);

                Configure(o);
                const Reported r = Report("bar-secret");
                EXPECT_EQ(r.fax_number, "5550100");
                EXPECT_EQ(r.password_set, 1);
                EXPECT_EQ(r.password_passes, 1);
                EXPECT_EQ(r.receive_settings, 0x12345678u);
            }
        }
    }
}

TEST_F(SimdOptionsTest, ValuesAreTakenWholeAndTheLastOfAnOptionWins) {
    const std::string longest(31, 'p');
    const struct {
        std::vector<std::string> args;
        const char* fax_number;  // null: the device's own, as before
        const char* password;  // null: no password set
        std::uint32_t receive_settings;
    } cases[] = {
        // A value that looks like an option, or holds '=', is a value.
        {{"--password", "--loopback", "--fax-number", "--name"}, "--name", "--loopback", 0},
        {{"--password=a=b", "--fax-number==5"}, "=5", "a=b", 0},
        // An empty password clears it.
        {{"--password=", "--fax-number", "1"}, "1", nullptr, 0},
        {{"--password", "x", "--password", "", "--fax-number=1", "--fax-number=2"}, "2", nullptr, 0},
        // The longest values each field holds, and the number's bounds.
        {{"--password", longest, "--fax-number", "4444444444444444444444444444444"}, "4444444444444444444444444444444",
         longest.c_str(), 0},
        {{"--receive-settings=4294967295"}, nullptr, nullptr, 0xFFFFFFFFu},
        {{"--receive-settings", "0XaBcD", "--receive-settings", "010"}, nullptr, nullptr, 10},
    };
    const char* initial_field = reinterpret_cast<const char*>(initial_.settings) + offsetof(DEFAULT_FAX_SETTINGS, FaxNumber);
    const std::string initial_fax_number(initial_field, strnlen(initial_field, 32));
    ASSERT_NE(initial_fax_number, "");
    for (SimdProgram program : kPrograms) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(ProgramName(program)) + ": " + c.args[0]);
            SimdOptions o;
            std::string error;
            ASSERT_TRUE(Parse(program, c.args, o, error)) << error;
            EXPECT_FALSE(o.loopback);
            Configure(o);
            const Reported r = Report(c.password ? c.password : "");
            EXPECT_EQ(r.fax_number, c.fax_number ? c.fax_number : initial_fax_number);
            EXPECT_EQ(r.password_set, c.password ? 1 : 0);
            if (c.password) {
                EXPECT_EQ(r.password_passes, 1);
            }
            EXPECT_EQ(r.receive_settings, c.receive_settings);
        }
    }
}

TEST(SimdOptions, EachProgramTakesItsOwnOptionsAndRefusesBadOnes) {
    const unsigned kPosix = 1, kWindows = 2, kBoth = 3;
    const struct {
        unsigned programs;  // the programs that refuse it so
        std::vector<std::string> args;
        const char* complaint;
    } refused[] = {
        {kBoth, {"--bogus"}, "unknown option --bogus"},
        {kBoth, {"-x"}, "unknown option -x"},
        {kBoth, {"--name"}, "--name needs a value"},
        {kBoth, {"--loopback", "--fax-number"}, "--fax-number needs a value"},
        {kBoth, {"--loopback=1"}, "--loopback takes no value"},
        {kBoth, {"--help=yes"}, "--help takes no value"},
        {kBoth, {"--name", "a/b"}, "--name must be a plain file name"},
        {kBoth, {"--name="}, "--name must be a plain file name"},
        {kBoth, {"--name", ".."}, "--name must be a plain file name"},
        {kWindows, {"--name", "a\\b"}, "--name must be a plain file name"},
        {kBoth, {"--password", std::string(32, 'p')}, "--password holds at most 31 bytes"},
        {kBoth, {"--fax-number=" + std::string(32, '5')}, "--fax-number holds at most 31 bytes"},
        {kBoth, {"--block-size", "0"}, "--block-size must be 1 or more"},
        {kBoth, {"--block-size", "12x"}, "--block-size must be 1 or more"},
        {kBoth, {"--receive-settings", "0x100000000"}, "--receive-settings must be a 32-bit number"},
        {kBoth, {"--receive-settings", "-1"}, "--receive-settings must be a 32-bit number"},
        {kBoth, {"--receive-settings", " 1"}, "--receive-settings must be a 32-bit number"},
        {kBoth, {"--faxes="}, "--faxes needs a directory"},
        {kPosix, {"--keep-jobs", "-1"}, "--keep-jobs must be a count"},
        {kPosix, {"--keep-job-bytes", "12T"}, "--keep-job-bytes must be a size"},
        {kPosix, {"--socket-group="}, "--socket-group: no group named ''"},
        // Each program's own options are unknown to the other.
        {kPosix, {"--driver"}, "unknown option --driver"},
        {kPosix, {"--stop"}, "unknown option --stop"},
        {kPosix, {"--remove-driver"}, "unknown option --remove-driver"},
        {kWindows, {"--dir", "x"}, "unknown option --dir"},
        {kWindows, {"--state=x"}, "unknown option --state"},
        {kWindows, {"--socket-group", "0"}, "unknown option --socket-group"},
        {kWindows, {"--keep-jobs", "1"}, "unknown option --keep-jobs"},
        {kWindows, {"--keep-job-bytes", "1"}, "unknown option --keep-job-bytes"},
    };
    for (const auto& c : refused) {
        for (SimdProgram program : kPrograms) {
            SCOPED_TRACE(std::string(ProgramName(program)) + ": " + c.args[0]);
            if (!(c.programs & static_cast<unsigned>(program))) continue;
            SimdOptions o;
            std::string error;
            EXPECT_FALSE(Parse(program, c.args, o, error));
            EXPECT_EQ(error.rfind(c.complaint, 0), 0u) << error;
        }
    }

    // What each program alone takes, stored as given.
    SimdOptions posix;
    std::string error;
    ASSERT_TRUE(Parse(SimdProgram::kPosix,
                      {"--dir=/d", "--state", "/s", "--socket-group", "lp", "--keep-jobs", "0", "--keep-job-bytes=3K",
                       "--name", "a\\b", "-h", "--version"},
                      posix, error))
        << error;
    EXPECT_EQ(posix.dir, "/d");
    EXPECT_EQ(posix.state, "/s");
    EXPECT_EQ(posix.socket_group, "lp");
    EXPECT_EQ(posix.keep_jobs, 0u);
    EXPECT_EQ(posix.keep_job_bytes, 3u * 1024);
    EXPECT_EQ(posix.name, "a\\b");
    EXPECT_TRUE(posix.help && posix.version);

    SimdOptions windows;
    ASSERT_TRUE(Parse(SimdProgram::kWindows, {"--driver", "--stop", "--remove-driver"}, windows, error)) << error;
    EXPECT_TRUE(windows.driver && windows.stop && windows.remove_driver);
    EXPECT_EQ(windows.keep_jobs, sim::kDefaultKeptJobs);
    EXPECT_EQ(windows.keep_job_bytes, sim::kDefaultKeptJobBytes);
}

}  // namespace

namespace {

// `ctl`: the rest of the line is the command's, taken whole; before it only
// the options that say which device it is.
TEST(SimdOptions, CtlTakesTheRestOfTheLineAfterTheOptionsNamingTheDevice) {
    SimdOptions o;
    std::string error;
    ASSERT_TRUE(Parse(SimdProgram::kPosix, {"--dir", "/tmp/d", "--name=dev", "ctl", "fault", "add", "list", "drop",
                                            "--times", "2", "--json"},
                      o, error))
        << error;
    EXPECT_TRUE(o.ctl);
    EXPECT_EQ(o.dir, "/tmp/d");
    EXPECT_EQ(o.name, "dev");
    EXPECT_EQ(o.ctl_words, (std::vector<std::string>{"fault", "add", "list", "drop", "--times", "2", "--json"}));
    SimdOptions w;
    ASSERT_TRUE(Parse(SimdProgram::kWindows, {"--driver", "ctl", "status"}, w, error)) << error;
    EXPECT_TRUE(w.driver);
    EXPECT_EQ(w.ctl_words, std::vector<std::string>{"status"});
    ASSERT_TRUE(Parse(SimdProgram::kPosix, {"--faults", "rules.txt"}, o = SimdOptions{}, error)) << error;
    EXPECT_EQ(o.faults, "rules.txt");
    EXPECT_FALSE(o.ctl);

    for (const auto& [program, args] : std::vector<std::pair<SimdProgram, std::vector<std::string>>>{
             {SimdProgram::kPosix, {"--loopback", "ctl", "status"}},
             {SimdProgram::kPosix, {"--driver", "ctl", "status"}},
             {SimdProgram::kWindows, {"--dir", "x", "ctl", "status"}},
             {SimdProgram::kWindows, {"--faults", "f", "ctl", "status"}},
             {SimdProgram::kPosix, {"--faults"}},
             {SimdProgram::kPosix, {"--faults="}}}) {
        SimdOptions bad;
        EXPECT_FALSE(Parse(program, args, bad, error)) << args.front();
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
