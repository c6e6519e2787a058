// Sending a fax: argument and file checks, the recipient list, the data
// blocks and the end-of-data header, and how the device's answers decide the
// result, against the simulated device's recorded traffic and jobs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_buffer.h"
#include "protocol/fax_send.h"
#include "sim_fixture.h"
#include "transport/fax_device.h"

namespace {

using sim::Bytes;
using sim::Fault;
using sim::Rule;
using sim::Stage;

void AppendBE32(Bytes& b, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<std::uint8_t>(v >> shift));
}

// A request header as the device expects it, spelled out byte by byte.
Bytes Header(std::uint32_t command, std::uint32_t param1, std::uint32_t length,
             const Bytes& status = {0, 0, 0, 0}) {
    Bytes h = {'M', 'F', 'P', '1'};
    AppendBE32(h, command);
    AppendBE32(h, param1);
    AppendBE32(h, 0);
    h.insert(h.end(), status.begin(), status.end());
    AppendBE32(h, length);
    h.resize(32, 0);
    return h;
}

// File content in which every block boundary shows: no run of 4096 repeats.
Bytes Pattern(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return b;
}

// A caller's record whose bytes after each string's NUL are not zero, so that
// the list shows what the send itself fills in.
FAX_RECIPIENT Recipient(const char* prefix, const char* number) {
    FAX_RECIPIENT r;
    std::memset(&r, 0xAA, sizeof(r));
    std::memcpy(r.Prefix, prefix, std::strlen(prefix) + 1);
    std::memcpy(r.PhoneNumber, number, std::strlen(number) + 1);
    return r;
}

// One 64-byte slot of the list as it travels.
Bytes Slot(const std::string& prefix, const std::string& number) {
    Bytes s(64, 0);
    std::memcpy(s.data(), prefix.data(), prefix.size());
    std::memcpy(s.data() + 32, number.data(), number.size());
    return s;
}

Bytes List(std::uint32_t count, const std::vector<Bytes>& slots) {
    Bytes l;
    AppendBE32(l, count);
    for (const Bytes& s : slots) l.insert(l.end(), s.begin(), s.end());
    return l;
}

