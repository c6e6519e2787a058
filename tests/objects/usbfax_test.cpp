// The fax automation object as a host uses it: the frame every method shares,
// each method's own checks, and the methods end to end against the simulated
// device.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "tools/com_ref.h"
#include "null_status_cases.h"
#include "sim_fixture.h"

namespace {

class UsbFaxTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_EQ(CreateObject(CLSID_USBFAX, IID_IUSBFAX, fax_), S_OK);
    }
    void TearDown() override {
        fax_.reset();
        SimTest::TearDown();
    }
    // Nothing reached the device: no connection was made at all.
    void ExpectDeviceUntouched() {
        EXPECT_EQ(fw().traffic().FaxConnectionsOpened(), 0u);
        EXPECT_TRUE(fw().traffic().Transfers().empty());
    }
    static FAX_FILENAME Name(const char* text) {
        FAX_FILENAME n{};
        std::strncpy(n.faxPath, text, sizeof(n.faxPath) - 1);
        return n;
    }

    Ref<IUSBFAX> fax_;
};

TEST_F(UsbFaxTest, NullStatusPointerIsEFailAndNothingElse) {
    IUSBFAX* f = fax_.get();
    for (const NullStatusCase& c : kNullStatusCases) EXPECT_EQ(c.call(f), E_FAIL) << c.method;

    // With valid arguments too, nothing is written and the device is not asked.
    DEFAULT_FAX_SETTINGS settings;
    std::memset(&settings, 0x5A, sizeof(settings));
    unsigned int flag = 77, count = 77;
    TSL_ULONG value = 77;
    EXPECT_EQ(f->ReadFaxSettings(&settings, nullptr), E_FAIL);
    EXPECT_EQ(f->CheckFaxPasswordSet(&flag, nullptr), E_FAIL);
    EXPECT_EQ(f->GetReceivedFaxCount(&count, nullptr), E_FAIL);
    EXPECT_EQ(f->GetFaxReceiveSettings(&value, nullptr), E_FAIL);
    EXPECT_EQ(settings.RingPattern, static_cast<FAX_RING_PATTERN>(0x5A5A5A5A));
    EXPECT_EQ(flag + count + value, 3u * 77u);
    ExpectDeviceUntouched();
}

TEST_F(UsbFaxTest, NullArgumentsAreStatusFiveWithoutTheDevice) {
    IUSBFAX* f = fax_.get();
    FAX_FILENAME name = Name("fax0001.tif");
    FAX_LOG_ENTRY log{};
    unsigned int flag = 0;
    char password[] = "1234";
    char path[] = "/tmp/x";
    const std::function<HRESULT(FAXSTATUS*)> calls[] = {
        [&](FAXSTATUS* s) { return f->SaveFaxSettings(nullptr, s); },
        [&](FAXSTATUS* s) { return f->ReadFaxSettings(nullptr, s); },
        [&](FAXSTATUS* s) { return f->CheckFaxPasswordSet(nullptr, s); },
        [&](FAXSTATUS* s) { return f->CheckFaxPassword(nullptr, &flag, s); },
        [&](FAXSTATUS* s) { return f->CheckFaxPassword(password, nullptr, s); },
        [&](FAXSTATUS* s) { return f->SendFax(nullptr, 1, nullptr, s); },
        [&](FAXSTATUS* s) { return f->WaitForReceivedFax(nullptr, s); },
        [&](FAXSTATUS* s) { return f->GetReceivedFaxCount(nullptr, s); },
        [&](FAXSTATUS* s) { return f->GetReceivedFax(nullptr, path, s); },
        [&](FAXSTATUS* s) { return f->GetReceivedFax(&name, nullptr, s); },
        [&](FAXSTATUS* s) { return f->GetFaxLogEntry(nullptr, &log, s); },
        [&](FAXSTATUS* s) { return f->GetFaxLogEntry(&name, nullptr, s); },
        [&](FAXSTATUS* s) { return f->RemoveReceivedFax(nullptr, s); },
        [&](FAXSTATUS* s) { return f->GetFaxReceiveSettings(nullptr, s); },
    };
    for (std::size_t i = 0; i < std::size(calls); ++i) {
        FAXSTATUS status = FAXSTATUS_OK;
        EXPECT_EQ(calls[i](&status), S_OK) << "case " << i;
        EXPECT_EQ(status, FAXSTATUS_NULLPOINTER) << "case " << i;
    }
    ExpectDeviceUntouched();
}

