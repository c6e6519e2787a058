// Received faxes and the fax log: counting and listing names, downloads into
// local files, removal and the log entry, against the simulated device.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_buffer.h"
#include "protocol/access_cycle.h"
#include "protocol/fax_received.h"
#include "sim_fixture.h"

namespace {

using sim::Fault;
using sim::Rule;
using sim::Stage;

FAX_FILENAME Name(const std::string& text) {
    FAX_FILENAME f;
    std::memset(&f, 0, sizeof(f));
    std::memcpy(f.faxPath, text.data(), std::min<std::size_t>(text.size(), sizeof(f.faxPath) - 1));
    return f;
}

std::string FaxName(int i) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "fax%04d.tif", i);
    return buf;
}

sim::Bytes Pattern(std::size_t n, std::uint8_t seed) {
    sim::Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 31 + seed + i / 251);
    return b;
}

std::optional<sim::Bytes> FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return sim::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void PutFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Every name in a directory, hidden ones included, sorted.
std::vector<std::string> DirEntries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A request that carries a fax's name: the header and the name with its NUL.
sim::Bytes NameRequest(std::uint32_t command, const std::string& name) {
    FAX_PACKET_HEADER h;
    BuildFaxHeader(&h, command, 0, 0);
    SetHeaderDataLength(h, static_cast<std::uint32_t>(name.size() + 1));
    sim::Bytes out(sizeof(h) + name.size() + 1, 0);  // the NUL is the last byte
    std::memcpy(out.data(), &h, sizeof(h));
    std::memcpy(out.data() + sizeof(h), name.data(), name.size());
    return out;
}

class ReceivedTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        files_ = dir_ + "/files";
        ASSERT_EQ(mkdir(files_.c_str(), 0755), 0);
    }

public:
    // Public so that the setup steps of case tables can call them.
    using SimTest::fw;

    void ScriptReply(std::uint32_t command, Fault fault, std::uint32_t value, int block = 0) {
        Rule rule;
        rule.command = command;
        rule.fault = fault;
        rule.value = value;
        rule.block = block;
        fw().script().Add(rule);
    }

    // A new device in place of the running one: no faxes, no script, no
    // traffic.
    void FreshDevice() {
        device_.reset();
        device_ = std::make_unique<sim::SimDevice>(dir_);
        ASSERT_TRUE(device_->Start()) << device_->error();
    }

    void AddNames(int first, int count) {
        for (int i = first; i < first + count; ++i) fw().state().AddReceivedFax(FaxName(i), {1, 2, 3});
    }

    // The sizes of the host's reads on the fax channel, in order.
    std::vector<std::uint32_t> ReadSizes() const {
        std::vector<std::uint32_t> sizes;
        for (const auto& t : FaxRequests(sim::Kind::Read)) sizes.push_back(t.asked);
        return sizes;
    }

protected:
    std::string files_;
};

// ---------------------------------------------------------------------------
// Counting and listing

