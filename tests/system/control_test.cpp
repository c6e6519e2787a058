// The simulated device as a test double: its control channel's vocabulary and
// framing, and `tessaline-simd ctl` against a running device, seen from a
// host through the fax automation object.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "sim/control.h"
#include "sim/control_service.h"
#include "sim_fixture.h"
#include "simd_process.h"
#include "tools/com_ref.h"

namespace {

using sim::Bytes;
using namespace std::chrono_literals;

// ---------------------------------------------------------------------------
// The vocabulary

TEST(ControlRules, RulesAreReadAsWrittenAndWrittenBackTheSameWay) {
    struct Case {
        std::vector<std::string> words;
        std::string text;  // RuleText of the rule
        sim::Fault fault;
        sim::Stage stage;
        std::uint32_t value;
        int times;
    };
    const Case cases[] = {
        {{"list", "reply-status", "busy"}, "list reply-status 2", sim::Fault::ReplyStatus, sim::Stage::Reply, 2, -1},
        {{"send-end", "reply-status", "6", "--times", "2"}, "send-end reply-status 6", sim::Fault::ReplyStatus,
         sim::Stage::Reply, 6, 2},
        {{"get", "stall"}, "get stall", sim::Fault::Stall, sim::Stage::Read, 0, -1},
        {{"data", "drop", "--at", "write:1"}, "data drop --at write:1", sim::Fault::DropConnection, sim::Stage::Write,
         0, -1},
        {{"9", "delay", "250", "--times=1"}, "read-settings delay 250", sim::Fault::Delay, sim::Stage::Read, 250, 1},
        {{"log", "fail"}, "log fail", sim::Fault::FailTransfer, sim::Stage::Read, 0, -1},
        {{"get", "block-status", "0x5", "--block", "2"}, "get block-status 5 --block 2", sim::Fault::BlockStatus,
         sim::Stage::Reply, 5, -1},
        {{"wait", "stall"}, "wait stall", sim::Fault::Stall, sim::Stage::Read, 0, -1},
        {{"ews", "short", "3", "--at", "read:1"}, "ews short 3 --at read:1", sim::Fault::ShortTransfer,
         sim::Stage::Read, 3, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        sim::Rule r;
        std::string error;
        ASSERT_TRUE(sim::ctl::ParseRule(c.words, r, error)) << error;
        EXPECT_EQ(sim::ctl::RuleText(r), c.text);
        EXPECT_EQ(r.fault, c.fault);
        EXPECT_EQ(r.stage, c.stage);
        EXPECT_EQ(r.value, c.value);
        EXPECT_EQ(r.times, c.times);
    }
}

TEST(ControlRules, ABadRuleIsRefusedWithItsReason) {
    const std::pair<std::vector<std::string>, const char*> bad[] = {
        {{}, "COMMAND ACTION"},
        {{"list"}, "COMMAND ACTION"},
        {{"lst", "stall"}, "unknown command"},
        {{"list", "stal"}, "unknown action"},
        {{"list", "reply-status"}, "needs a value"},
        {{"list", "reply-status", "lots"}, "not a number"},
        {{"list", "stall", "5"}, "takes no value"},
        {{"list", "delay", "5", "6"}, "unexpected"},
        {{"list", "drop", "--times", "0"}, "--times"},
        {{"list", "drop", "--times"}, "needs a value"},
        {{"list", "block-zero"}, "get only"},
        {{"get", "reply-status", "2", "--at", "read:0"}, "--at applies"},
        {{"get", "drop", "--at", "middle:0"}, "read:K"},
        {{"wait", "delay", "10"}, "does not apply"},
        {{"ews", "reply-status", "2"}, "has none"},
        {{"list", "drop", "--bogus"}, "unknown option"},
        {{"4294967296", "drop"}, "unknown command"},
    };
    for (const auto& [words, reason] : bad) {
        std::string joined;
        for (const std::string& w : words) joined += w + " ";
        SCOPED_TRACE(joined);
        sim::Rule r;
        std::string error;
        EXPECT_FALSE(sim::ctl::ParseRule(words, r, error));
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
}

TEST(ControlRules, AFaultsFileTakesOneRuleALineAndNamesTheLineOfABadOne) {
    char templ[] = "/tmp/tessaline-faults-XXXXXX";
    const int fd = mkstemp(templ);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::string path = templ;
    std::ofstream(path) << "# start busy twice\nlist reply-status busy --times 2\n\n  get stall   # then stall\r\n";
    std::vector<sim::Rule> rules;
    std::string error;
    ASSERT_TRUE(sim::ctl::LoadRules(path, rules, error)) << error;
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(sim::ctl::RuleText(rules[0]), "list reply-status 2");
    EXPECT_EQ(rules[0].times, 2);
    EXPECT_EQ(sim::ctl::RuleText(rules[1]), "get stall");

    std::ofstream(path) << "list drop\nlist explode\n";
    rules.clear();
    EXPECT_FALSE(sim::ctl::LoadRules(path, rules, error));
    EXPECT_EQ(error, path + ":2: unknown action 'explode'");
    std::remove(path.c_str());
    EXPECT_FALSE(sim::ctl::LoadRules(path, rules, error));
}

TEST(ControlRules, CommandLinesOfEachCommandAndTheirMistakes) {
    sim::ctl::Command c;
    std::string error;
    ASSERT_TRUE(sim::ctl::ParseCommand({"receive", "f.tif", "--json", "--from", "555", "--name=a.tif"}, c, error));
    EXPECT_EQ(c.verb, sim::ctl::Command::Receive);
    EXPECT_TRUE(c.json);
    EXPECT_EQ(c.file, "f.tif");
    EXPECT_EQ(c.from, "555");
    EXPECT_EQ(c.name, "a.tif");
    EXPECT_FALSE(c.has_cis);
    ASSERT_TRUE(sim::ctl::ParseCommand({"job", "3", "-o", "out.tif"}, c, error));
    EXPECT_EQ(c.job, 3u);
    EXPECT_EQ(c.file, "out.tif");
    ASSERT_TRUE(sim::ctl::ParseCommand({"traffic", "--last", "2"}, c, error));
    EXPECT_EQ(c.last, 2u);

    const std::vector<std::vector<std::string>> bad = {
        {},         {"bogus"},           {"status", "now"},       {"receive"},          {"receive", "a", "b"},
        {"fault"},  {"fault", "remove"}, {"fault", "list", "x"},  {"job", "1"},         {"job", "x", "-o", "f"},
        {"job", "0", "-o", "f"}, {"job", "1", "-o", "-", "--json"}, {"traffic", "--last", "0"}, {"reset", "--hard"},
        {"receive", "f", "--name", ""},
    };
    for (const auto& words : bad) {
        std::string joined;
        for (const std::string& w : words) joined += w + " ";
        EXPECT_FALSE(sim::ctl::ParseCommand(words, c, error)) << joined;
        EXPECT_FALSE(error.empty()) << joined;
    }
}

// ---------------------------------------------------------------------------
// The framing, and a service fed bytes from anyone

TEST(ControlFraming, MessagesRoundTripAndMalformedOnesAreRefused) {
    const std::vector<Bytes> fields = {Bytes{'a'}, Bytes{}, Bytes(70000, 7)};
    const Bytes m = sim::ctl::EncodeMessage(fields);
    std::uint32_t length = 0;
    ASSERT_TRUE(sim::ctl::MessageLength(m.data(), length));
    ASSERT_EQ(length + 4u, m.size());
    std::vector<Bytes> back;
    ASSERT_TRUE(sim::ctl::DecodeFields(m.data() + 4, length, back));
    EXPECT_EQ(back, fields);

    // A field running past the message, a length prefix cut short, a
    // message over the limit, too many fields.
    EXPECT_FALSE(sim::ctl::DecodeFields(m.data() + 4, length - 1, back));
    const std::uint8_t cut[] = {0, 0, 0};
    EXPECT_FALSE(sim::ctl::DecodeFields(cut, sizeof(cut), back));
    const std::uint8_t huge[] = {0xFF, 0xFF, 0xFF, 0xF0};
    EXPECT_FALSE(sim::ctl::MessageLength(huge, length));
    const Bytes many = sim::ctl::EncodeMessage(std::vector<Bytes>(sim::ctl::kMaxFields + 1));
    EXPECT_FALSE(sim::ctl::DecodeFields(many.data() + 4, many.size() - 4, back));
}

TEST(ControlFraming, TheServiceAnswersAnyBytesAndOnlyItsVersionIsCarriedOut) {
    sim::Firmware fw;
    sim::ControlService service(fw, {});
    auto status_of = [&](const Bytes& body) {
        const Bytes reply = service.Handle(body);
        std::uint32_t length = 0;
        std::vector<Bytes> fields;
        if (reply.size() < 4 || !sim::ctl::MessageLength(reply.data(), length) || length + 4 != reply.size() ||
            !sim::ctl::DecodeFields(reply.data() + 4, length, fields) || fields.size() != 4)
            return std::string("<malformed reply>");
        return std::string(fields[0].begin(), fields[0].end());
    };
    auto request = [](std::vector<std::string> words, const char* version = sim::ctl::kVersion) {
        std::vector<Bytes> f = {Bytes(version, version + std::strlen(version)), Bytes{}};
        for (const std::string& w : words) f.emplace_back(w.begin(), w.end());
        const Bytes m = sim::ctl::EncodeMessage(f);
        return Bytes(m.begin() + 4, m.end());
    };
    EXPECT_EQ(status_of({}), "2");
    EXPECT_EQ(status_of({1, 2, 3, 4, 5, 6, 7}), "2");
    EXPECT_EQ(status_of(request({"status"}, "tessaline-ctl 0")), "2");
    EXPECT_EQ(status_of(request({"fault", "add", "list", "explode"})), "2");
    EXPECT_EQ(status_of(request({"fault", "add", "list", "drop"})), "0");
    EXPECT_EQ(fw.script().Armed().size(), 1u);
    EXPECT_EQ(status_of(request({"job", "1", "-o", "x"})), "1");  // no such job
    EXPECT_EQ(status_of(request({"receive", "x"})), "1");         // an empty attachment is no fax
}

// ---------------------------------------------------------------------------
// A host against a device driven by `tessaline-simd ctl`

// A TIFF image of `pages` empty pages (directories with no entries) and
// `filler` bytes after them: what the device counts pages by.
Bytes TinyTiff(int pages, std::size_t filler) {
    Bytes t = {'I', 'I', 42, 0, 8, 0, 0, 0};
    for (int p = 0; p < pages; ++p) {
        const std::uint32_t next = p + 1 < pages ? static_cast<std::uint32_t>(t.size() + 6) : 0;
        t.insert(t.end(), {0, 0, static_cast<std::uint8_t>(next), static_cast<std::uint8_t>(next >> 8), 0, 0});
    }
    for (std::size_t i = 0; i < filler; ++i) t.push_back(static_cast<std::uint8_t>(i * 7));
    return t;
}

void WriteBytes(const std::string& path, const Bytes& data) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                 static_cast<std::streamsize>(data.size()));
}

Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ControlTest : public IsolatedTest {
protected:
    void SetUp() override {
        IsolatedTest::SetUp();
        ASSERT_TRUE(device_.Start(Args())) << device_.ready();
        ASSERT_EQ(CreateObject(CLSID_USBFAX, IID_IUSBFAX, fax_), S_OK);
    }
    void TearDown() override {
        fax_.reset();
        // Stopped cleanly, and (under the sanitizers) with nothing to report.
        EXPECT_TRUE(ExitedWith(device_.Stop(), 0)) << device_.errors();
        IsolatedTest::TearDown();
    }
    virtual std::vector<std::string> Args() { return {}; }

    // `tessaline-simd ctl WORDS...` against the test's device.
    SimdRun Ctl(std::vector<std::string> words) {
        words.insert(words.begin(), "ctl");
        return RunSimd(words);
    }
    // The same, expected to succeed: its standard output.
    std::string CtlOk(const std::vector<std::string>& words) {
        const SimdRun r = Ctl(words);
        EXPECT_TRUE(ExitedWith(r.status, 0)) << r.err;
        return r.out;
    }

    // Polls `ctl status --json` until it shows `text` (for up to 2 s).
    void AwaitStatus(const std::string& text) {
        for (int i = 0; i < 200 && CtlOk({"status", "--json"}).find(text) == std::string::npos; ++i)
            std::this_thread::sleep_for(10ms);
    }

    // A host's WaitForReceivedFax on an object of its own, on a thread;
    // `done` once it has returned.
    struct Wait {
        FAX_STATUS_ENUM event = e_NoFaxesAvailable;
        FAXSTATUS status = FAXSTATUS_NO_RESPONSE;
        std::atomic<bool> done{false};
        std::thread thread;
    };
    void StartWait(Wait& w) {
        w.thread = std::thread([&w] {
            Ref<IUSBFAX> own;
            if (CreateObject(CLSID_USBFAX, IID_IUSBFAX, own) == S_OK) own->WaitForReceivedFax(&w.event, &w.status);
            w.done = true;
        });
    }

    FAXSTATUS ReceiveSettings() {
        TSL_ULONG value = 0;
        FAXSTATUS status = FAXSTATUS_NO_RESPONSE;
        EXPECT_EQ(fax_->GetFaxReceiveSettings(&value, &status), S_OK);
        return status;
    }

    Daemon device_;
    Ref<IUSBFAX> fax_;
};

TEST_F(ControlTest, AnInjectedFaxReleasesAWaitAndIsListedFetchedAndLogged) {
    // A host waits for a fax; it comes from someone else. The wait's
    // connection is open before the fax arrives.
    Wait wait;
    StartWait(wait);
    AwaitStatus("\"open_connections\":1");
    EXPECT_FALSE(wait.done.load());

    const Bytes image = TinyTiff(3, 5000);
    WriteBytes(dir_ + "/in.tif", image);
    EXPECT_EQ(CtlOk({"receive", dir_ + "/in.tif", "--from", "5551234", "--json"}), "{\"name\":\"fax0001.tif\"}\n");
    wait.thread.join();
    EXPECT_EQ(wait.status, FAXSTATUS_OK);
    EXPECT_EQ(wait.event, e_ReceivedFaxAvailable);

    // Another, under a name and a CIS of its own, printed plainly.
    WriteBytes(dir_ + "/two.tif", TinyTiff(1, 10));
    EXPECT_EQ(CtlOk({"receive", dir_ + "/two.tif", "--from", "5550000", "--cis", "ACME LEGAL", "--name", "legal.tif"}),
              "legal.tif\n");

    FAX_FILENAME names[3] = {};
    FAXSTATUS status = FAXSTATUS_NO_RESPONSE;
    ASSERT_EQ(fax_->GetReceivedFaxList(names, 3, &status), S_OK);
    ASSERT_EQ(status, FAXSTATUS_OK);
    EXPECT_STREQ(names[0].faxPath, "fax0001.tif");
    EXPECT_STREQ(names[1].faxPath, "legal.tif");

    const std::string local = dir_ + "/fetched.tif";
    ASSERT_EQ(fax_->GetReceivedFax(&names[0], const_cast<char*>(local.c_str()), &status), S_OK);
    ASSERT_EQ(status, FAXSTATUS_OK);
    EXPECT_EQ(ReadBytes(local), image);

    FAX_LOG_ENTRY log{};
    ASSERT_EQ(fax_->GetFaxLogEntry(&names[0], &log, &status), S_OK);
    ASSERT_EQ(status, FAXSTATUS_OK);
    EXPECT_EQ(std::string(log.CIS, strnlen(log.CIS, sizeof(log.CIS))), "5551234");
    EXPECT_EQ(log.Pages, 3);
    ASSERT_EQ(fax_->GetFaxLogEntry(&names[1], &log, &status), S_OK);
    EXPECT_EQ(std::string(log.CIS, strnlen(log.CIS, sizeof(log.CIS))), "ACME LEGAL");
    EXPECT_EQ(log.Pages, 1);

    EXPECT_NE(CtlOk({"status", "--json"}).find("\"received_faxes\":[\"fax0001.tif\",\"legal.tif\"]"),
              std::string::npos);

    // What a fax machine would not take, and a name in use, are refused.
    WriteBytes(dir_ + "/notes.txt", Bytes{'h', 'e', 'l', 'l', 'o'});
    SimdRun r = Ctl({"receive", dir_ + "/notes.txt"});
    EXPECT_TRUE(ExitedWith(r.status, 1));
    EXPECT_NE(r.err.find("not a fax"), std::string::npos) << r.err;
    r = Ctl({"receive", dir_ + "/two.tif", "--name", "legal.tif", "--json"});
    EXPECT_TRUE(ExitedWith(r.status, 1));
    EXPECT_NE(r.out.find("{\"error\":"), std::string::npos) << r.out;
    r = Ctl({"receive", dir_ + "/missing.tif"});
    EXPECT_TRUE(ExitedWith(r.status, 1));
    EXPECT_NE(r.err.find("missing.tif"), std::string::npos) << r.err;
}

TEST_F(ControlTest, EachActionGivesWhatARealDeviceWouldCause) {
    struct Case {
        std::vector<std::string> rule;
        FAXSTATUS expect;
    };
    const Case cases[] = {
        {{"receive-settings", "reply-status", "busy"}, FAXSTATUS_BUSY},
        {{"receive-settings", "reply-status", "6"}, FAXSTATUS_DISKFULL},
        {{"14", "drop"}, FAXSTATUS_READ},  // the connection lost under the reply's read
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule[1]);
        std::vector<std::string> words = {"fault", "add"};
        words.insert(words.end(), c.rule.begin(), c.rule.end());
        words.insert(words.end(), {"--times", "1"});
        EXPECT_EQ(CtlOk(words), "1\n");
        EXPECT_EQ(ReceiveSettings(), c.expect);
        EXPECT_EQ(ReceiveSettings(), FAXSTATUS_OK);  // fired once
        EXPECT_EQ(CtlOk({"fault", "list"}), "");
        CtlOk({"reset"});  // rule ids start again
    }