TEST_F(UsbFaxTest, QueryInterfaceGivesOnePointerForItsThreeInterfaces) {
    void* unknown = nullptr;
    void* dispatch = nullptr;
    void* self = nullptr;
    ASSERT_EQ(fax_->QueryInterface(IID_IUnknown, &unknown), S_OK);
    ASSERT_EQ(fax_->QueryInterface(IID_IDispatch, &dispatch), S_OK);
    ASSERT_EQ(fax_->QueryInterface(IID_IUSBFAX, &self), S_OK);
    EXPECT_EQ(unknown, fax_.get());
    EXPECT_EQ(dispatch, fax_.get());
    EXPECT_EQ(self, fax_.get());
    EXPECT_EQ(fax_->Release(), 3u);  // three references added, one by the creator
    EXPECT_EQ(fax_->Release(), 2u);
    EXPECT_EQ(fax_->Release(), 1u);

    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(fax_->QueryInterface(IID_IIUSBEWS, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(fax_->QueryInterface(IID_IClassFactory, &other), E_NOINTERFACE);
    EXPECT_EQ(fax_->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    UINT count = 0;
    EXPECT_EQ(fax_->GetTypeInfoCount(&count), E_NOTIMPL);  // no type library on this platform
}

// Builds a path of exactly `length` characters to a real file.
std::string PathOfLength(const std::string& base, std::size_t length) {
    std::string path = base;
    while (path.size() + 1 + 100 < length) {
        path.append(1, '/').append(99, 'd');
        mkdir(path.c_str(), 0755);
    }
    const std::size_t rest = length - path.size() - 1;
    path.append(1, '/').append(rest, 'f');
    std::ofstream(path) << "II*\0 a small fax image";
    return path;
}

TEST_F(UsbFaxTest, SendFaxNameLimitAndArgumentsJudgedByTheOperation) {
    FAX_RECIPIENT to{};
    std::strcpy(to.PhoneNumber, "5550100");
    FAXSTATUS status = FAXSTATUS_CMD_FAIL;

    std::string longest = PathOfLength(dir_, 260);
    ASSERT_EQ(longest.size(), 260u);
    EXPECT_EQ(fax_->SendFax(longest.data(), 1, &to, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_OK);
    EXPECT_EQ(fw().state().Jobs().size(), 1u);

    fw().traffic().Clear();
    std::string too_long = longest + "x";
    EXPECT_EQ(fax_->SendFax(too_long.data(), 1, &to, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_INVALIDARGE);
    EXPECT_EQ(fax_->SendFax(longest.data(), 0, &to, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_CMD_FAIL);
    EXPECT_EQ(fax_->SendFax(longest.data(), 1, nullptr, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_NULLPOINTER);
    EXPECT_TRUE(fw().traffic().Transfers().empty());
}

TEST_F(UsbFaxTest, ReceivedFaxListProbesTheCallersEntriesFirst) {
    FAX_FILENAME entries[2] = {};
    FAXSTATUS status = FAXSTATUS_OK;
    EXPECT_EQ(fax_->GetReceivedFaxList(entries, 0, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_CMD_FAIL);
    EXPECT_EQ(fax_->GetReceivedFaxList(nullptr, 0, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_NULLPOINTER);

    testing::internal::CaptureStderr();
    EXPECT_EQ(fax_->GetReceivedFaxList(nullptr, 1, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_INVALIDARGE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "GetReceivedFaxList: Fail, Insufficient Memory allocation, Index: 0\n");
    ExpectDeviceUntouched();
}

TEST_F(UsbFaxTest, PasswordAnswersAndAnUnreachableDevice) {
    fw().state().SetPassword("2468");
    char wrong[] = "1357", right[] = "2468";
    unsigned int passed = 77, is_set = 77;
    FAXSTATUS status = FAXSTATUS_CMD_FAIL;
    EXPECT_EQ(fax_->CheckFaxPassword(wrong, &passed, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_OK);
    EXPECT_EQ(passed, 0u);
    EXPECT_EQ(fax_->CheckFaxPassword(right, &passed, &status), S_OK);
    EXPECT_EQ(passed, 1u);
    EXPECT_EQ(fax_->CheckFaxPasswordSet(&is_set, &status), S_OK);
    EXPECT_EQ(is_set, 1u);

    device_->Stop();
    testing::internal::CaptureStdout();
    passed = 77;
    is_set = 77;
    EXPECT_EQ(fax_->CheckFaxPassword(right, &passed, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_NO_DEVICE);
    EXPECT_EQ(passed, 77u);  // left alone
    EXPECT_EQ(fax_->CheckFaxPasswordSet(&is_set, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_NO_DEVICE);
    EXPECT_EQ(is_set, 0u);
    testing::internal::GetCapturedStdout();
}

TEST_F(UsbFaxTest, EveryOperationEndToEnd) {
    FAXSTATUS status = FAXSTATUS_CMD_FAIL;
    DEFAULT_FAX_SETTINGS settings{};
    ASSERT_EQ(fax_->ReadFaxSettings(&settings, &status), S_OK);
    ASSERT_EQ(status, FAXSTATUS_OK);
    std::strcpy(settings.FaxName, "Front desk");
    settings.RingPattern = e_FaxRingTriple;
    ASSERT_EQ(fax_->SaveFaxSettings(&settings, &status), S_OK);
    ASSERT_EQ(status, FAXSTATUS_OK);
    DEFAULT_FAX_SETTINGS again{};
    fax_->ReadFaxSettings(&again, &status);
    EXPECT_STREQ(again.FaxName, "Front desk");
    EXPECT_EQ(again.RingPattern, e_FaxRingTriple);

    fw().state().SetReceiveSettings(5);
    TSL_ULONG value = 0;
    fax_->GetFaxReceiveSettings(&value, &status);
    EXPECT_EQ(status, FAXSTATUS_OK);
    EXPECT_EQ(value, 5u);

    fw().state().AddReceivedFax("fax0001.tif", sim::Bytes(9000, 0x42));
    fw().state().AddReceivedFax("fax0002.tif", sim::Bytes(10, 0x43));
    unsigned int count = 0;
    fax_->GetReceivedFaxCount(&count, &status);
    EXPECT_EQ(count, 2u);
    FAX_FILENAME names[3];
    std::memset(names, 0x7F, sizeof(names));
    fax_->GetReceivedFaxList(names, 3, &status);
    EXPECT_EQ(status, FAXSTATUS_OK);
    EXPECT_STREQ(names[0].faxPath, "fax0001.tif");
    EXPECT_STREQ(names[1].faxPath, "fax0002.tif");
    EXPECT_EQ(names[2].faxPath[0], 0x7F);  // not filled

    std::string local = dir_ + "/fetched.tif";
    fax_->GetReceivedFax(&names[0], local.data(), &status);
    EXPECT_EQ(status, FAXSTATUS_OK);
    std::ifstream in(local, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, std::string(9000, 0x42));

    FAX_LOG_ENTRY log{};
    fax_->GetFaxLogEntry(&names[0], &log, &status);
    EXPECT_EQ(status, FAXSTATUS_OK);
    EXPECT_EQ(std::string(log.FileName), "fax0001.tif");

    fax_->RemoveReceivedFax(&names[0], &status);
    EXPECT_EQ(status, FAXSTATUS_OK);
    fax_->GetReceivedFaxCount(&count, &status);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
}

TEST_F(UsbFaxTest, AWaitIsReleasedByCancelFromAnotherObject) {
    FAX_STATUS_ENUM event = static_cast<FAX_STATUS_ENUM>(99);
    FAXSTATUS wait_status = FAXSTATUS_OK;
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        Ref<IUSBFAX> own;
        if (CreateObject(CLSID_USBFAX, IID_IUSBFAX, own) == S_OK) own->WaitForReceivedFax(&event, &wait_status);
        done = true;
    });
    // A cancel fails only what is already pending, so repeat it until the
    // wait has been released.
    for (int i = 0; i < 500 && !done; ++i) {
        FAXSTATUS cancel_status = FAXSTATUS_CMD_FAIL;
        ASSERT_EQ(fax_->CancelIO(&cancel_status), S_OK);
        EXPECT_EQ(cancel_status, FAXSTATUS_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    waiter.join();
    EXPECT_EQ(wait_status, FAXSTATUS_CMD_FAIL);
    EXPECT_EQ(event, static_cast<FAX_STATUS_ENUM>(99));
}

}  // namespace