// The writes of a whole send: begin, recipients, the blocks, end of data, end.
std::vector<Bytes> SendWrites(const Bytes& file, const Bytes& list) {
    std::vector<Bytes> w = {Header(FAXCMD_SEND_BEGIN, static_cast<std::uint32_t>(file.size()), 0),
                            Header(FAXCMD_RECIPIENTS, 0, static_cast<std::uint32_t>(list.size())), list};
    for (std::size_t at = 0; at < file.size(); at += 4096) {
        const std::size_t n = std::min<std::size_t>(4096, file.size() - at);
        w.push_back(Header(FAXCMD_DATA, 0, static_cast<std::uint32_t>(n)));
        w.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(at),
                       file.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    w.push_back(Header(FAXCMD_DATA, 0, 0));
    w.push_back(Header(FAXCMD_SEND_END, 0, 0));
    return w;
}

Rule ReplyStatusRule(std::uint32_t command, std::uint32_t status, std::optional<std::uint32_t> reply_command = {}) {
    Rule r;
    r.command = command;
    r.fault = Fault::ReplyStatus;
    r.value = status;
    r.command_override = reply_command;
    return r;
}

Rule FailRule(std::uint32_t command, Stage stage, int occurrence = -1) {
    Rule r;
    r.command = command;
    r.stage = stage;
    r.occurrence = occurrence;
    r.fault = Fault::FailTransfer;
    return r;
}

std::string WriteFile(const std::string& path, const Bytes& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    return path;
}

// A file of 4 GiB, sparse: its size does not fit the begin command's 32 bits.
std::string WriteHugeFile(const std::string& path) {
    WriteFile(path, {});
    return truncate(path.c_str(), 0x100000000LL) == 0 ? path : std::string();
}

class SendTest : public SimTest {
protected:
    std::string MakeFile(const Bytes& content, const std::string& name = "fax.tif") {
        return WriteFile(dir_ + "/" + name, content);
    }
    std::string MissingPath() const { return dir_ + "/no-such.tif"; }

    std::vector<Bytes> Writes() const {
        std::vector<Bytes> w;
        for (const auto& t : FaxRequests(sim::Kind::Write)) w.push_back(t.in);
        return w;
    }

    // Starts afresh: no script, no recorded traffic.
    void Reset() {
        fw().script().Clear();
        fw().traffic().Clear();
    }

    // Another process can take the access lock at once.
    static bool LockIsFree() {
        LockHolder other;
        return other.Start("hold", 0, 1000) == "locked";
    }

    const FAX_RECIPIENT one_[1] = {Recipient("9", "5551234")};
    const Bytes one_list_ = List(1, {Slot("9", "5551234")});
};

TEST_F(SendTest, FileGoesOutInBlocksOfAtMost4096) {
    const std::size_t sizes[] = {1, 4095, 4096, 4097, 10000};
    for (std::size_t size : sizes) {
        Reset();
        const Bytes file = Pattern(size);
        EXPECT_EQ(DeviceSendFax(one_, 1, MakeFile(file).c_str()), FAXRESULT_OK) << size;

        EXPECT_EQ(Writes(), SendWrites(file, one_list_)) << size;
        // Three replies: begin, the data as a whole, end.
        const auto reads = FaxRequests(sim::Kind::Read);
        ASSERT_EQ(reads.size(), 3u) << size;
        for (const auto& r : reads) EXPECT_EQ(r.asked, 32u);

        const sim::SentJob job = fw().state().Jobs().back();
        EXPECT_EQ(job.announced_size, size);
        EXPECT_EQ(job.data, file) << size;
        EXPECT_EQ(job.blocks, (size + 4095) / 4096);
        EXPECT_TRUE(job.data_ended);
        EXPECT_FALSE(job.failed_block);
        EXPECT_TRUE(job.ended);
    }
    EXPECT_EQ(fw().state().Jobs().size(), std::size(sizes));
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
    EXPECT_EQ(fw().traffic().Interleavings(), 0u);
}

TEST_F(SendTest, RecordsWithoutANumberAreSkippedAndTheirSlotsStayZero) {
    const FAX_RECIPIENT three[3] = {Recipient("9", "5551234"), Recipient("8", ""), Recipient("", "5559876")};
    const Bytes file = Pattern(100);
    EXPECT_EQ(DeviceSendFax(three, 3, MakeFile(file).c_str()), FAXRESULT_OK);

    const Bytes list = List(2, {Slot("9", "5551234"), Slot("", "5559876"), Bytes(64, 0)});
    ASSERT_EQ(list.size(), 196u);
    EXPECT_EQ(Writes(), SendWrites(file, list));

    const sim::SentJob job = fw().state().Jobs().back();
    EXPECT_EQ(job.recipient_count, 2u);
    ASSERT_EQ(job.recipients.size(), 2u);
    EXPECT_EQ(job.recipients[1].prefix, "");
    EXPECT_EQ(job.recipients[1].number, "5559876");
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
}

TEST_F(SendTest, FullWidthFieldsAreCutTo31CharactersAndANul) {
    FAX_RECIPIENT records[2];
    std::memset(records[0].Prefix, 'P', 32);       // no NUL in either field
    std::memset(records[0].PhoneNumber, '5', 32);
    records[1] = Recipient(std::string(31, 'Q').c_str(), std::string(31, '7').c_str());
    std::memset(records[1].PhoneNumber, '8', 32);  // the last record's field runs to the array's end
    const Bytes file = Pattern(10);
    EXPECT_EQ(DeviceSendFax(records, 2, MakeFile(file).c_str()), FAXRESULT_OK);

    const Bytes list =
        List(2, {Slot(std::string(31, 'P'), std::string(31, '5')), Slot(std::string(31, 'Q'), std::string(31, '8'))});
    EXPECT_EQ(Writes(), SendWrites(file, list));
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
}

TEST_F(SendTest, NoNumberAtAllStillSendsAndTheDeviceDecides) {
    const FAX_RECIPIENT none[2] = {Recipient("9", ""), Recipient("", "")};
    const Bytes file = Pattern(5000);
    const std::string path = MakeFile(file);
    const Bytes list = List(0, {Bytes(64, 0), Bytes(64, 0)});
    ASSERT_EQ(list.size(), 4u + 64 * 2);

    // This device refuses a job without recipients in its end reply...
    EXPECT_EQ(DeviceSendFax(none, 2, path.c_str()), FAXRESULT_READ);
    EXPECT_EQ(Writes(), SendWrites(file, list));
    EXPECT_EQ(fw().state().Jobs().back().recipient_count, 0u);
    EXPECT_EQ(fw().state().Jobs().back().data, file);

    // ...and one that accepts it makes the send succeed.
    Reset();
    fw().script().Add(ReplyStatusRule(FAXCMD_SEND_END, 0));
    EXPECT_EQ(DeviceSendFax(none, 2, path.c_str()), FAXRESULT_OK);
    EXPECT_EQ(Writes(), SendWrites(file, list));
}

// Arguments are checked in order (pointers, count, limit, then the file) and
// nothing reaches the file or the device when they fail. There is no device
// here: a send that went on to it would give FAXRESULT_NO_DEVICE and print
// the discovery message. A missing file stands in wherever the file must not
// be looked at: reading it would give FAXRESULT_READ.
class SendArgumentsTest : public IsolatedTest {};

TEST_F(SendArgumentsTest, CheckedInOrderBeforeTheDevice) {
    enum FileKind { Null, Present, Missing, Empty, Huge };
    const struct {
        bool list;
        std::uint32_t numbers;
        FileKind file;
        FAXRESULT expected;
    } cases[] = {
        {false, 1, Present, FAXRESULT_NULLPOINTER},
        {true, 1, Null, FAXRESULT_NULLPOINTER},
        {false, 0, Missing, FAXRESULT_NULLPOINTER},
        {true, 0, Missing, FAXRESULT_INVALIDARG},
        {true, 0x80000000u, Missing, FAXRESULT_INVALIDARG},
        {true, 0xFFFFFFFFu, Missing, FAXRESULT_INVALIDARG},
        {true, kMaxRecipients + 1, Missing, FAXRESULT_INVALIDARG},
        {true, kMaxRecipients, Missing, FAXRESULT_READ},  // the limit itself is allowed
        {true, 1, Missing, FAXRESULT_READ},
        {true, 1, Empty, FAXRESULT_INVALIDARG},
        {true, 1, Huge, FAXRESULT_INVALIDARG},
    };
    const std::string present = WriteFile(dir_ + "/fax.tif", Pattern(10));
    const std::string empty = WriteFile(dir_ + "/empty.tif", {});
    const std::string huge = WriteHugeFile(dir_ + "/huge.tif");
    ASSERT_FALSE(huge.empty());
    const std::string missing = dir_ + "/no-such.tif";
    const FAX_RECIPIENT one[1] = {Recipient("9", "5551234")};

    testing::internal::CaptureStdout();
    for (const auto& c : cases) {
        const char* name = nullptr;
        switch (c.file) {
            case Null: break;
            case Present: name = present.c_str(); break;
            case Missing: name = missing.c_str(); break;
            case Empty: name = empty.c_str(); break;
            case Huge: name = huge.c_str(); break;
        }
        const FAXRESULT r = DeviceSendFax(c.list ? one : nullptr, c.numbers, name);
        EXPECT_EQ(r, c.expected) << "list=" << c.list << " numbers=" << c.numbers << " file=" << c.file;
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // no device was looked for
}

TEST_F(SendTest, MissingFileDoesNotWaitForTheLock) {
    LockHolder holder;
    ASSERT_EQ(holder.Start("hold"), "locked");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(DeviceSendFax(one_, 1, MissingPath().c_str()), FAXRESULT_READ);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kAccessLockTimeoutMs));
    EXPECT_EQ(fw().traffic().FaxConnectionsOpened(), 0u);
}