TEST_F(ReceivedTest, CountFollowsTheListRecords) {
    const struct {
        const char* what;
        std::function<void(ReceivedTest&)> setup;
        std::uint32_t expected;
    } cases[] = {
        {"empty list (DataLength 0)", [](ReceivedTest&) {}, 0},
        {"three names", [](ReceivedTest& t) { t.AddNames(1, 3); }, 3},
        {"45 names stop at 40", [](ReceivedTest& t) { t.AddNames(1, 45); }, 40},
        // The 41st record holds no NUL (its length wraps to 2 over "aa"), but
        // it lies past the 40th name and is never looked at.
        {"bytes after the 40th record are ignored",
         [](ReceivedTest& t) {
             t.AddNames(1, 40);
             t.fw().state().AddReceivedFax(std::string(65537, 'a'), {1, 2});
         },
         40},
        // A name of 65535 characters has length bytes 00 00: the list ends.
        {"a leading zero-length record ends the list",
         [](ReceivedTest& t) {
             t.fw().state().AddReceivedFax(std::string(65535, 'z'), {1, 2});
             t.AddNames(1, 2);
         },
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(FreshDevice());
        c.setup(*this);
        std::uint32_t count = 99;
        EXPECT_EQ(DeviceGetReceivedFaxCount(&count), FAXRESULT_OK);
        EXPECT_EQ(count, c.expected);
        EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
    }
    EXPECT_EQ(DeviceGetReceivedFaxCount(nullptr), FAXRESULT_NULLPOINTER);
}

TEST_F(ReceivedTest, ZeroLengthRecordEndsTheListAndTheRestIsIgnored) {
    fw().state().AddReceivedFax("abcdefghijk", {1});              // n = 12
    fw().state().AddReceivedFax("abcdefgh", {2});                 // n = 9
    fw().state().AddReceivedFax(std::string(65535, 'q'), {3});    // length bytes 00 00, then 65536 more bytes
    std::uint32_t count = 0;
    ASSERT_EQ(DeviceGetReceivedFaxCount(&count), FAXRESULT_OK);
    EXPECT_EQ(count, 2u);

    const auto reads = FaxRequests(sim::Kind::Read);
    ASSERT_EQ(reads.size(), 2u);
    const sim::Bytes& payload = reads[1].out;
    ASSERT_EQ(payload.size(), 14u + 11u + 2u + 65536u);
    EXPECT_EQ(payload[0], 0);
    EXPECT_EQ(payload[1], 12);
    EXPECT_EQ(payload[14], 0);
    EXPECT_EQ(payload[15], 9);
    EXPECT_EQ(payload[25], 0);
    EXPECT_EQ(payload[26], 0);

    FAX_FILENAME entries[4];
    std::memset(entries, 'X', sizeof(entries));
    ASSERT_EQ(DeviceGetReceivedFaxList(entries, 4), FAXRESULT_OK);
    EXPECT_STREQ(entries[0].faxPath, "abcdefghijk");
    EXPECT_STREQ(entries[1].faxPath, "abcdefgh");
    for (int e = 2; e < 4; ++e)
        for (char ch : entries[e].faxPath) ASSERT_EQ(ch, 'X');
}

TEST_F(ReceivedTest, ListFillsEntriesFromTheFirstUpToTheSmallestBound) {
    const struct {
        int names;
        std::uint32_t capacity;
        int filled;
    } cases[] = {{45, 50, 40}, {5, 3, 3}, {2, 5, 2}, {0, 4, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE("names=" + std::to_string(c.names) + " capacity=" + std::to_string(c.capacity));
        ASSERT_NO_FATAL_FAILURE(FreshDevice());
        AddNames(1, c.names);

        std::vector<FAX_FILENAME> entries(c.capacity);
        std::memset(entries.data(), 'X', entries.size() * sizeof(FAX_FILENAME));
        ASSERT_EQ(DeviceGetReceivedFaxList(entries.data(), c.capacity), FAXRESULT_OK);
        for (int i = 0; i < c.filled; ++i) EXPECT_STREQ(entries[i].faxPath, FaxName(i + 1).c_str());
        for (std::uint32_t i = c.filled; i < c.capacity; ++i)
            for (char ch : entries[i].faxPath) ASSERT_EQ(ch, 'X') << "entry " << i;
    }
}

TEST_F(ReceivedTest, LongNamesAreCutAndTheNextRecordFollowsItsLength) {
    const std::string seventy(70, 's');
    std::string long_name;
    for (int i = 0; i < 199; ++i) long_name += static_cast<char>('a' + i % 26);  // record length 00 C8
    fw().state().AddReceivedFax(seventy, {1});
    fw().state().AddReceivedFax(long_name, {2});
    fw().state().AddReceivedFax("after.tif", {3});

    FAX_FILENAME entries[3];
    std::memset(entries, 'X', sizeof(entries));
    ASSERT_EQ(DeviceGetReceivedFaxList(entries, 3), FAXRESULT_OK);
    EXPECT_EQ(std::string(entries[0].faxPath), seventy.substr(0, 63));
    EXPECT_EQ(std::string(entries[1].faxPath), long_name.substr(0, 63));
    EXPECT_STREQ(entries[2].faxPath, "after.tif");

    const sim::Bytes payload = FaxRequests(sim::Kind::Read).at(1).out;
    ASSERT_GT(payload.size(), 275u);
    EXPECT_EQ(payload[73], 0x00);
    EXPECT_EQ(payload[74], 0xC8);
    EXPECT_EQ(payload[275], 0x00);  // 202 bytes after the 00 C8 record's start
    EXPECT_EQ(payload[276], 10);
}

TEST_F(ReceivedTest, ListArgumentsAreCheckedBeforeTheDevice) {
    FAX_FILENAME entries[2];
    std::memset(entries, 'X', sizeof(entries));
    EXPECT_EQ(DeviceGetReceivedFaxList(nullptr, 2), FAXRESULT_NULLPOINTER);
    EXPECT_EQ(DeviceGetReceivedFaxList(entries, 0), FAXRESULT_INVALIDARG);
    EXPECT_EQ(DeviceGetReceivedFaxList(entries, 0x80000000u), FAXRESULT_INVALIDARG);
    EXPECT_EQ(DeviceGetReceivedFaxList(entries, 0xFFFFFFFFu), FAXRESULT_INVALIDARG);
    EXPECT_EQ(fw().traffic().FaxConnectionsOpened(), 0u);
    for (const auto& e : entries)
        for (char ch : e.faxPath) ASSERT_EQ(ch, 'X');
}

// Lists that break the record format, and replies that fail: the count stays
// 0 and the caller's array is not touched.
TEST_F(ReceivedTest, BrokenOrFailedListLeavesCountAndArrayAlone) {
    const struct {
        const char* what;
        std::function<void(ReceivedTest&)> setup;
        FAXRESULT expected;
    } cases[] = {
        {"record runs past the payload",
         [](ReceivedTest& t) {
             t.AddNames(1, 1);  // a 14-byte record
             t.ScriptReply(FAXCMD_LIST_RECEIVED, Fault::ReplyDataLength, 8);
         },
         FAXRESULT_BADREPLY},
        {"second record runs past the payload",
         [](ReceivedTest& t) {
             t.AddNames(1, 2);
             t.ScriptReply(FAXCMD_LIST_RECEIVED, Fault::ReplyDataLength, 20);
         },
         FAXRESULT_BADREPLY},
        {"a lone length byte",
         [](ReceivedTest& t) {
             t.AddNames(1, 1);
             t.ScriptReply(FAXCMD_LIST_RECEIVED, Fault::ReplyDataLength, 1);
         },
         FAXRESULT_BADREPLY},
        {"record length EE EE over 3 bytes",
         [](ReceivedTest& t) { t.ScriptReply(FAXCMD_LIST_RECEIVED, Fault::ReplyExtraData, 3); }, FAXRESULT_BADREPLY},
        // The length wraps to 2: the record holds "aa" and no NUL, and a
        // zero-length record follows, so the list is otherwise well formed.
        {"name without a NUL in its record",
         [](ReceivedTest& t) {
             std::string name = "aa" + std::string(2, '\0');
             name.resize(65537, 'b');
             t.fw().state().AddReceivedFax(name, {1});
         },
         FAXRESULT_BADREPLY},
        {"busy", [](ReceivedTest& t) { t.ScriptReply(FAXCMD_LIST_RECEIVED, Fault::ReplyStatus, 2); },
         FAXRESULT_BUSY},
        {"storage full", [](ReceivedTest& t) { t.ScriptReply(FAXCMD_LIST_RECEIVED, Fault::ReplyStatus, 6); },
         FAXRESULT_DISKFULL},
        {"payload read comes short",
         [](ReceivedTest& t) {
             t.AddNames(1, 3);
             Rule rule;
             rule.command = FAXCMD_LIST_RECEIVED;
             rule.stage = Stage::Read;
             rule.index = 1;
             rule.fault = Fault::ShortTransfer;
             rule.value = 5;
             t.fw().script().Add(rule);
         },
         FAXRESULT_READ},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(FreshDevice());
        c.setup(*this);

        std::uint32_t count = 77;
        EXPECT_EQ(DeviceGetReceivedFaxCount(&count), c.expected);
        EXPECT_EQ(count, 0u);

        FAX_FILENAME entries[4];
        std::memset(entries, 'X', sizeof(entries));
        EXPECT_EQ(DeviceGetReceivedFaxList(entries, 4), c.expected);
        for (const auto& e : entries)
            for (char ch : e.faxPath) ASSERT_EQ(ch, 'X');

        ReceivedFaxNames names;
        EXPECT_EQ(FetchReceivedFaxNames(names), c.expected);
        EXPECT_EQ(names.payload, nullptr);
        EXPECT_EQ(names.count, 0u);
    }
}

// ---------------------------------------------------------------------------
// Downloads

TEST_F(ReceivedTest, DownloadIsStoredWholeWhateverTheBlocks) {
    const struct {
        std::uint32_t block_size;
        std::uint32_t total;
        std::vector<std::uint32_t> reads;  // reply header, then each block header and its data, then closing header
    } cases[] = {
        {4096, 2 * 4096 + 1000, {32, 32, 4096, 32, 4096, 32, 1000, 32}},
        {3000, 6000, {32, 32, 3000, 32, 3000, 32}},
        {4096, 2, {32, 32, 2, 32}},
    };
    const std::string path = files_ + "/received.tif";
    // An existing, longer file is replaced whole, not overwritten from the start.
    PutFile(path, std::string(20000, 'o'));
    for (const auto& c : cases) {
        SCOPED_TRACE("total=" + std::to_string(c.total));
        fw().traffic().Clear();
        fw().state().SetBlockSize(c.block_size);
        const sim::Bytes image = Pattern(c.total, static_cast<std::uint8_t>(c.total));
        const std::string name = "in" + std::to_string(c.total) + ".tif";
        fw().state().AddReceivedFax(name, image);

        const FAX_FILENAME fax = Name(name);
        ASSERT_EQ(DeviceGetReceivedFax(&fax, path.c_str()), FAXRESULT_OK);
        EXPECT_EQ(FileBytes(path), image);
        EXPECT_EQ(ReadSizes(), c.reads);
        EXPECT_EQ(FaxBytesWritten(), NameRequest(FAXCMD_GET_RECEIVED, name));
    }
    EXPECT_EQ(DirEntries(files_), std::vector<std::string>{"received.tif"});
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
}

// Faxes on either side of the size from which the download's buffer is a
// mapping of its own arrive whole, byte for byte.
TEST_F(ReceivedTest, FaxesAboveAndBelowTheMappedSizeArriveWhole) {
    constexpr std::uint32_t kFrom = plat::FileBuffer::kMappedFrom;
    const std::string path = files_ + "/received.tif";
    for (std::uint32_t size : {kFrom - 1, kFrom, 3 * kFrom + 12345}) {
        SCOPED_TRACE("size=" + std::to_string(size));
        const sim::Bytes image = Pattern(size, static_cast<std::uint8_t>(size));
        const std::string name = "in" + std::to_string(size) + ".tif";
        fw().state().AddReceivedFax(name, image);
        const FAX_FILENAME fax = Name(name);
        ASSERT_EQ(DeviceGetReceivedFax(&fax, path.c_str()), FAXRESULT_OK);
        const std::optional<sim::Bytes> got = FileBytes(path);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(got->size(), size);
        EXPECT_TRUE(*got == image);  // not printed: megabytes
    }
    EXPECT_EQ(DirEntries(files_), std::vector<std::string>{"received.tif"});
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
}

// A download that fails leaves an existing local file as it was and creates
// no new one.
TEST_F(ReceivedTest, FailedDownloadTouchesNoLocalFile) {
    const struct {
        const char* what;
        Stage stage;
        int index;  // Read stage: the exchange's read that fails
        Fault fault;
        std::uint32_t value;
        int block;
        FAXRESULT expected;
    } cases[] = {
        {"busy block mid-download", Stage::Reply, 0, Fault::BlockStatus, 2, 1, FAXRESULT_BUSY},
        {"storage-full block", Stage::Reply, 0, Fault::BlockStatus, 6, 0, FAXRESULT_DISKFULL},
        {"unlisted block status", Stage::Reply, 0, Fault::BlockStatus, 3, 2, FAXRESULT_READ},
        {"data block of DataLength 0", Stage::Reply, 0, Fault::BlockZeroLength, 0, 1, FAXRESULT_READ},
        {"block longer than what is due", Stage::Reply, 0, Fault::BlockOversize, 10, 2, FAXRESULT_BADREPLY},
        {"closing header carries 3 bytes", Stage::Reply, 0, Fault::ClosingDataLength, 3, 0, FAXRESULT_BADREPLY},
        {"closing status busy", Stage::Reply, 0, Fault::ClosingStatus, 2, 0, FAXRESULT_BUSY},
        {"closing status unlisted", Stage::Reply, 0, Fault::ClosingStatus, 5, 0, FAXRESULT_READ},
        {"reply busy", Stage::Reply, 0, Fault::ReplyStatus, 2, 0, FAXRESULT_BUSY},
        {"block data read fails", Stage::Read, 4, Fault::FailTransfer, 0, 0, FAXRESULT_READ},
        {"block data read comes short", Stage::Read, 2, Fault::ShortTransfer, 100, 0, FAXRESULT_READ},
        {"closing header read fails", Stage::Read, 7, Fault::DropConnection, 0, 0, FAXRESULT_READ},
    };
    fw().state().AddReceivedFax("fax.tif", Pattern(2 * 4096 + 1000, 7));
    const std::string kept = files_ + "/kept.tif";
    const std::string fresh = files_ + "/fresh.tif";
    PutFile(kept, "the previous fax");
    const FAX_FILENAME fax = Name("fax.tif");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fw().script().Clear();
        Rule rule;
        rule.command = FAXCMD_GET_RECEIVED;
        rule.stage = c.stage;
        rule.index = c.index;
        rule.fault = c.fault;
        rule.value = c.value;
        rule.block = c.block;
        fw().script().Add(rule);

        EXPECT_EQ(DeviceGetReceivedFax(&fax, kept.c_str()), c.expected);
        EXPECT_EQ(DeviceGetReceivedFax(&fax, fresh.c_str()), c.expected);
        const sim::Bytes previous = {'t', 'h', 'e', ' ', 'p', 'r', 'e', 'v', 'i', 'o', 'u', 's', ' ', 'f', 'a', 'x'};
        EXPECT_EQ(FileBytes(kept), previous);
        EXPECT_EQ(DirEntries(files_), std::vector<std::string>{"kept.tif"});
    }
    fw().script().Clear();
    const FAX_FILENAME missing = Name("missing.tif");
    EXPECT_EQ(DeviceGetReceivedFax(&missing, fresh.c_str()), FAXRESULT_READ);  // the device refuses an unknown name
    EXPECT_EQ(DirEntries(files_), std::vector<std::string>{"kept.tif"});
}

TEST_F(ReceivedTest, OversizedBlockStopsBeforeItsData) {
    fw().state().AddReceivedFax("fax.tif", Pattern(2 * 4096 + 1000, 9));
    ScriptReply(FAXCMD_GET_RECEIVED, Fault::BlockOversize, 5000, 1);
    const FAX_FILENAME fax = Name("fax.tif");
    EXPECT_EQ(DeviceGetReceivedFax(&fax, (files_ + "/x.tif").c_str()), FAXRESULT_BADREPLY);
    EXPECT_EQ(ReadSizes(), (std::vector<std::uint32_t>{32, 32, 4096, 32}));
}

TEST_F(ReceivedTest, AnnouncedSizeBelowTwoWritesNoFile) {
    const struct {
        const char* what;
        sim::Bytes image;
        std::optional<std::uint32_t> announced;  // scripted DataLength of the reply
        std::vector<std::uint32_t> reads;
    } cases[] = {
        {"S of 0: nothing more is read", {}, {}, {32}},
        {"S of 1: the byte arrives, no file", {0x42}, {}, {32, 32, 1, 32}},
        {"S with the top bit set is not a size", {1, 2, 3}, 0x80000000u, {32}},
    };
    const std::string path = files_ + "/small.tif";
    const FAX_FILENAME fax = Name("small.tif");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(FreshDevice());
        fw().state().AddReceivedFax("small.tif", c.image);
        if (c.announced) ScriptReply(FAXCMD_GET_RECEIVED, Fault::ReplyDataLength, *c.announced);
        EXPECT_EQ(DeviceGetReceivedFax(&fax, path.c_str()), FAXRESULT_INVALIDARG);
        EXPECT_EQ(ReadSizes(), c.reads);
        EXPECT_TRUE(DirEntries(files_).empty());
    }
}