    // A late reply: the call returns after the delay, and well.
    CtlOk({"fault", "add", "receive-settings", "delay", "400", "--times", "1"});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReceiveSettings(), FAXSTATUS_OK);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 400ms);
}

TEST_F(ControlTest, TimesCountsAndRulesAreListedAndCleared) {
    EXPECT_EQ(CtlOk({"fault", "add", "receive-settings", "reply-status", "busy", "--times", "2", "--json"}),
              "{\"id\":1}\n");
    EXPECT_EQ(CtlOk({"fault", "add", "get", "block-status", "6", "--block", "1"}), "2\n");
    EXPECT_EQ(CtlOk({"fault", "list", "--json"}),
              "{\"rules\":[{\"id\":1,\"rule\":\"receive-settings reply-status 2\",\"times\":2},"
              "{\"id\":2,\"rule\":\"get block-status 6 --block 1\",\"times\":null}]}\n");
    EXPECT_EQ(ReceiveSettings(), FAXSTATUS_BUSY);
    EXPECT_NE(CtlOk({"fault", "list"}).find("1  receive-settings reply-status 2  (1 more time(s))"), std::string::npos);
    EXPECT_EQ(ReceiveSettings(), FAXSTATUS_BUSY);
    EXPECT_EQ(ReceiveSettings(), FAXSTATUS_OK);
    EXPECT_EQ(CtlOk({"fault", "list"}), "2  get block-status 6 --block 1  (until cleared)\n");
    EXPECT_EQ(CtlOk({"fault", "clear", "--json"}), "{\"cleared\":1}\n");
    EXPECT_EQ(CtlOk({"status", "--json"}).find("\"armed_rules\":0") != std::string::npos, true);

    // A bad rule is refused with a message, as a bad command line.
    const SimdRun r = Ctl({"fault", "add", "list", "explode"});
    EXPECT_TRUE(ExitedWith(r.status, 2));
    EXPECT_NE(r.err.find("unknown action 'explode'"), std::string::npos) << r.err;
    EXPECT_EQ(CtlOk({"fault", "list"}), "");
}

