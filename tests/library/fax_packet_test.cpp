// The MFP1 header, the result tables, the exchange routines and the access
// cycle, against the simulated device through the real channel layer.
#include <gtest/gtest.h>

#include <cstring>

#include "protocol/access_cycle.h"
#include "protocol/fax_packet.h"
#include "sim_fixture.h"
#include "transport/fax_device.h"

namespace {

using sim::Fault;
using sim::Rule;
using sim::Stage;

sim::Bytes HeaderBytes(const FAX_PACKET_HEADER& h) {
    auto* p = reinterpret_cast<const std::uint8_t*>(&h);
    return sim::Bytes(p, p + sizeof(h));
}

TEST(FaxHeader, CommandNineIsMagicCommandAndZeros) {
    FAX_PACKET_HEADER h;
    std::memset(&h, 0xAB, sizeof(h));
    BuildFaxHeader(&h, FAXCMD_READ_SETTINGS, 0, 0);
    sim::Bytes expected(32, 0);
    const std::uint8_t start[8] = {0x4D, 0x46, 0x50, 0x31, 0, 0, 0, 9};
    std::memcpy(expected.data(), start, sizeof(start));
    EXPECT_EQ(HeaderBytes(h), expected);

    BuildFaxHeader(&h, FAXCMD_SEND_BEGIN, 0x01020304, 0x0A0B0C0D);
    const std::uint8_t params[8] = {1, 2, 3, 4, 0x0A, 0x0B, 0x0C, 0x0D};
    EXPECT_EQ(0, std::memcmp(h.Param1, params, 8));

    BuildFaxHeader(nullptr, FAXCMD_READ_SETTINGS, 0, 0);  // does nothing, and does not crash
}

TEST(ResultTables, MapDeviceStatus) {
    const struct {
        std::uint32_t status;
        FAXRESULT expected;
    } cases[] = {{0, FAXRESULT_OK},   {1, FAXRESULT_READ}, {2, FAXRESULT_BUSY},       {3, FAXRESULT_READ},
                 {4, FAXRESULT_READ}, {5, FAXRESULT_READ}, {6, FAXRESULT_DISKFULL},   {7, FAXRESULT_READ},
                 {0x01000000, FAXRESULT_READ}, {0xFFFFFFFF, FAXRESULT_READ}};
    for (const auto& c : cases) EXPECT_EQ(MapDeviceStatus(c.status, FAXRESULT_READ), c.expected) << c.status;
    EXPECT_EQ(MapDeviceStatus(9, FAXRESULT_BADREPLY), FAXRESULT_BADREPLY);
}

TEST(ResultTables, MapFaxResult) {
    const struct {
        std::int32_t result;
        FAXSTATUS expected;
    } cases[] = {
        {FAXRESULT_OK, FAXSTATUS_OK},
        {FAXRESULT_INVALIDARG, FAXSTATUS_CMD_FAIL},
        {FAXRESULT_NULLPOINTER, FAXSTATUS_NULLPOINTER},
        {FAXRESULT_FALSE, FAXSTATUS_CMD_FAIL},
        {FAXRESULT_NO_DEVICE, FAXSTATUS_NO_DEVICE},
        {FAXRESULT_BADREPLY, FAXSTATUS_CMD_FAIL},
        {FAXRESULT_READ, FAXSTATUS_READ},
        {FAXRESULT_WRITE, FAXSTATUS_WRITE},
        {FAXRESULT_MEMALLOC, FAXSTATUS_MEMALLOC},
        {FAXRESULT_FILE, FAXSTATUS_CMD_FAIL},
        {FAXRESULT_BUSY, FAXSTATUS_BUSY},
        {FAXRESULT_DISKFULL, FAXSTATUS_DISKFULL},
        {12, FAXSTATUS_CMD_FAIL},
        {-1, FAXSTATUS_CMD_FAIL},
    };
    for (const auto& c : cases) EXPECT_EQ(MapFaxResult(c.result, FAXSTATUS_CMD_FAIL), c.expected) << c.result;
    // Neither "no response" nor "bad status" is ever produced.
    for (std::int32_t r = -2; r < 20; ++r) {
        FAXSTATUS s = MapFaxResult(r, FAXSTATUS_CMD_FAIL);
        EXPECT_NE(s, FAXSTATUS_NO_RESPONSE);
        EXPECT_NE(s, FAXSTATUS_BADSTATUS);
        EXPECT_NE(s, FAXSTATUS_INVALIDARGE);
    }
}

class ExchangeTest : public SimTest {};

// How each judge reads a reply: SendCommand (a query without data, command 7)
// and SendCommandWithData (a password check, command 8).
struct JudgeCase {
    bool with_data;
    std::uint32_t status;
    std::optional<std::uint32_t> reply_command;
    FAXRESULT expected;
};

TEST_F(ExchangeTest, JudgesReadTheStatusWord) {
    const JudgeCase cases[] = {
        {false, 0, {}, FAXRESULT_OK},
        {false, 1, 7u, FAXRESULT_FALSE},
        {false, 1, 8u, FAXRESULT_READ},
        {false, 1, 0u, FAXRESULT_READ},
        {false, 2, {}, FAXRESULT_BUSY},
        {false, 6, {}, FAXRESULT_DISKFULL},
        {false, 3, {}, FAXRESULT_READ},
        {false, 4, {}, FAXRESULT_READ},
        {false, 5, {}, FAXRESULT_READ},
        {false, 0x01000000, 7u, FAXRESULT_READ},  // Status bytes 01 00 00 00
        {true, 0, {}, FAXRESULT_OK},
        {true, 1, 8u, FAXRESULT_FALSE},
        {true, 1, 7u, FAXRESULT_READ},
        {true, 2, {}, FAXRESULT_BUSY},
        {true, 6, {}, FAXRESULT_DISKFULL},
        {true, 5, {}, FAXRESULT_READ},
    };
    for (const JudgeCase& c : cases) {
        const std::uint32_t command = c.with_data ? FAXCMD_CHECK_PASSWORD : FAXCMD_PASSWORD_SET;
        fw().script().Clear();
        Rule rule;
        rule.command = command;
        rule.fault = Fault::ReplyStatus;
        rule.value = c.status;
        rule.command_override = c.reply_command;
        fw().script().Add(rule);

        AccessCycle cycle;
        ASSERT_EQ(cycle.Open(), FAXRESULT_OK);
        FAX_PACKET_HEADER h;
        BuildFaxHeader(&h, command, 0, 0);
        FAXRESULT r;
        if (c.with_data) {
            const char password[] = "1234";
            SetHeaderDataLength(h, sizeof(password));
            r = SendCommandWithData(cycle.device(), &h, password, sizeof(password));
        } else {
            r = SendCommand(cycle.device(), &h);
        }
        EXPECT_EQ(r, c.expected) << "with_data=" << c.with_data << " status=" << c.status;
    }
}

TEST_F(ExchangeTest, WrongMagicIsNotLookedAt) {
    Rule rule;
    rule.command = FAXCMD_PASSWORD_SET;
    rule.fault = Fault::ReplyBadMagic;
    fw().script().Add(rule);
    fw().state().SetPassword("secret");
    FAX_PACKET_HEADER h;
    EXPECT_EQ(QueryDevice(&h, FAXCMD_PASSWORD_SET), FAXRESULT_OK);
}

TEST_F(ExchangeTest, ShortHeaderWriteFailsWithoutReading) {
    Rule rule;
    rule.command = FAXCMD_PASSWORD_SET;
    rule.stage = Stage::Write;
    rule.fault = Fault::ShortTransfer;
    rule.value = 31;
    fw().script().Add(rule);
    FAX_PACKET_HEADER h;
    EXPECT_EQ(QueryDevice(&h, FAXCMD_PASSWORD_SET), FAXRESULT_WRITE);
    auto writes = FaxRequests(sim::Kind::Write);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].in.size(), 32u);
    EXPECT_TRUE(FaxRequests(sim::Kind::Read).empty());
}