// The fax arrived whole but cannot be stored: FAXRESULT_FILE, and no
// temporary file is left beside the target. These failures hold for root too.
TEST_F(ReceivedTest, FailedStoreGivesFileAndLeavesNothingBehind) {
    fw().state().AddReceivedFax("fax.tif", Pattern(5000, 3));
    PutFile(files_ + "/plain", "not a directory");
    ASSERT_EQ(mkdir((files_ + "/adir").c_str(), 0755), 0);
    const std::string targets[] = {
        files_ + "/no-such-dir/fax.tif",  // the directory does not exist
        files_ + "/plain/fax.tif",        // a file stands where the directory should be
        files_ + "/adir",                 // the target is a directory: the final rename fails
        "",
    };
    const FAX_FILENAME fax = Name("fax.tif");
    for (const auto& target : targets) {
        SCOPED_TRACE(target);
        EXPECT_EQ(DeviceGetReceivedFax(&fax, target.c_str()), FAXRESULT_FILE);
        EXPECT_EQ(DirEntries(files_), (std::vector<std::string>{"adir", "plain"}));
        EXPECT_TRUE(DirEntries(files_ + "/adir").empty());
    }
}

// What stands at the path decides how a download is stored: a regular file
// (or one reached through symbolic links) is replaced where it lies and the
// links stay links; a FIFO or a device is written as it is, never replaced
// by a file.
TEST_F(ReceivedTest, DownloadRespectsWhatStandsAtThePath) {
    const sim::Bytes image = Pattern(3000, 9);
    fw().state().AddReceivedFax("fax.tif", image);
    const FAX_FILENAME fax = Name("fax.tif");
    const std::string other = dir_ + "/elsewhere";
    ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
    auto is_link = [](const std::string& p) {
        struct stat st {};
        return lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    };

    // A relative link to a file in this directory, and a chain of two links
    // to a file in another directory, whose mode the new file keeps.
    PutFile(files_ + "/old.tif", "old");
    ASSERT_EQ(symlink("old.tif", (files_ + "/link.tif").c_str()), 0);
    PutFile(other + "/far.tif", "far");
    ASSERT_EQ(chmod((other + "/far.tif").c_str(), 0640), 0);
    ASSERT_EQ(symlink((other + "/far.tif").c_str(), (other + "/hop").c_str()), 0);
    ASSERT_EQ(symlink("../elsewhere/hop", (files_ + "/chain.tif").c_str()), 0);
    // A dangling link: the file it names is created.
    ASSERT_EQ(symlink("made.tif", (files_ + "/dangling.tif").c_str()), 0);
    for (const char* link : {"link.tif", "chain.tif", "dangling.tif"}) {
        SCOPED_TRACE(link);
        const std::string path = files_ + "/" + link;
        ASSERT_EQ(DeviceGetReceivedFax(&fax, path.c_str()), FAXRESULT_OK);
        EXPECT_TRUE(is_link(path));
        EXPECT_EQ(FileBytes(path), image);
    }
    EXPECT_EQ(FileBytes(files_ + "/old.tif"), image);
    EXPECT_EQ(FileBytes(files_ + "/made.tif"), image);
    struct stat st {};
    ASSERT_EQ(stat((other + "/far.tif").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(DirEntries(files_),
              (std::vector<std::string>{"chain.tif", "dangling.tif", "link.tif", "made.tif", "old.tif"}));
    EXPECT_EQ(DirEntries(other), (std::vector<std::string>{"far.tif", "hop"}));

    // A FIFO, and a link to it: the reader at the other end gets the fax.
    const std::string fifo = files_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink("fifo", (files_ + "/to-fifo").c_str()), 0);
    for (const std::string& path : {fifo, files_ + "/to-fifo"}) {
        SCOPED_TRACE(path);
        std::optional<sim::Bytes> read;
        std::thread reader([&] { read = FileBytes(fifo); });
        EXPECT_EQ(DeviceGetReceivedFax(&fax, path.c_str()), FAXRESULT_OK);
        reader.join();
        EXPECT_EQ(read, image);
        ASSERT_EQ(stat(fifo.c_str(), &st), 0);
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
    }

    // A descriptor's entry, as /dev/stdout leads to one: its link names a
    // pipe that no path reaches, and the pipe gets the fax.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    {
        std::optional<sim::Bytes> read;
        std::thread reader([&] { read = FileBytes("/proc/self/fd/" + std::to_string(ends[0])); });
        const std::string entry = "/proc/self/fd/" + std::to_string(ends[1]);
        EXPECT_EQ(DeviceGetReceivedFax(&fax, entry.c_str()), FAXRESULT_OK);
        close(ends[1]);
        reader.join();
        close(ends[0]);
        EXPECT_EQ(read, image);
    }

    // A character device made here: the null device, as root can make it.
    const std::string null_device = files_ + "/null";
    if (mknod(null_device.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        EXPECT_EQ(DeviceGetReceivedFax(&fax, null_device.c_str()), FAXRESULT_OK);
        ASSERT_EQ(lstat(null_device.c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
    } else {
        std::printf("character device case not run: mknod needs root\n");
    }
    // No temporary file is left anywhere.
    std::vector<std::string> expected = {"chain.tif", "dangling.tif", "fifo",   "link.tif",
                                         "made.tif",  "null",         "old.tif", "to-fifo"};
    if (access(null_device.c_str(), F_OK) != 0) expected.erase(expected.begin() + 5);
    EXPECT_EQ(DirEntries(files_), expected);
}

TEST_F(ReceivedTest, WriteWholeFileRefusesBeforeCreatingAnything) {
    const std::uint8_t bytes[4] = {1, 2, 3, 4};
    const std::string path = files_ + "/direct.tif";
    const struct {
        const char* path;
        const std::uint8_t* buffer;
        std::uint32_t size;
        FAXRESULT expected;
    } cases[] = {
        {nullptr, bytes, 4, FAXRESULT_NULLPOINTER},   {path.c_str(), nullptr, 4, FAXRESULT_NULLPOINTER},
        {path.c_str(), bytes, 0, FAXRESULT_INVALIDARG}, {path.c_str(), bytes, 1, FAXRESULT_INVALIDARG},
        {path.c_str(), bytes, 0x80000000u, FAXRESULT_INVALIDARG},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WriteWholeFile(c.path, c.buffer, c.size), c.expected) << c.size;
        EXPECT_TRUE(DirEntries(files_).empty());
    }
    EXPECT_EQ(WriteWholeFile(path.c_str(), bytes, 2), FAXRESULT_OK);
    EXPECT_EQ(FileBytes(path), (sim::Bytes{1, 2}));
}

TEST_F(ReceivedTest, ReceiveFaxDataChecksItsArguments) {
    std::uint8_t buffer[4];
    AccessCycle cycle;
    ASSERT_EQ(cycle.Open(), FAXRESULT_OK);
    EXPECT_EQ(ReceiveFaxData(cycle.device(), nullptr, 4), FAXRESULT_NULLPOINTER);
    EXPECT_EQ(ReceiveFaxData(cycle.device(), buffer, 0), FAXRESULT_INVALIDARG);
    EXPECT_EQ(ReceiveFaxData(cycle.device(), buffer, 0xFFFFFFFFu), FAXRESULT_INVALIDARG);
    EXPECT_TRUE(FaxRequests(sim::Kind::Read).empty());
}

// ---------------------------------------------------------------------------
// Removal and names

TEST_F(ReceivedTest, RemovalSendsTheNameWithItsNul) {
    const std::string names[] = {"fax0001.tif", std::string(63, 'm')};  // DataLength 12 and 64
    for (const auto& name : names) fw().state().AddReceivedFax(name, {1});
    fw().state().AddReceivedFax("stays.tif", {2});
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        fw().traffic().Clear();
        const FAX_FILENAME fax = Name(name);
        EXPECT_EQ(DeviceRemoveReceivedFax(&fax), FAXRESULT_OK);
        EXPECT_EQ(FaxBytesWritten(), NameRequest(FAXCMD_REMOVE_RECEIVED, name));
    }
    const auto left = fw().state().ReceivedFaxes();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].name, "stays.tif");

    const FAX_FILENAME gone = Name("fax0001.tif");
    EXPECT_EQ(DeviceRemoveReceivedFax(&gone), FAXRESULT_READ);  // no longer on the device
    ScriptReply(FAXCMD_REMOVE_RECEIVED, Fault::ReplyStatus, 2);
    const FAX_FILENAME stays = Name("stays.tif");
    EXPECT_EQ(DeviceRemoveReceivedFax(&stays), FAXRESULT_BUSY);
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
}