// A begin command that fails or is refused ends the send: nothing follows it,
// not even the end command.
TEST_F(SendTest, RefusedBeginEndsTheSendAtOnce) {
    const struct {
        Rule rule;
        FAXRESULT expected;
    } cases[] = {
        {ReplyStatusRule(FAXCMD_SEND_BEGIN, 2), FAXRESULT_BUSY},
        {ReplyStatusRule(FAXCMD_SEND_BEGIN, 6), FAXRESULT_DISKFULL},
        {ReplyStatusRule(FAXCMD_SEND_BEGIN, 3), FAXRESULT_READ},
        {FailRule(FAXCMD_SEND_BEGIN, Stage::Write), FAXRESULT_WRITE},
        {FailRule(FAXCMD_SEND_BEGIN, Stage::Read), FAXRESULT_READ},
    };
    const std::string path = MakeFile(Pattern(5000));
    for (const auto& c : cases) {
        Reset();
        fw().script().Add(c.rule);
        EXPECT_EQ(DeviceSendFax(one_, 1, path.c_str()), c.expected);
        EXPECT_EQ(Writes(), std::vector<Bytes>{Header(FAXCMD_SEND_BEGIN, 5000, 0)});
        EXPECT_TRUE(LockIsFree());
    }
    EXPECT_EQ(MapFaxResult(cases[0].expected, FAXSTATUS_CMD_FAIL), FAXSTATUS_BUSY);
    EXPECT_TRUE(fw().state().Jobs().empty());  // no end command ever reached the device
}

