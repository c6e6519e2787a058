// The settings and password operations against the simulated device: the
// record's conversion in both directions, the exact traffic of each
// operation, the device's answers, and a lock held by another process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/byte_order.h"
#include "protocol/fax_settings.h"
#include "sim_fixture.h"

namespace {

using sim::Bytes;
using sim::Fault;
using sim::Rule;
using sim::Stage;

struct TextField {
    const char* name;
    std::size_t offset;
    std::size_t width;
};
constexpr TextField kTextFields[] = {
    {"Password", 0, 32}, {"Prefix", 32, 32},     {"OutsideLineAccess", 64, 32},
    {"FaxName", 96, 128}, {"FaxNumber", 224, 32}, {"DeviceDateTime", 276, 32},
};

std::uint8_t* Raw(DEFAULT_FAX_SETTINGS& s) { return reinterpret_cast<std::uint8_t*>(&s); }

// A request header as the device must see it.
Bytes RequestHeader(std::uint32_t command, std::uint32_t data_length) {
    Bytes h(32, 0);
    std::memcpy(h.data(), "MFP1", 4);
    wire::StoreBE32(h.data() + 4, command);
    wire::StoreBE32(h.data() + 20, data_length);
    return h;
}

Bytes Join(const Bytes& a, const Bytes& b) {
    Bytes out(a.size() + b.size());
    std::copy(a.begin(), a.end(), out.begin());
    std::copy(b.begin(), b.end(), out.begin() + static_cast<std::ptrdiff_t>(a.size()));
    return out;
}

Bytes DeviceRecord(sim::Firmware& fw) {
    std::uint8_t record[308];
    fw.state().GetSettingsWire(record);
    return Bytes(record, record + sizeof(record));
}

void ScriptReply(sim::Firmware& fw, std::uint32_t command, Fault fault, std::uint32_t value,
                 std::optional<std::uint32_t> reply_command = {}) {
    Rule rule;
    rule.command = command;
    rule.fault = fault;
    rule.value = value;
    rule.command_override = reply_command;
    fw.script().Add(rule);
}

class SettingsTest : public SimTest {};

TEST(CopyTextField, CutsAtWidthMinusOneAndWritesNothingPastTheZero) {
    const struct {
        const char* src;
        std::size_t width;
        const char* expected;
    } cases[] = {
        {"abc", 8, "abc"},
        {"abcdefgh", 8, "abcdefg"},
        {"abcdefghij", 8, "abcdefg"},
        {"", 8, ""},
        {"abc", 1, ""},
    };
    for (const auto& c : cases) {
        char dst[16];
        std::memset(dst, 0x55, sizeof(dst));
        CopyTextField(dst, c.src, c.width);
        const std::size_t n = std::strlen(c.expected);
        EXPECT_EQ(std::string(dst), c.expected) << c.src << "/" << c.width;
        for (std::size_t k = n + 1; k < sizeof(dst); ++k) ASSERT_EQ(dst[k], 0x55) << c.src << " byte " << k;
    }
    // A source without a zero is read no further than width-1 bytes.
    const char unterminated[4] = {'w', 'x', 'y', 'z'};
    char dst[4];
    CopyTextField(dst, unterminated, sizeof(dst));
    EXPECT_EQ(std::string(dst), "wxy");
    char untouched = 0x55;
    CopyTextField(&untouched, "abc", 0);
    EXPECT_EQ(untouched, 0x55);
}

TEST_F(SettingsTest, FullTextFieldsAreCutToWidthMinusOneBothWays) {
    // From the device: every text field filled to its last byte, no zero.
    std::uint8_t record[308] = {};
    for (std::size_t i = 0; i < std::size(kTextFields); ++i)
        std::memset(record + kTextFields[i].offset, 'A' + static_cast<int>(i), kTextFields[i].width);
    fw().state().SetSettingsWire(record);
    DEFAULT_FAX_SETTINGS read;
    std::memset(&read, 0x55, sizeof(read));
    ASSERT_EQ(DeviceReadFaxSettings(&read), FAXRESULT_OK);
    for (std::size_t i = 0; i < std::size(kTextFields); ++i) {
        const TextField& f = kTextFields[i];
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(Raw(read) + f.offset)),
                  std::string(f.width - 1, static_cast<char>('A' + i)))
            << f.name;
    }

    // To the device: a caller's fields filled to their last byte.
    DEFAULT_FAX_SETTINGS save;
    std::memset(&save, 0, sizeof(save));
    for (std::size_t i = 0; i < std::size(kTextFields); ++i)
        std::memset(Raw(save) + kTextFields[i].offset, 'a' + static_cast<int>(i), kTextFields[i].width);
    fw().traffic().Clear();
    ASSERT_EQ(DeviceSaveFaxSettings(&save), FAXRESULT_OK);
    auto conversations = fw().traffic().FaxConversations();
    ASSERT_EQ(conversations.size(), 2u);
    ASSERT_EQ(conversations[1].size(), 32u + 308u);
    const Bytes sent(conversations[1].begin() + 32, conversations[1].end());
    for (std::size_t i = 0; i < std::size(kTextFields); ++i) {
        const TextField& f = kTextFields[i];
        Bytes expected(f.width, static_cast<std::uint8_t>('a' + i));
        expected.back() = 0;
        EXPECT_EQ(Bytes(sent.begin() + static_cast<std::ptrdiff_t>(f.offset),
                        sent.begin() + static_cast<std::ptrdiff_t>(f.offset + f.width)),
                  expected)
            << f.name;
    }
    EXPECT_EQ(DeviceRecord(fw()), sent);
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
}