// A faxPath with no NUL in its 64 bytes, and missing pointers, are refused
// before the device is opened.
TEST_F(ReceivedTest, NamesAndPointersAreCheckedBeforeTheDevice) {
    FAX_FILENAME unterminated;
    std::memset(unterminated.faxPath, 'a', sizeof(unterminated.faxPath));
    FAX_LOG_ENTRY entry;
    std::memset(&entry, 0x5A, sizeof(entry));
    const std::string path = files_ + "/f.tif";
    const FAX_FILENAME fax = Name("fax.tif");

    EXPECT_EQ(DeviceGetReceivedFax(&unterminated, path.c_str()), FAXRESULT_INVALIDARG);
    EXPECT_EQ(DeviceRemoveReceivedFax(&unterminated), FAXRESULT_INVALIDARG);
    EXPECT_EQ(DeviceGetFaxLogEntry(&unterminated, &entry), FAXRESULT_INVALIDARG);
    EXPECT_EQ(DeviceGetReceivedFax(nullptr, path.c_str()), FAXRESULT_NULLPOINTER);
    EXPECT_EQ(DeviceGetReceivedFax(&fax, nullptr), FAXRESULT_NULLPOINTER);
    EXPECT_EQ(DeviceRemoveReceivedFax(nullptr), FAXRESULT_NULLPOINTER);
    EXPECT_EQ(DeviceGetFaxLogEntry(nullptr, &entry), FAXRESULT_NULLPOINTER);
    EXPECT_EQ(DeviceGetFaxLogEntry(&fax, nullptr), FAXRESULT_NULLPOINTER);

    EXPECT_EQ(fw().traffic().FaxConnectionsOpened(), 0u);
    EXPECT_TRUE(fw().traffic().Transfers().empty());
    for (std::size_t i = 0; i < sizeof(entry); ++i) ASSERT_EQ(reinterpret_cast<std::uint8_t*>(&entry)[i], 0x5A);
    EXPECT_TRUE(DirEntries(files_).empty());
}