// Cancels the device's pending I/O until `done`, as a host releases a
// blocked call from another thread.
void CancelUntil(IUSBFAX* fax, const std::atomic<bool>& done) {
    for (int i = 0; i < 1000 && !done; ++i) {
        FAXSTATUS cancel_status = FAXSTATUS_NO_RESPONSE;
        ASSERT_EQ(fax->CancelIO(&cancel_status), S_OK);
        std::this_thread::sleep_for(10ms);
    }
}

TEST_F(ControlTest, AStallIsReleasedByCancelIOWithTheLockFreeAndCommandsStillAnswer) {
    // A wait that the device never answers, not even when a fax arrives,
    // until CancelIO: status 2, as a real device's driver gives.
    CtlOk({"fault", "add", "wait", "stall", "--times", "1"});
    Wait wait;
    StartWait(wait);
    AwaitStatus("\"armed_rules\":0");
    WriteBytes(dir_ + "/in.tif", TinyTiff(1, 10));
    CtlOk({"receive", dir_ + "/in.tif"});
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(wait.done.load());
    CancelUntil(fax_.get(), wait.done);
    wait.thread.join();
    EXPECT_EQ(wait.status, FAXSTATUS_CMD_FAIL);

    // A stalled reply holds the access lock until CancelIO fails the read
    // under it; the device answers its control channel meanwhile.
    CtlOk({"fault", "add", "list", "stall", "--times", "1"});
    FAXSTATUS count_status = FAXSTATUS_NO_RESPONSE;
    std::atomic<bool> counted{false};
    std::thread host([&] {
        Ref<IUSBFAX> own;
        unsigned int count = 0;
        if (CreateObject(CLSID_USBFAX, IID_IUSBFAX, own) == S_OK) own->GetReceivedFaxCount(&count, &count_status);
        counted = true;
    });
    AwaitStatus("\"armed_rules\":0");
    EXPECT_FALSE(counted.load());
    CancelUntil(fax_.get(), counted);
    host.join();
    EXPECT_EQ(count_status, FAXSTATUS_READ);
    // The access lock is free: the next call goes through.
    unsigned int count = 99;
    FAXSTATUS status = FAXSTATUS_NO_RESPONSE;
    ASSERT_EQ(fax_->GetReceivedFaxCount(&count, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_OK);
    EXPECT_EQ(count, 1u);
}

TEST_F(ControlTest, JobsShowWhatTheHostSentAndResetForgetsIt) {
    const Bytes image = TinyTiff(2, 9000);
    const std::string file = dir_ + "/out.tif";
    WriteBytes(file, image);
    FAX_RECIPIENT to[2] = {};
    std::strcpy(to[0].Prefix, "9");
    std::strcpy(to[0].PhoneNumber, "5551111");
    std::strcpy(to[1].PhoneNumber, "5552222");
    FAXSTATUS status = FAXSTATUS_NO_RESPONSE;
    ASSERT_EQ(fax_->SendFax(const_cast<char*>(file.c_str()), 2, to, &status), S_OK);
    ASSERT_EQ(status, FAXSTATUS_OK);

    const std::string jobs = CtlOk({"jobs", "--json"});
    EXPECT_NE(jobs.find("\"recipients\":[{\"prefix\":\"9\",\"number\":\"5551111\"},"
                        "{\"prefix\":\"\",\"number\":\"5552222\"}],\"bytes\":" +
                        std::to_string(image.size()) + ",\"pages\":2,\"status\":0}"),
              std::string::npos)
        << jobs;
    EXPECT_EQ(jobs.rfind("{\"jobs\":[{\"id\":1,\"time\":\"", 0), 0u) << jobs;
    const std::string table = CtlOk({"jobs"});
    EXPECT_NE(table.find("9 5551111, 5552222"), std::string::npos) << table;

    CtlOk({"job", "1", "-o", dir_ + "/job1.tif"});
    EXPECT_EQ(ReadBytes(dir_ + "/job1.tif"), image);
    const SimdRun missing = Ctl({"job", "7", "-o", dir_ + "/job7.tif"});
    EXPECT_TRUE(ExitedWith(missing.status, 1));

    // The requests of the send, each with its reply's status.
    const std::string traffic = CtlOk({"traffic", "--json"});
    EXPECT_EQ(traffic.rfind("{\"conversations\":[{\"channel\":\"fax\",\"connection\":", 0), 0u) << traffic;
    EXPECT_NE(traffic.find("\"requests\":[{\"command\":0,\"status\":0},{\"command\":2,\"status\":null},"
                           "{\"command\":13,\"status\":null}"),
              std::string::npos)
        << traffic;
    EXPECT_NE(traffic.find("{\"command\":1,\"status\":0}"), std::string::npos) << traffic;
    unsigned int count = 0;
    ASSERT_EQ(fax_->GetReceivedFaxCount(&count, &status), S_OK);
    EXPECT_NE(CtlOk({"traffic", "--last", "1"}).find("  list  0\n"), std::string::npos);
    EXPECT_EQ(CtlOk({"traffic", "--last", "1", "--json"}).find("\"command\":0,"), std::string::npos);

    WriteBytes(dir_ + "/in.tif", TinyTiff(1, 10));
    CtlOk({"receive", dir_ + "/in.tif"});
    CtlOk({"fault", "add", "list", "drop"});
    EXPECT_EQ(CtlOk({"reset", "--json"}), "{\"reset\":true}\n");
    EXPECT_EQ(CtlOk({"status", "--json"}),
              "{\"fax_number\":\"5550100\",\"received_faxes\":[],\"pending_events\":0,\"sent_jobs\":0,"
              "\"open_connections\":0,\"armed_rules\":0}\n");
    EXPECT_EQ(CtlOk({"traffic", "--json"}), "{\"conversations\":[]}\n");
    EXPECT_EQ(CtlOk({"jobs", "--json"}), "{\"jobs\":[]}\n");
    // The numbering starts again as the device started it.
    EXPECT_EQ(CtlOk({"receive", dir_ + "/in.tif"}), "fax0001.tif\n");
}

// A loopback device answering a send busy did not send it: the job keeps the
// status the host was told, and no fax comes back; the retry goes through.
class ControlLoopbackTest : public ControlTest {
protected:
    std::vector<std::string> Args() override { return {"--loopback"}; }
};

TEST_F(ControlLoopbackTest, ASendAnsweredBusyIsNotSentAndItsJobSaysSo) {
    const std::string file = dir_ + "/out.tif";
    WriteBytes(file, TinyTiff(1, 500));
    FAX_RECIPIENT to[1] = {};
    std::strcpy(to[0].PhoneNumber, "5550100");
    CtlOk({"fault", "add", "send-end", "reply-status", "busy", "--times", "1"});
    FAXSTATUS status = FAXSTATUS_NO_RESPONSE;
    ASSERT_EQ(fax_->SendFax(const_cast<char*>(file.c_str()), 1, to, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_BUSY);
    unsigned int count = 7;
    ASSERT_EQ(fax_->GetReceivedFaxCount(&count, &status), S_OK);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(fax_->SendFax(const_cast<char*>(file.c_str()), 1, to, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_OK);
    AwaitStatus("\"received_faxes\":[\"fax0001.tif\"]");
    ASSERT_EQ(fax_->GetReceivedFaxCount(&count, &status), S_OK);
    EXPECT_EQ(count, 1u);
    const std::string jobs = CtlOk({"jobs", "--json"});
    EXPECT_NE(jobs.find("\"id\":1,"), std::string::npos) << jobs;
    EXPECT_NE(jobs.find("\"pages\":1,\"status\":2},{\"id\":2,"), std::string::npos) << jobs;
    EXPECT_NE(jobs.find("\"pages\":1,\"status\":0}]}"), std::string::npos) << jobs;
}

// A device started with a file of rules: they are armed from the start, and
// a reset arms them again.
class ControlFaultsFileTest : public ControlTest {
protected:
    std::vector<std::string> Args() override {
        const std::string path = dir_ + "/faults";
        std::ofstream(path) << "# the device is busy once\nreceive-settings reply-status busy --times 1\n";
        return {"--faults", path};
    }
};

TEST_F(ControlFaultsFileTest, StartUpRulesAreArmedAndResetArmsThemAgain) {
    EXPECT_EQ(ReceiveSettings(), FAXSTATUS_BUSY);
    EXPECT_EQ(ReceiveSettings(), FAXSTATUS_OK);
    CtlOk({"reset"});
    EXPECT_EQ(ReceiveSettings(), FAXSTATUS_BUSY);
}

// The README's host test (examples/host_test.cpp) passes against a running
// device.
TEST_F(IsolatedTest, TheReadmesHostTestPassesAgainstARunningDevice) {
    Daemon d;
    ASSERT_TRUE(d.Start({"--dir", dir_})) << d.ready();
    setenv("TESSALINE_SIMD", SIMD_PATH, 1);
    const std::string log = dir_ + "/host_test.log";
    const int rc = std::system((std::string(EXAMPLE_HOST_TEST_PATH) + " > " + log + " 2>&1").c_str());
    std::ifstream in(log);
    const std::string output((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << output;
    EXPECT_EQ(output.find("FAIL"), std::string::npos) << output;
    EXPECT_NE(output.find("ok    a device busy for good is reported"), std::string::npos) << output;
}

TEST_F(IsolatedTest, CtlExitStatusesWithoutADeviceAndForABadFaultsFile) {
    SimdRun r = RunSimd({"ctl", "status"});
    EXPECT_TRUE(ExitedWith(r.status, 1));
    EXPECT_NE(r.err.find(dir_ + "/sim0.ctl"), std::string::npos) << r.err;  // where it looked
    r = RunSimd({"--name", "other", "ctl", "status", "--json"});
    EXPECT_TRUE(ExitedWith(r.status, 1));
    EXPECT_EQ(r.out.rfind("{\"error\":", 0), 0u) << r.out;
    EXPECT_NE(r.err.find(dir_ + "/other.ctl"), std::string::npos) << r.err;

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"ctl"}, {"ctl", "bogus"}, {"--loopback", "ctl", "status"}, {"ctl", "fault", "add", "list"}}) {
        r = RunSimd(bad);
        EXPECT_TRUE(ExitedWith(r.status, 2)) << bad.back();
    }
    r = RunSimd({"ctl", "--help"});
    EXPECT_TRUE(ExitedWith(r.status, 0));
    EXPECT_NE(r.out.find("fault add COMMAND ACTION"), std::string::npos);

    const std::string path = dir_ + "/faults";
    std::ofstream(path) << "list reply-status\n";
    Daemon d;
    EXPECT_FALSE(d.Start({"--faults", path}));
    EXPECT_TRUE(ExitedWith(d.Wait(), 1));
    EXPECT_NE(d.errors().find(path + ":1: reply-status needs a value"), std::string::npos) << d.errors();
}

}  // namespace