// Once the job is begun, failures of the recipients and the data have no
// result of their own: the end command is sent and its answer decides.
TEST_F(SendTest, AfterBeginTheEndCommandDecides) {
    const Bytes file = Pattern(10000);
    const std::string path = MakeFile(file);
    const std::vector<Bytes> full = SendWrites(file, one_list_);

    std::vector<Bytes> recipients_failed = {full[0], full[1], Header(FAXCMD_SEND_END, 0, 0)};
    // The second block's header fails: the first block stands, the rest is
    // dropped, and the end-of-data header reports the failure.
    std::vector<Bytes> block_failed(full.begin(), full.begin() + 6);
    block_failed.push_back(Header(FAXCMD_DATA, 0, 0, {0x01, 0x00, 0x00, 0x00}));
    block_failed.push_back(Header(FAXCMD_SEND_END, 0, 0));

    const struct {
        const char* what;
        Rule rule;
        std::vector<Bytes> writes;
        std::size_t reads;
        std::optional<std::size_t> failed_write;
        FAXRESULT unscripted;  // the simulated device's own end reply refuses an incomplete job (status 3)
    } cases[] = {
        {"recipients header write fails", FailRule(FAXCMD_RECIPIENTS, Stage::Write), recipients_failed, 2, 1,
         FAXRESULT_READ},
        {"second block fails", FailRule(FAXCMD_DATA, Stage::Write, 1), block_failed, 3, 5, FAXRESULT_READ},
        {"reply to the data is busy", ReplyStatusRule(FAXCMD_DATA, 2), full, 3, {}, FAXRESULT_OK},
        {"reply to the data is full", ReplyStatusRule(FAXCMD_DATA, 6), full, 3, {}, FAXRESULT_OK},
    };
    for (const auto& c : cases) {
        for (bool end_accepts : {false, true}) {
            Reset();
            fw().script().Add(c.rule);
            if (end_accepts) fw().script().Add(ReplyStatusRule(FAXCMD_SEND_END, 0));
            EXPECT_EQ(DeviceSendFax(one_, 1, path.c_str()), end_accepts ? FAXRESULT_OK : c.unscripted)
                << c.what;
            EXPECT_EQ(Writes(), c.writes) << c.what;
            const auto writes = FaxRequests(sim::Kind::Write);
            for (std::size_t i = 0; i < writes.size(); ++i)
                EXPECT_EQ(writes[i].error != 0, c.failed_write == i) << c.what << " write " << i;
            EXPECT_EQ(FaxRequests(sim::Kind::Read).size(), c.reads) << c.what;
            EXPECT_TRUE(fw().state().Jobs().back().ended) << c.what;
        }
    }
    const sim::SentJob job = fw().state().Jobs()[2];  // the failed block, first round
    EXPECT_TRUE(job.failed_block);
    EXPECT_EQ(job.data, Bytes(file.begin(), file.begin() + 4096));
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
}