// ---------------------------------------------------------------------------
// The fax log

class LogEntryTest : public ReceivedTest {
protected:
    void SetUp() override {
        ReceivedTest::SetUp();
        sim::ReceivedFax fax;
        fax.name = "logged.tif";
        fax.data = {1, 2, 3};
        for (int i = 0; i < 80; ++i) fax.log[i] = static_cast<std::uint8_t>(0x80 + i);
        const std::uint8_t words[12] = {0x00, 0x00, 0x00, 0x3c, 0x01, 0x02, 0x03, 0x04, 0x0A, 0x0B, 0x0C, 0x0D};
        std::memcpy(fax.log + 8, words, sizeof(words));
        std::memcpy(device_log_, fax.log, 80);
        fw().state().AddReceivedFax(fax);
    }

    // The caller's record before the call: a non-palindromic pattern, so a
    // word that is byte-swapped though not delivered shows.
    static FAX_LOG_ENTRY Before() {
        FAX_LOG_ENTRY e;
        auto* p = reinterpret_cast<std::uint8_t*>(&e);
        for (int i = 0; i < 80; ++i) p[i] = static_cast<std::uint8_t>(0x10 + i);
        return e;
    }

    std::uint8_t device_log_[80];
};

TEST_F(LogEntryTest, EntryArrivesByteForByteWithItsWordsInHostOrder) {
    FAX_LOG_ENTRY entry = Before();
    const FAX_FILENAME fax = Name("logged.tif");
    ASSERT_EQ(DeviceGetFaxLogEntry(&fax, &entry), FAXRESULT_OK);
    EXPECT_EQ(entry.Duration, 60u);
    EXPECT_EQ(entry.FAXSTATUS, 0x01020304u);
    EXPECT_EQ(entry.FaxType, 0x0A0B0C0Du);
    const auto* got = reinterpret_cast<const std::uint8_t*>(&entry);
    EXPECT_EQ(0, std::memcmp(got, device_log_, 8));             // time and fill byte
    EXPECT_EQ(0, std::memcmp(got + 20, device_log_ + 20, 60));  // pages to the last fill byte
    EXPECT_EQ(FaxBytesWritten(), NameRequest(FAXCMD_GET_LOG_ENTRY, "logged.tif"));
    EXPECT_EQ(ReadSizes(), (std::vector<std::uint32_t>{32, 80}));
}