TEST_F(SettingsTest, WordsCrossInNetworkOrderUnchecked) {
    // From the device: RingPattern 3, and 9 (out of range) passed through.
    const struct {
        std::uint8_t ring[4];
        std::int32_t expected;
    } rings[] = {{{0, 0, 0, 3}, 3}, {{0, 0, 0, 9}, 9}};
    for (const auto& c : rings) {
        std::uint8_t record[308] = {};
        std::memcpy(record + 256, c.ring, 4);
        const std::uint8_t pulse[4] = {1, 2, 3, 4};
        std::memcpy(record + 260, pulse, 4);
        std::memset(record + 272, 0xFF, 4);
        fw().state().SetSettingsWire(record);
        DEFAULT_FAX_SETTINGS s;
        ASSERT_EQ(DeviceReadFaxSettings(&s), FAXRESULT_OK);
        EXPECT_EQ(static_cast<std::int32_t>(s.RingPattern), c.expected);
        EXPECT_EQ(s.PulseDialing, 0x01020304u);
        EXPECT_EQ(static_cast<std::int32_t>(s.AutoAnswer), -1);
    }

    // To the device: out-of-range values and flags other than 0/1 unchanged.
    DEFAULT_FAX_SETTINGS s;
    std::memset(&s, 0, sizeof(s));
    s.RingPattern = static_cast<FAX_RING_PATTERN>(9);
    s.PulseDialing = 0x01020304;
    s.bThumbFirst = 2;
    s.bPrintConfigReport = 0x80000000u;
    s.AutoAnswer = static_cast<FAX_ANSWER_MODE>(-1);
    ASSERT_EQ(DeviceSaveFaxSettings(&s), FAXRESULT_OK);
    const Bytes record = DeviceRecord(fw());
    const Bytes words(record.begin() + 256, record.begin() + 276);
    EXPECT_EQ(words, (Bytes{0, 0, 0, 9, 1, 2, 3, 4, 0, 0, 0, 2, 0x80, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
}

// The save reads first and then sends the caller's record, each exchange in
// an access cycle (a connection) of its own. Nothing read from the device and
// nothing after a caller's terminators travels in the saved record.
TEST_F(SettingsTest, SaveReadsThenSendsTheRecordUnderTwoLocks) {
    fw().state().SetPassword("oldsecret12345");
    DEFAULT_FAX_SETTINGS s;
    std::memset(&s, 0x55, sizeof(s));  // garbage after every terminator
    std::strcpy(s.Password, "ab");
    std::strcpy(s.Prefix, "9");
    std::strcpy(s.OutsideLineAccess, "");
    std::strcpy(s.FaxName, "Front Desk");
    std::strcpy(s.FaxNumber, "5550199");
    s.RingPattern = e_FaxRingDouble;
    s.PulseDialing = 0;
    s.bThumbFirst = 1;
    s.bPrintConfigReport = 0;
    s.AutoAnswer = e_FaxTel;
    std::strcpy(s.DeviceDateTime, "2026-02-03 04:05:06");

    Bytes expected(308, 0);
    auto put = [&](std::size_t offset, const char* text) { std::memcpy(expected.data() + offset, text, std::strlen(text)); };
    put(0, "ab");
    put(32, "9");
    put(96, "Front Desk");
    put(224, "5550199");
    wire::StoreBE32(expected.data() + 256, 2);
    wire::StoreBE32(expected.data() + 264, 1);
    wire::StoreBE32(expected.data() + 272, 2);
    put(276, "2026-02-03 04:05:06");

    ASSERT_EQ(DeviceSaveFaxSettings(&s), FAXRESULT_OK);
    auto conversations = fw().traffic().FaxConversations();
    ASSERT_EQ(conversations.size(), 2u);
    EXPECT_EQ(conversations[0], RequestHeader(FAXCMD_READ_SETTINGS, 0));
    EXPECT_EQ(conversations[1], Join(RequestHeader(FAXCMD_SAVE_SETTINGS, 308), expected));
    EXPECT_EQ(fw().traffic().FaxConnectionsOpened(), 2u);

    // The read took its reply header and the whole record before the save.
    std::vector<std::pair<std::uint64_t, std::uint32_t>> reads;
    for (const auto& t : FaxRequests(sim::Kind::Read)) reads.emplace_back(t.connection, t.asked);
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[0].first, reads[1].first);
    EXPECT_NE(reads[1].first, reads[2].first);
    EXPECT_EQ(reads[0].second, 32u);
    EXPECT_EQ(reads[1].second, 308u);
    EXPECT_EQ(reads[2].second, 32u);

    EXPECT_EQ(DeviceRecord(fw()), expected);
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
    EXPECT_EQ(fw().traffic().Interleavings(), 0u);
}

TEST_F(SettingsTest, SaveGivesTheReadsFailureAndSendsNothing) {
    const struct {
        const char* what;
        std::uint32_t command;
        Stage stage;
        int index;
        Fault fault;
        std::uint32_t value;
        FAXRESULT expected;
        bool record_sent;
    } cases[] = {
        {"read busy", FAXCMD_READ_SETTINGS, Stage::Reply, 0, Fault::ReplyStatus, 2, FAXRESULT_BUSY, false},
        {"read longer than 308", FAXCMD_READ_SETTINGS, Stage::Reply, 0, Fault::ReplyExtraData, 8, FAXRESULT_BADREPLY,
         false},
        {"read status 5", FAXCMD_READ_SETTINGS, Stage::Reply, 0, Fault::ReplyStatus, 5, FAXRESULT_READ, false},
        {"record read fails", FAXCMD_READ_SETTINGS, Stage::Read, 1, Fault::FailTransfer, 0, FAXRESULT_READ, false},
        {"save storage full", FAXCMD_SAVE_SETTINGS, Stage::Reply, 0, Fault::ReplyStatus, 6, FAXRESULT_DISKFULL, true},
        {"record write fails", FAXCMD_SAVE_SETTINGS, Stage::Write, 1, Fault::FailTransfer, 0, FAXRESULT_WRITE, true},
    };
    DEFAULT_FAX_SETTINGS s;
    std::memset(&s, 0, sizeof(s));
    std::strcpy(s.FaxName, "Changed");
    const Bytes before = DeviceRecord(fw());
    for (const auto& c : cases) {
        fw().script().Clear();
        fw().traffic().Clear();
        Rule rule;
        rule.command = c.command;
        rule.stage = c.stage;
        rule.index = c.index;
        rule.fault = c.fault;
        rule.value = c.value;
        fw().script().Add(rule);
        EXPECT_EQ(DeviceSaveFaxSettings(&s), c.expected) << c.what;
        auto conversations = fw().traffic().FaxConversations();
        ASSERT_FALSE(conversations.empty()) << c.what;
        EXPECT_EQ(conversations[0], RequestHeader(FAXCMD_READ_SETTINGS, 0)) << c.what;
        if (!c.record_sent) {
            EXPECT_EQ(conversations.size(), 1u) << c.what;
            EXPECT_EQ(DeviceRecord(fw()), before) << c.what;
        } else {
            ASSERT_EQ(conversations.size(), 2u) << c.what;
            EXPECT_EQ(Bytes(conversations[1].begin(), conversations[1].begin() + 32),
                      RequestHeader(FAXCMD_SAVE_SETTINGS, 308))
                << c.what;
        }
    }
    EXPECT_EQ(DeviceSaveFaxSettings(nullptr), FAXRESULT_NULLPOINTER);
}

TEST_F(SettingsTest, ReadDeliversWhatTheDeviceSent) {
    std::uint8_t record[308] = {};
    std::strcpy(reinterpret_cast<char*>(record), "pw");
    std::strcpy(reinterpret_cast<char*>(record + 32), "8");
    std::strcpy(reinterpret_cast<char*>(record + 96), "Back Office");
    std::strcpy(reinterpret_cast<char*>(record + 224), "5550111");
    wire::StoreBE32(record + 256, 4);
    std::strcpy(reinterpret_cast<char*>(record + 276), "2026-03-04");
    fw().state().SetSettingsWire(record);

    // A reply longer than the record: its first 308 bytes, and BADREPLY.
    ScriptReply(fw(), FAXCMD_READ_SETTINGS, Fault::ReplyExtraData, 92);
    DEFAULT_FAX_SETTINGS s;
    std::memset(&s, 0x55, sizeof(s));
    EXPECT_EQ(DeviceReadFaxSettings(&s), FAXRESULT_BADREPLY);
    EXPECT_STREQ(s.Password, "pw");
    EXPECT_STREQ(s.Prefix, "8");
    EXPECT_STREQ(s.FaxName, "Back Office");
    EXPECT_STREQ(s.FaxNumber, "5550111");
    EXPECT_EQ(s.RingPattern, e_FaxRingDoubleAndTriple);
    EXPECT_STREQ(s.DeviceDateTime, "2026-03-04");

    // A reply of 100 bytes: what it did not reach comes out empty and zero.
    fw().script().Clear();
    ScriptReply(fw(), FAXCMD_READ_SETTINGS, Fault::ReplyDataLength, 100);
    std::memset(&s, 0x55, sizeof(s));
    EXPECT_EQ(DeviceReadFaxSettings(&s), FAXRESULT_OK);
    EXPECT_STREQ(s.Password, "pw");
    EXPECT_STREQ(s.FaxName, "Back");  // bytes 96..99 only
    EXPECT_STREQ(s.FaxNumber, "");
    EXPECT_EQ(s.RingPattern, e_FaxRingAll);
    EXPECT_EQ(s.AutoAnswer, e_Manual);
    EXPECT_STREQ(s.DeviceDateTime, "");

    fw().script().Clear();
    fw().traffic().Clear();
    EXPECT_EQ(DeviceReadFaxSettings(nullptr), FAXRESULT_NULLPOINTER);
    EXPECT_TRUE(fw().traffic().Transfers().empty());
}

TEST_F(SettingsTest, SavedSettingsReadBackAndTheirPasswordIsTheFaxPassword) {
    DEFAULT_FAX_SETTINGS s;
    ASSERT_EQ(DeviceReadFaxSettings(&s), FAXRESULT_OK);
    EXPECT_STREQ(s.FaxName, "Tessaline Simulated Fax");
    std::uint8_t flag = 0xAA;
    ASSERT_EQ(DeviceCheckFaxPasswordSet(&flag), FAXRESULT_OK);
    EXPECT_EQ(flag, 0);

    std::strcpy(s.Password, "2468");
    std::strcpy(s.FaxName, "Reception");
    s.RingPattern = e_FaxRingTriple;
    s.AutoAnswer = e_TAM;
    ASSERT_EQ(DeviceSaveFaxSettings(&s), FAXRESULT_OK);

    DEFAULT_FAX_SETTINGS back;
    std::memset(&back, 0, sizeof(back));
    ASSERT_EQ(DeviceReadFaxSettings(&back), FAXRESULT_OK);
    for (const TextField& f : kTextFields)
        EXPECT_STREQ(reinterpret_cast<const char*>(Raw(back) + f.offset),
                     reinterpret_cast<const char*>(Raw(s) + f.offset))
            << f.name;
    EXPECT_EQ(back.RingPattern, e_FaxRingTriple);
    EXPECT_EQ(back.PulseDialing, s.PulseDialing);
    EXPECT_EQ(back.bThumbFirst, s.bThumbFirst);
    EXPECT_EQ(back.bPrintConfigReport, s.bPrintConfigReport);
    EXPECT_EQ(back.AutoAnswer, e_TAM);

    ASSERT_EQ(DeviceCheckFaxPasswordSet(&flag), FAXRESULT_OK);
    EXPECT_EQ(flag, 1);
    ASSERT_EQ(DeviceCheckFaxPassword("2468", &flag), FAXRESULT_OK);
    EXPECT_EQ(flag, 1);
    ASSERT_EQ(DeviceCheckFaxPassword("2469", &flag), FAXRESULT_OK);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
}

class PasswordTest : public SimTest {};

TEST_F(PasswordTest, CheckSendsAtMostThirtyOneCharactersAndTheZero) {
    const std::string forty(40, 'k');
    fw().state().SetPassword(forty.substr(0, 31));
    const struct {
        std::string password;
        std::uint32_t length;
        std::uint8_t passed;
    } cases[] = {{forty, 32, 1}, {"", 1, 0}, {"1234", 5, 0}, {forty.substr(0, 31), 32, 1}};
    for (const auto& c : cases) {
        fw().traffic().Clear();
        std::uint8_t passed = 0xAA;
        EXPECT_EQ(DeviceCheckFaxPassword(c.password.c_str(), &passed), FAXRESULT_OK) << c.password;
        EXPECT_EQ(passed, c.passed) << c.password;
        Bytes data(c.password.begin(), c.password.begin() + (c.length - 1));
        data.push_back(0);
        auto writes = FaxRequests(sim::Kind::Write);
        ASSERT_EQ(writes.size(), 2u) << c.password;
        EXPECT_EQ(writes[0].in, RequestHeader(FAXCMD_CHECK_PASSWORD, c.length)) << c.password;
        EXPECT_EQ(writes[1].in, data) << c.password;
    }
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
}

// How a device's answer becomes a result and a flag. The flag is cleared
// whatever happens and set only on Status 0.
struct AnswerCase {
    std::uint32_t status;
    std::optional<std::uint32_t> reply_command;
    FAXRESULT expected;
    std::uint8_t flag;
};

TEST_F(PasswordTest, CheckPasswordAnswers) {
    fw().state().SetPassword("1234");
    const AnswerCase cases[] = {
        {1, 8u, FAXRESULT_OK, 0},   {0, {}, FAXRESULT_OK, 1},     {1, 0u, FAXRESULT_READ, 0},
        {1, 7u, FAXRESULT_READ, 0}, {2, {}, FAXRESULT_BUSY, 0},   {6, {}, FAXRESULT_DISKFULL, 0},
    };
    for (const AnswerCase& c : cases) {
        fw().script().Clear();
        ScriptReply(fw(), FAXCMD_CHECK_PASSWORD, Fault::ReplyStatus, c.status, c.reply_command);
        std::uint8_t passed = 0xAA;
        EXPECT_EQ(DeviceCheckFaxPassword("1234", &passed), c.expected) << c.status;
        EXPECT_EQ(passed, c.flag) << c.status;
    }

    fw().traffic().Clear();
    std::uint8_t passed = 0xAA;
    EXPECT_EQ(DeviceCheckFaxPassword(nullptr, &passed), FAXRESULT_NULLPOINTER);
    EXPECT_EQ(passed, 0);
    EXPECT_EQ(fw().traffic().FaxConnectionsOpened(), static_cast<std::uint64_t>(std::size(cases)));
    EXPECT_TRUE(fw().traffic().Transfers().empty());
}

TEST_F(PasswordTest, PasswordSetAnswers) {
    const AnswerCase cases[] = {
        {1, 7u, FAXRESULT_OK, 0},
        {0, {}, FAXRESULT_OK, 1},
        {2, {}, FAXRESULT_BUSY, 0},
        {1, 8u, FAXRESULT_READ, 0},
    };
    for (const AnswerCase& c : cases) {
        fw().script().Clear();
        fw().traffic().Clear();
        ScriptReply(fw(), FAXCMD_PASSWORD_SET, Fault::ReplyStatus, c.status, c.reply_command);
        std::uint8_t set = 0xAA;
        EXPECT_EQ(DeviceCheckFaxPasswordSet(&set), c.expected) << c.status;
        EXPECT_EQ(set, c.flag) << c.status;
        auto conversations = fw().traffic().FaxConversations();
        ASSERT_EQ(conversations.size(), 1u);
        EXPECT_EQ(conversations[0], RequestHeader(FAXCMD_PASSWORD_SET, 0));
    }
}

TEST_F(PasswordTest, ReceiveSettingsPassParamOneThrough) {
    ScriptReply(fw(), FAXCMD_RECEIVE_SETTINGS, Fault::ReplyParam1, 2);
    std::uint32_t value = 0;
    EXPECT_EQ(DeviceGetFaxReceiveSettings(&value), FAXRESULT_OK);
    EXPECT_EQ(value, 2u);
    EXPECT_EQ(fw().traffic().FaxConversations().at(0), RequestHeader(FAXCMD_RECEIVE_SETTINGS, 0));

    fw().script().Clear();
    fw().state().SetReceiveSettings(0x0A0B0C0D);
    EXPECT_EQ(DeviceGetFaxReceiveSettings(&value), FAXRESULT_OK);
    EXPECT_EQ(value, 0x0A0B0C0Du);

    ScriptReply(fw(), FAXCMD_RECEIVE_SETTINGS, Fault::ReplyStatus, 2);
    EXPECT_EQ(DeviceGetFaxReceiveSettings(&value), FAXRESULT_BUSY);
}

// With the lock held by another process beyond 5000 ms every operation gives
// NO_DEVICE and the device sees nothing. The five run side by side, so the
// test waits out the lock once.
TEST_F(SettingsTest, LockHeldElsewhereGivesNoDeviceAndSendsNothing) {
    LockHolder holder;
    ASSERT_EQ(holder.Start("hold"), "locked");

    DEFAULT_FAX_SETTINGS read_record, save_record;
    std::memset(&read_record, 0x5A, sizeof(read_record));
    std::memset(&save_record, 0, sizeof(save_record));
    std::uint8_t is_set = 0xAA, passed = 0xAA;
    std::uint32_t value = 0;
    FAXRESULT results[5] = {};
    std::vector<std::thread> threads;
    threads.emplace_back([&] { results[0] = DeviceReadFaxSettings(&read_record); });
    threads.emplace_back([&] { results[1] = DeviceSaveFaxSettings(&save_record); });
    threads.emplace_back([&] { results[2] = DeviceCheckFaxPasswordSet(&is_set); });
    threads.emplace_back([&] { results[3] = DeviceCheckFaxPassword("1234", &passed); });
    threads.emplace_back([&] { results[4] = DeviceGetFaxReceiveSettings(&value); });
    for (auto& t : threads) t.join();

    const char* names[] = {"read", "save", "password set", "check password", "receive settings"};
    for (int k = 0; k < 5; ++k) EXPECT_EQ(results[k], FAXRESULT_NO_DEVICE) << names[k];
    DEFAULT_FAX_SETTINGS untouched;
    std::memset(&untouched, 0x5A, sizeof(untouched));
    EXPECT_EQ(0, std::memcmp(&read_record, &untouched, sizeof(untouched)));
    EXPECT_EQ(is_set, 0);
    EXPECT_EQ(passed, 0);
    EXPECT_EQ(fw().traffic().FaxConnectionsOpened(), 0u);
    EXPECT_TRUE(fw().traffic().Transfers().empty());

    LockHolder third;  // the holder was not disturbed
    EXPECT_EQ(third.Start("hold", 0, 100), "timeout");
}

}  // namespace