TEST_F(SendTest, EndReplyIsTheResult) {
    const struct {
        Rule rule;
        FAXRESULT expected;
    } cases[] = {
        {ReplyStatusRule(FAXCMD_SEND_END, 0), FAXRESULT_OK},
        {ReplyStatusRule(FAXCMD_SEND_END, 2), FAXRESULT_BUSY},
        {ReplyStatusRule(FAXCMD_SEND_END, 6), FAXRESULT_DISKFULL},
        {ReplyStatusRule(FAXCMD_SEND_END, 1), FAXRESULT_READ},
        {ReplyStatusRule(FAXCMD_SEND_END, 5), FAXRESULT_READ},
        {ReplyStatusRule(FAXCMD_SEND_END, 1, FAXCMD_PASSWORD_SET), FAXRESULT_FALSE},
        {FailRule(FAXCMD_SEND_END, Stage::Write), FAXRESULT_WRITE},
        {FailRule(FAXCMD_SEND_END, Stage::Read), FAXRESULT_READ},
    };
    const Bytes file = Pattern(300);
    const std::string path = MakeFile(file);
    for (const auto& c : cases) {
        Reset();
        fw().script().Add(c.rule);
        EXPECT_EQ(DeviceSendFax(one_, 1, path.c_str()), c.expected) << c.rule.value;
        EXPECT_EQ(Writes(), SendWrites(file, one_list_)) << c.rule.value;
        EXPECT_TRUE(LockIsFree());
    }
}

// Files on either side of the size from which the file's buffer is a mapping
// of its own go out whole, byte for byte, in the same blocks.
TEST_F(SendTest, FilesAboveAndBelowTheMappedSizeGoOutWhole) {
    fw().script().Add(ReplyStatusRule(FAXCMD_SEND_END, 0));
    constexpr std::uint32_t kFrom = plat::FileBuffer::kMappedFrom;
    for (std::uint32_t size : {kFrom - 1, kFrom, 3 * kFrom + 12345}) {
        fw().traffic().Clear();
        const Bytes file = Pattern(size);
        EXPECT_EQ(DeviceSendFax(one_, 1, MakeFile(file).c_str()), FAXRESULT_OK) << size;
        const sim::SentJob job = fw().state().Jobs().back();
        EXPECT_EQ(job.announced_size, size);
        EXPECT_TRUE(job.data == file) << size;  // not printed: megabytes
        EXPECT_EQ(job.blocks, (size + 4095) / 4096);
        EXPECT_FALSE(job.failed_block);
    }
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
}