TEST_F(LogEntryTest, OnlyWhatTheReplyDeliversIsCopiedAndConverted) {
    const struct {
        Fault fault;
        std::uint32_t value;
        std::uint32_t delivered;
        bool duration, status, type;  // which words are converted
    } cases[] = {
        {Fault::ReplyExtraData, 40, 80, true, true, true},  // DataLength 120: 40 bytes stay unread
        {Fault::ReplyDataLength, 0, 0, false, false, false},
        {Fault::ReplyDataLength, 10, 10, false, false, false},
        {Fault::ReplyDataLength, 12, 12, true, false, false},
        {Fault::ReplyDataLength, 19, 19, true, true, false},
        {Fault::ReplyDataLength, 20, 20, true, true, true},
    };
    const FAX_FILENAME fax = Name("logged.tif");
    for (const auto& c : cases) {
        SCOPED_TRACE("delivered=" + std::to_string(c.delivered));
        fw().script().Clear();
        fw().traffic().Clear();
        ScriptReply(FAXCMD_GET_LOG_ENTRY, c.fault, c.value);

        FAX_LOG_ENTRY entry = Before();
        ASSERT_EQ(DeviceGetFaxLogEntry(&fax, &entry), FAXRESULT_OK);

        FAX_LOG_ENTRY expected = Before();
        std::memcpy(&expected, device_log_, c.delivered);
        if (c.duration) expected.Duration = 60;
        if (c.status) expected.FAXSTATUS = 0x01020304;
        if (c.type) expected.FaxType = 0x0A0B0C0D;
        EXPECT_EQ(0, std::memcmp(&entry, &expected, sizeof(entry)));

        std::vector<std::uint32_t> reads = {32};
        if (c.delivered > 0) reads.push_back(c.delivered);
        EXPECT_EQ(ReadSizes(), reads);
    }
}