TEST_F(ExchangeTest, FailedTransfersGiveWriteAndRead) {
    Rule rule;
    rule.command = FAXCMD_RECEIVE_SETTINGS;
    rule.stage = Stage::Write;
    rule.fault = Fault::FailTransfer;
    fw().script().Add(rule);
    FAX_PACKET_HEADER h;
    EXPECT_EQ(QueryDevice(&h, FAXCMD_RECEIVE_SETTINGS), FAXRESULT_WRITE);

    fw().script().Clear();
    rule.stage = Stage::Read;
    fw().script().Add(rule);
    EXPECT_EQ(QueryDevice(&h, FAXCMD_RECEIVE_SETTINGS), FAXRESULT_READ);

    fw().script().Clear();
    rule.fault = Fault::ShortTransfer;
    rule.value = 20;
    fw().script().Add(rule);
    EXPECT_EQ(QueryDevice(&h, FAXCMD_RECEIVE_SETTINGS), FAXRESULT_READ);

    fw().script().Clear();
    rule.fault = Fault::DropConnection;
    fw().script().Add(rule);
    EXPECT_EQ(QueryDevice(&h, FAXCMD_RECEIVE_SETTINGS), FAXRESULT_READ);
}

// ReadReplyData against settings replies of several lengths.
class ReplyDataTest : public SimTest {
protected:
    FAXRESULT ReadSettings(std::uint8_t (&buffer)[308]) {
        AccessCycle cycle;
        if (cycle.Open() != FAXRESULT_OK) return FAXRESULT_NO_DEVICE;
        FAX_PACKET_HEADER h;
        BuildFaxHeader(&h, FAXCMD_READ_SETTINGS, 0, 0);
        return ReadReplyData(cycle.device(), &h, buffer, sizeof(buffer));
    }
    void ScriptReply(Fault fault, std::uint32_t value) {
        Rule rule;
        rule.command = FAXCMD_READ_SETTINGS;
        rule.fault = fault;
        rule.value = value;
        fw().script().Add(rule);
    }
};

