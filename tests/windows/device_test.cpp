// Tessaline.dll against the simulated device behind each front, named pipes
// reached through explicit device paths and its driver found by discovery:
// every fax operation and the pass-through object move the right bytes, and
// the access lock works across processes.
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/byte_order.h"
#include "platform/named_mutex.h"
#include "transport/fax_device.h"
#include "win_fixture.h"

namespace {

using sim::Bytes;

Bytes Pattern(std::size_t size, unsigned seed) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>((i * 131 + seed) >> 3);
    return b;
}

void WriteFileBytes(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

FAX_FILENAME Name(const char* text) {
    FAX_FILENAME n{};
    std::strncpy(n.faxPath, text, sizeof(n.faxPath) - 1);
    return n;
}

class FaxTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        ASSERT_EQ(Create(CLSID_USBFAX, IID_IUSBFAX, fax_), S_OK);
    }
    void TearDown() override {
        fax_.reset();
        DeviceTest::TearDown();
    }
    Ref<IUSBFAX> fax_;
    TempDirectory temp_;
};
INSTANTIATE_TEST_SUITE_P(Fronts, FaxTest, ::testing::Values(Front::Pipe, Front::Driver), FrontName);

TEST_P(FaxTest, SettingsAreReadAndSavedWordForWord) {
    DEFAULT_FAX_SETTINGS s{};
    FAXSTATUS status = FAXSTATUS_BUSY;
    ASSERT_EQ(fax_->ReadFaxSettings(&s, &status), S_OK);
    ASSERT_EQ(status, FAXSTATUS_OK);
    EXPECT_STREQ(s.FaxName, "Tessaline Simulated Fax");
    EXPECT_STREQ(s.FaxNumber, "5550100");
    EXPECT_STREQ(s.Prefix, "9");
    EXPECT_EQ(s.AutoAnswer, e_Auto);
    EXPECT_STREQ(s.DeviceDateTime, "2026-01-01 00:00:00");

    std::strcpy(s.FaxName, "Front Office");
    s.RingPattern = static_cast<FAX_RING_PATTERN>(9);  // never range-checked
    s.AutoAnswer = static_cast<FAX_ANSWER_MODE>(-1);
    s.bPrintConfigReport = 0x01020304;
    ASSERT_EQ(fax_->SaveFaxSettings(&s, &status), S_OK);
    ASSERT_EQ(status, FAXSTATUS_OK);

    std::uint8_t wire[308];
    fw().state().GetSettingsWire(wire);
    EXPECT_STREQ(reinterpret_cast<const char*>(wire + offsetof(DEFAULT_FAX_SETTINGS, FaxName)), "Front Office");
    EXPECT_EQ(wire::LoadBE32(wire + offsetof(DEFAULT_FAX_SETTINGS, RingPattern)), 9u);
    EXPECT_EQ(wire::LoadBE32(wire + offsetof(DEFAULT_FAX_SETTINGS, AutoAnswer)), 0xFFFFFFFFu);
    EXPECT_EQ(wire::LoadBE32(wire + offsetof(DEFAULT_FAX_SETTINGS, bPrintConfigReport)), 0x01020304u);
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
}