TEST_F(LogEntryTest, FailuresAreReported) {
    const FAX_FILENAME fax = Name("logged.tif");
    FAX_LOG_ENTRY entry = Before();

    Rule rule;
    rule.command = FAXCMD_GET_LOG_ENTRY;
    rule.stage = Stage::Read;
    rule.index = 1;
    rule.fault = Fault::ShortTransfer;
    rule.value = 30;
    fw().script().Add(rule);
    EXPECT_EQ(DeviceGetFaxLogEntry(&fax, &entry), FAXRESULT_READ);

    fw().script().Clear();
    ScriptReply(FAXCMD_GET_LOG_ENTRY, Fault::ReplyStatus, 2);
    EXPECT_EQ(DeviceGetFaxLogEntry(&fax, &entry), FAXRESULT_BUSY);

    fw().script().Clear();
    const FAX_FILENAME unknown = Name("unknown.tif");
    entry = Before();
    EXPECT_EQ(DeviceGetFaxLogEntry(&unknown, &entry), FAXRESULT_READ);
    const FAX_LOG_ENTRY before = Before();
    EXPECT_EQ(0, std::memcmp(&entry, &before, sizeof(entry)));
}

// ---------------------------------------------------------------------------
// No device

class ReceivedWithoutDeviceTest : public IsolatedTest {};