// The file is taken whole before the first request: a file rewritten in place
// while its blocks are going out still arrives as it was when the send began.
// The device holds the first block's header for a while, and the file is
// rewritten meanwhile.
TEST_F(SendTest, FileChangedDuringTheSendArrivesAsItWas) {
    const std::uint32_t size = plat::FileBuffer::kMappedFrom + 5000;
    const Bytes before = Pattern(size);
    Bytes after(before);
    for (auto& b : after) b = static_cast<std::uint8_t>(~b);
    const std::string path = MakeFile(before);

    Rule hold;
    hold.command = FAXCMD_DATA;
    hold.occurrence = 0;
    hold.stage = Stage::Write;
    hold.index = 0;
    hold.fault = Fault::Delay;
    hold.value = 1000;
    hold.times = 1;
    fw().script().Add(hold);
    fw().script().Add(ReplyStatusRule(FAXCMD_SEND_END, 0));

    std::atomic<bool> done{false};
    FAXRESULT result = FAXRESULT_FILE;
    std::thread sender([&] {
        result = DeviceSendFax(one_, 1, path.c_str());
        done = true;
    });
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (fw().script().Pending() > 0 && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Same file, same size, every byte different; and then longer.
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pwrite(fd, after.data(), after.size(), 0), static_cast<ssize_t>(after.size()));
    EXPECT_EQ(pwrite(fd, after.data(), 4096, static_cast<off_t>(size)), 4096);
    close(fd);
    const bool changed_during_send = !done;
    sender.join();

    EXPECT_TRUE(changed_during_send) << "the send ended before the file was changed";
    EXPECT_EQ(result, FAXRESULT_OK);
    const sim::SentJob job = fw().state().Jobs().back();
    EXPECT_EQ(job.announced_size, size);
    EXPECT_TRUE(job.data == before) << "the job carries bytes of the changed file";
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
}

// BuildRecipientList alone: a null array carries nobody, and a count beyond
// the limit writes nothing.
TEST(RecipientList, NullArrayAndOverLimit) {
    std::uint8_t list[4 + 64 * 2];
    std::memset(list, 0xEE, sizeof(list));
    EXPECT_EQ(BuildRecipientList(nullptr, 2, list), 0u);
    for (std::uint8_t b : list) ASSERT_EQ(b, 0);

    std::memset(list, 0xEE, sizeof(list));
    const FAX_RECIPIENT r = Recipient("", "1");
    EXPECT_EQ(BuildRecipientList(&r, kMaxRecipients + 1, list), 0u);
    for (std::uint8_t b : list) ASSERT_EQ(b, 0xEE);
}

class ReadFileTest : public IsolatedTest {};

TEST_F(ReadFileTest, MapsEveryOutcome) {
    const Bytes content = Pattern(5000);
    const std::string path = WriteFile(dir_ + "/fax.tif", content);
    plat::FileBuffer data;
    ASSERT_EQ(ReadWholeFile(path.c_str(), data), FAXRESULT_OK);
    ASSERT_EQ(data.size(), 5000u);
    EXPECT_EQ(Bytes(data.data(), data.data() + data.size()), content);

    const std::string empty = WriteFile(dir_ + "/empty.tif", {});
    EXPECT_EQ(ReadWholeFile(empty.c_str(), data), FAXRESULT_OK);
    EXPECT_EQ(data.size(), 0u);

    const std::string huge = WriteHugeFile(dir_ + "/huge.tif");
    ASSERT_FALSE(huge.empty());

    const struct {
        std::string path;
        FAXRESULT expected;
    } failures[] = {
        {dir_ + "/missing.tif", FAXRESULT_READ},
        {dir_, FAXRESULT_READ},  // a directory is no file to send
        {huge, FAXRESULT_INVALIDARG},
    };
    for (const auto& f : failures) {
        ASSERT_EQ(ReadWholeFile(path.c_str(), data), FAXRESULT_OK);  // a failure empties what was held
        EXPECT_EQ(ReadWholeFile(f.path.c_str(), data), f.expected) << f.path;
        EXPECT_EQ(data.data(), nullptr) << f.path;
        EXPECT_EQ(data.size(), 0u) << f.path;
    }
    EXPECT_EQ(ReadWholeFile(nullptr, data), FAXRESULT_READ);
}

}  // namespace