TEST_P(FaxTest, PasswordQueries) {
    unsigned int is_set = 77, passed = 77;
    FAXSTATUS status = FAXSTATUS_BUSY;
    char right[] = "2468", wrong[] = "1357";

    ASSERT_EQ(fax_->CheckFaxPasswordSet(&is_set, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_OK);
    EXPECT_EQ(is_set, 0u);

    fw().state().SetPassword("2468");
    ASSERT_EQ(fax_->CheckFaxPasswordSet(&is_set, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_OK);
    EXPECT_EQ(is_set, 1u);
    ASSERT_EQ(fax_->CheckFaxPassword(right, &passed, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_OK);
    EXPECT_EQ(passed, 1u);
    ASSERT_EQ(fax_->CheckFaxPassword(wrong, &passed, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_OK);
    EXPECT_EQ(passed, 0u);
}

TEST_P(FaxTest, SendFaxUploadsTheWholeFileToEveryRecipient) {
    const Bytes image = Pattern(3 * 4096 + 123, 7);
    const std::string path = temp_.path() + "page.tif";
    WriteFileBytes(path, image);
    FAX_RECIPIENT to[2] = {};
    std::strcpy(to[0].Prefix, "9");
    std::strcpy(to[0].PhoneNumber, "5551234");
    std::strcpy(to[1].PhoneNumber, "5559876");

    FAXSTATUS status = FAXSTATUS_BUSY;
    ASSERT_EQ(fax_->SendFax(const_cast<char*>(path.c_str()), 2, to, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_OK);
    const auto jobs = fw().state().Jobs();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].data, image);
    EXPECT_EQ(jobs[0].blocks, 4u);
    ASSERT_EQ(jobs[0].recipients.size(), 2u);
    EXPECT_EQ(jobs[0].recipients[0].prefix, "9");
    EXPECT_EQ(jobs[0].recipients[0].number, "5551234");
    EXPECT_EQ(jobs[0].recipients[1].number, "5559876");
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
}

TEST_P(FaxTest, TheFileToSendMustBeReadableWhole) {
    const std::string missing = temp_.path() + "missing.tif";
    const std::string empty = temp_.path() + "empty.tif";
    WriteFileBytes(empty, {});
    const std::string held = temp_.path() + "held.tif";
    WriteFileBytes(held, Pattern(100, 1));
    HANDLE holder = CreateFileA(held.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    // 4 GiB, without the disk space: the size alone is refused.
    const std::string huge = temp_.path() + "huge.tif";
    HANDLE h = CreateFileA(huge.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size;
    size.QuadPart = 0x100000000LL;
    ASSERT_TRUE(SetFilePointerEx(h, size, nullptr, FILE_BEGIN) && SetEndOfFile(h));
    CloseHandle(h);

    struct Case {
        const std::string& path;
        FAXSTATUS expected;
    };
    const Case cases[] = {
        {missing, FAXSTATUS_READ},
        {held, FAXSTATUS_READ},  // another program has it open
        {empty, FAXSTATUS_CMD_FAIL},
        {huge, FAXSTATUS_CMD_FAIL},
    };
    FAX_RECIPIENT to{};
    std::strcpy(to.PhoneNumber, "5551234");
    for (const Case& c : cases) {
        FAXSTATUS status = FAXSTATUS_OK;
        ASSERT_EQ(fax_->SendFax(const_cast<char*>(c.path.c_str()), 1, &to, &status), S_OK);
        EXPECT_EQ(status, c.expected) << c.path;
    }
    CloseHandle(holder);
    EXPECT_TRUE(fw().state().Jobs().empty());
    EXPECT_EQ(fw().traffic().FaxConnectionsOpened(), 0u) << "the device is not touched";
}

TEST_P(FaxTest, ReceivedFaxesAreCountedListedFetchedLoggedAndRemoved) {
    // Larger than the pipe's buffer, in blocks of the device's choosing.
    const Bytes first = Pattern(200000, 3), second = Pattern(5000, 9);
    fw().state().SetBlockSize(3000);
    fw().state().AddReceivedFax("fax0001.tif", first);
    fw().state().AddReceivedFax("fax0002.tif", second);

    FAXSTATUS status = FAXSTATUS_BUSY;
    unsigned int count = 0;
    ASSERT_EQ(fax_->GetReceivedFaxCount(&count, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_OK);
    EXPECT_EQ(count, 2u);

    FAX_FILENAME list[3] = {};
    ASSERT_EQ(fax_->GetReceivedFaxList(list, 3, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_OK);
    EXPECT_STREQ(list[0].faxPath, "fax0001.tif");
    EXPECT_STREQ(list[1].faxPath, "fax0002.tif");

    const std::string local = temp_.path() + "received.tif";
    WriteFileBytes(local, Pattern(10, 0));  // replaced
    ASSERT_EQ(fax_->GetReceivedFax(&list[0], const_cast<char*>(local.c_str()), &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_OK);
    EXPECT_EQ(ReadFileBytes(local), first);

    FAX_LOG_ENTRY log{};
    ASSERT_EQ(fax_->GetFaxLogEntry(&list[1], &log, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_OK);
    EXPECT_EQ(log.SendTime.hour, 12);
    EXPECT_EQ(log.SendTime.year, 26);
    EXPECT_EQ(log.Duration, 42u);
    EXPECT_EQ(log.FaxType, 1u);
    EXPECT_EQ(log.Pages, 1u);
    EXPECT_STREQ(log.CIS, "+1 555 0100");
    EXPECT_STREQ(log.FileName, "fax0002.tif");

    ASSERT_EQ(fax_->RemoveReceivedFax(&list[1], &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_OK);
    const auto left = fw().state().ReceivedFaxes();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].name, "fax0001.tif");
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
}

TEST_P(FaxTest, ADownloadThatCannotBeStoredLeavesTheTargetAlone) {
    fw().state().AddReceivedFax("fax0001.tif", Pattern(9000, 5));
    FAX_FILENAME name = Name("fax0001.tif");
    const std::string folder = temp_.path() + "folder";
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    const std::string nowhere = temp_.path() + "missing\\fax.tif";

    for (const std::string& target : {folder, nowhere}) {
        FAXSTATUS status = FAXSTATUS_OK;
        ASSERT_EQ(fax_->GetReceivedFax(&name, const_cast<char*>(target.c_str()), &status), S_OK);
        EXPECT_EQ(status, FAXSTATUS_CMD_FAIL) << target;
    }
    EXPECT_EQ(GetFileAttributesA(folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY, DWORD{FILE_ATTRIBUTE_DIRECTORY});
    // Nothing but the folder is left behind.
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((temp_.path() + "*").c_str(), &found);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<std::string> names;
    do {
        if (std::strcmp(found.cFileName, ".") && std::strcmp(found.cFileName, "..")) names.push_back(found.cFileName);
    } while (FindNextFileA(h, &found));
    FindClose(h);
    EXPECT_EQ(names, std::vector<std::string>{"folder"});
}

TEST_P(FaxTest, ReceiveSettingsComeFromTheDevice) {
    fw().state().SetReceiveSettings(0x12345678);
    TSL_ULONG value = 0;
    FAXSTATUS status = FAXSTATUS_BUSY;
    ASSERT_EQ(fax_->GetFaxReceiveSettings(&value, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_OK);
    EXPECT_EQ(value, 0x12345678u);
}

class FaxOverPipeOnlyTest : public FaxTest {};
INSTANTIATE_TEST_SUITE_P(Fronts, FaxOverPipeOnlyTest, ::testing::Values(Front::Pipe), FrontName);

TEST_P(FaxOverPipeOnlyTest, DeviceControlRequestsFailOnAPipe) {
    // A pipe takes no device-control request: the wait and the cancel both
    // reach the channel and report the failed request.
    FAX_STATUS_ENUM event = e_FaxPrinted;
    FAXSTATUS status = FAXSTATUS_OK;
    ASSERT_EQ(fax_->WaitForReceivedFax(&event, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_CMD_FAIL);
    EXPECT_EQ(event, e_FaxPrinted);
    status = FAXSTATUS_OK;
    ASSERT_EQ(fax_->CancelIO(&status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_CMD_FAIL);
    EXPECT_TRUE(Eventually([&] { return fw().traffic().FaxConnectionsOpened() == 2; })) << "each opened the channel";
}

TEST_P(FaxTest, ALockHeldElsewhereForMoreThanFiveSecondsIsNoDevice) {
    ChildProcess holder;
    ASSERT_TRUE(holder.Start(HelperCommand("lock_holder.exe", "hold 15000")));
    ASSERT_EQ(holder.ReadLine(), "locked");

    DEFAULT_FAX_SETTINGS s{};
    FAXSTATUS status = FAXSTATUS_OK;
    ASSERT_EQ(fax_->ReadFaxSettings(&s, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_NO_DEVICE);
    EXPECT_EQ(fw().traffic().FaxConnectionsOpened(), 0u);
    // The cancel takes no lock: it reaches the channel meanwhile (where a
    // pipe fails it).
    ASSERT_EQ(fax_->CancelIO(&status), S_OK);
    EXPECT_EQ(status, through_driver() ? FAXSTATUS_OK : FAXSTATUS_CMD_FAIL);

    holder.Kill();
    ASSERT_EQ(fax_->ReadFaxSettings(&s, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_OK) << "the lock of a killed holder is free again";
}

TEST_P(FaxTest, AnAbandonedLockFailsOneOperationOnly) {
    // Some process must keep the mutex open while its owner ends, or it is
    // simply gone: this one does.
    const plat::MutexHandle mutex = plat::OpenNamedMutex(kAccessLockName);
    ASSERT_TRUE(mutex.is_open());
    ChildProcess holder;
    ASSERT_TRUE(holder.Start(HelperCommand("lock_holder.exe", "abandon")));
    ASSERT_EQ(holder.ReadLine(), "locked");
    holder.Wait();

    unsigned int count = 0;
    FAXSTATUS status = FAXSTATUS_OK;
    ASSERT_EQ(fax_->GetReceivedFaxCount(&count, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_NO_DEVICE);
    ASSERT_EQ(fax_->GetReceivedFaxCount(&count, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_OK);
}

class EwsTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        ASSERT_EQ(Create(CLSID_IUSBEWS, IID_IIUSBEWS, ews_), S_OK);
    }
    void TearDown() override {
        ews_.reset();
        DeviceTest::TearDown();
    }
    std::vector<std::uint32_t> EwsWriteSizes() {
        std::vector<std::uint32_t> sizes;
        for (const sim::Transfer& t : fw().traffic().Transfers()) {
            if (t.channel == sim::Channel::Ews && t.kind == sim::Kind::Write)
                sizes.push_back(static_cast<std::uint32_t>(t.in.size()));
        }
        return sizes;
    }
    Ref<IIUSBEWS> ews_;
};
INSTANTIATE_TEST_SUITE_P(Fronts, EwsTest, ::testing::Values(Front::Pipe, Front::Driver), FrontName);

TEST_P(EwsTest, CarriesTheDevicesOwnProtocolBothWays) {
    FAXSTATUS status = FAXSTATUS_BUSY;
    ASSERT_EQ(ews_->OpenEWS(&status), S_OK);
    ASSERT_EQ(status, FAXSTATUS_OK);

    std::string request = "GET /status.json HTTP/1.1\r\nHost: device\r\n\r\n";
    int written = 0;
    ASSERT_EQ(ews_->WriteEWS(reinterpret_cast<unsigned char*>(request.data()), static_cast<int>(request.size()),
                             &written, &status),
              S_OK);
    EXPECT_EQ(status, FAXSTATUS_OK);
    EXPECT_EQ(written, static_cast<int>(request.size()));

    // The head a byte at a time, then the body in one read of its length.
    std::string head;
    while (head.size() < 4096 && head.find("\r\n\r\n") == std::string::npos) {
        unsigned char c = 0;
        int got = 0;
        ASSERT_EQ(ews_->ReadEWS(&c, 1, &got, &status), S_OK);
        ASSERT_EQ(status, FAXSTATUS_OK);
        ASSERT_EQ(got, 1);
        head += static_cast<char>(c);
    }
    EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
    const std::size_t at = head.find("Content-Length: ");
    ASSERT_NE(at, std::string::npos);
    std::string body(std::stoul(head.substr(at + 16)), '\0');
    int got = 0;
    ASSERT_EQ(ews_->ReadEWS(reinterpret_cast<unsigned char*>(body.data()), static_cast<int>(body.size()), &got,
                            &status),
              S_OK);
    EXPECT_EQ(status, FAXSTATUS_OK);
    EXPECT_NE(body.find("\"fax_number\":\"5550100\""), std::string::npos) << body;

    ASSERT_EQ(ews_->CloseEWS(&status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_OK);
    unsigned char c = 0;
    ASSERT_EQ(ews_->ReadEWS(&c, 1, &got, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_NO_DEVICE);
}

TEST_P(EwsTest, ALargeWriteGoesInRequestsOfAtMost4096Bytes) {
    FAXSTATUS status = FAXSTATUS_BUSY;
    ASSERT_EQ(ews_->OpenEWS(&status), S_OK);
    std::vector<unsigned char> data(2 * 4096 + 100, 'x');
    int written = 0;
    ASSERT_EQ(ews_->WriteEWS(data.data(), static_cast<int>(data.size()), &written, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_OK);
    // Each write of the host is one message on the pipe, one request of
    // the driver.
    const std::vector<std::uint32_t> expected = {4096, 4096, 100};
    EXPECT_TRUE(Eventually([&] { return EwsWriteSizes() == expected; }))
        << ::testing::PrintToString(EwsWriteSizes());
}

TEST_P(EwsTest, TwoObjectsOpenTheChannelAtOnce) {
    Ref<IIUSBEWS> other;
    ASSERT_EQ(Create(CLSID_IUSBEWS, IID_IIUSBEWS, other), S_OK);
    FAXSTATUS a = FAXSTATUS_BUSY, b = FAXSTATUS_BUSY;
    ASSERT_EQ(ews_->OpenEWS(&a), S_OK);
    ASSERT_EQ(other->OpenEWS(&b), S_OK);
    EXPECT_EQ(a, FAXSTATUS_OK);
    EXPECT_EQ(b, FAXSTATUS_OK);
}

}  // namespace