TEST_F(ReceivedWithoutDeviceTest, EveryOperationReportsNoDeviceAndTouchesNothing) {
    std::uint32_t count = 12;
    EXPECT_EQ(DeviceGetReceivedFaxCount(&count), FAXRESULT_NO_DEVICE);
    EXPECT_EQ(count, 0u);

    FAX_FILENAME entries[3];
    std::memset(entries, 'X', sizeof(entries));
    EXPECT_EQ(DeviceGetReceivedFaxList(entries, 3), FAXRESULT_NO_DEVICE);
    for (const auto& e : entries)
        for (char ch : e.faxPath) ASSERT_EQ(ch, 'X');

    const FAX_FILENAME fax = Name("fax.tif");
    const std::string path = dir_ + "/out.tif";
    EXPECT_EQ(DeviceGetReceivedFax(&fax, path.c_str()), FAXRESULT_NO_DEVICE);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(DeviceRemoveReceivedFax(&fax), FAXRESULT_NO_DEVICE);
    FAX_LOG_ENTRY entry;
    std::memset(&entry, 0x5A, sizeof(entry));
    EXPECT_EQ(DeviceGetFaxLogEntry(&fax, &entry), FAXRESULT_NO_DEVICE);
    for (std::size_t i = 0; i < sizeof(entry); ++i) ASSERT_EQ(reinterpret_cast<std::uint8_t*>(&entry)[i], 0x5A);
}

}  // namespace