TEST_F(ReplyDataTest, OversizedReplyIsConsumedWholeAndCut) {
    ScriptReply(Fault::ReplyExtraData, 92);  // 308 + 92 = 400 bytes
    std::uint8_t device_record[308];
    fw().state().GetSettingsWire(device_record);
    std::uint8_t buffer[308];
    std::memset(buffer, 0x55, sizeof(buffer));
    EXPECT_EQ(ReadSettings(buffer), FAXRESULT_BADREPLY);
    EXPECT_EQ(0, std::memcmp(buffer, device_record, sizeof(buffer)));
    auto reads = FaxRequests(sim::Kind::Read);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[1].asked, 400u);
    EXPECT_EQ(reads[1].out.size(), 400u);
}

TEST_F(ReplyDataTest, EmptyReplyReadsNothing) {
    ScriptReply(Fault::ReplyDataLength, 0);
    std::uint8_t buffer[308];
    std::memset(buffer, 0x55, sizeof(buffer));
    EXPECT_EQ(ReadSettings(buffer), FAXRESULT_OK);
    for (std::uint8_t b : buffer) ASSERT_EQ(b, 0x55);
}

TEST_F(ReplyDataTest, TopBitLengthIsHugeNotNegative) {
    ScriptReply(Fault::ReplyDataLength, 0x80000010);
    std::uint8_t buffer[308];
    std::memset(buffer, 0x55, sizeof(buffer));
    EXPECT_EQ(ReadSettings(buffer), FAXRESULT_BADREPLY);
    for (std::uint8_t b : buffer) ASSERT_EQ(b, 0x55);
}

// After any failure, the access cycle has closed the channel and released the
// lock: another process takes it at once.
TEST_F(ExchangeTest, AccessCycleReleasesTheLockOnEveryPath) {
    const struct {
        Stage stage;
        Fault fault;
        std::uint32_t value;
    } failures[] = {
        {Stage::Write, Fault::FailTransfer, 0},  {Stage::Write, Fault::ShortTransfer, 3},
        {Stage::Read, Fault::FailTransfer, 0},   {Stage::Read, Fault::DropConnection, 0},
        {Stage::Reply, Fault::ReplyStatus, 2},   {Stage::Reply, Fault::ReplyStatus, 9},
    };
    for (const auto& f : failures) {
        fw().script().Clear();
        Rule rule;
        rule.command = FAXCMD_READ_SETTINGS;
        rule.stage = f.stage;
        rule.fault = f.fault;
        rule.value = f.value;
        fw().script().Add(rule);
        FAX_PACKET_HEADER h;
        EXPECT_NE(QueryDevice(&h, FAXCMD_READ_SETTINGS), FAXRESULT_OK);
        LockHolder other;
        EXPECT_EQ(other.Start("hold", 0, 1000), "locked");
    }
    fw().script().Clear();
    FAX_PACKET_HEADER h;
    EXPECT_EQ(QueryDevice(&h, FAXCMD_RECEIVE_SETTINGS), FAXRESULT_OK);
}

TEST_F(ExchangeTest, PasswordSetQueryRunsEndToEnd) {
    FAX_PACKET_HEADER h;
    EXPECT_EQ(QueryDevice(&h, FAXCMD_PASSWORD_SET), FAXRESULT_FALSE);  // none set yet
    fw().state().SetPassword("0000");
    EXPECT_EQ(QueryDevice(&h, FAXCMD_PASSWORD_SET), FAXRESULT_OK);

    FAX_PACKET_HEADER request;
    BuildFaxHeader(&request, FAXCMD_PASSWORD_SET, 0, 0);
    auto conversations = fw().traffic().FaxConversations();
    ASSERT_EQ(conversations.size(), 2u);
    EXPECT_EQ(conversations[1], HeaderBytes(request));
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
    EXPECT_EQ(QueryDevice(nullptr, FAXCMD_PASSWORD_SET), FAXRESULT_NULLPOINTER);
}

}  // namespace
