// The automation objects with no device attached (discovery finds none under
// Wine), and the frame every method shares.
#include <cstring>
#include <functional>
#include <string>

#include "null_status_cases.h"
#include "win_fixture.h"

namespace {

class ObjectsTest : public NoDeviceTest {
protected:
    void SetUp() override {
        NoDeviceTest::SetUp();
        ASSERT_EQ(Create(CLSID_USBFAX, IID_IUSBFAX, fax_), S_OK);
        ASSERT_EQ(Create(CLSID_IUSBEWS, IID_IIUSBEWS, ews_), S_OK);
    }
    void TearDown() override {
        fax_.reset();
        ews_.reset();
        NoDeviceTest::TearDown();
    }
    Ref<IUSBFAX> fax_;
    Ref<IIUSBEWS> ews_;
};

constexpr char kDiscoveryPrefix[] = "SetupDiEnumDeviceInterfaces failed: ";

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

TEST_F(ObjectsTest, NullStatusPointerIsEFailWhateverElseIsWrong) {
    IIUSBEWS* e = ews_.get();
    const std::function<HRESULT()> ews_calls[] = {
        [&] { return e->OpenEWS(nullptr); },
        [&] { return e->CloseEWS(nullptr); },
        [&] { return e->ReadEWS(nullptr, -1, nullptr, nullptr); },
        [&] { return e->WriteEWS(nullptr, 5, nullptr, nullptr); },
    };
    CapturedStdout out;
    for (const NullStatusCase& c : kNullStatusCases) EXPECT_EQ(c.call(fax_.get()), E_FAIL) << c.method;
    for (std::size_t i = 0; i < std::size(ews_calls); ++i) EXPECT_EQ(ews_calls[i](), E_FAIL) << "EWS call " << i;
    EXPECT_EQ(out.Text(), "") << "no device was looked for";
}

TEST_F(ObjectsTest, FaxMethodsReportNoDeviceAndDiscoveryTellsWhy) {
    DEFAULT_FAX_SETTINGS settings{};
    unsigned int is_set = 77, pass_fail = 77;
    char password[] = "1234";
    // A file that reads well, so that only the device is missing.
    TempDirectory temp;
    std::string tiff = temp.path() + "page.tif";
    HANDLE file = CreateFileA(tiff.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    DWORD wrote = 0;
    WriteFile(file, "II*", 4, &wrote, nullptr);
    CloseHandle(file);
    FAX_RECIPIENT recipient{};
    std::strcpy(recipient.PhoneNumber, "5551234");
    unsigned int count = 77;
    FAX_FILENAME names[2] = {};
    FAX_FILENAME name{};
    std::strcpy(name.faxPath, "fax0001.tif");
    char local[] = "C:\\fax.tif";
    FAX_LOG_ENTRY log{};
    TSL_ULONG value = 77;
    FAX_STATUS_ENUM event = e_FaxPrinted;

    IUSBFAX* f = fax_.get();
    struct Case {
        const char* method;
        std::function<HRESULT(FAXSTATUS*)> call;
        FAXSTATUS expected;
    };
    const Case cases[] = {
        {"SaveFaxSettings", [&](FAXSTATUS* s) { return f->SaveFaxSettings(&settings, s); }, FAXSTATUS_NO_DEVICE},
        {"ReadFaxSettings", [&](FAXSTATUS* s) { return f->ReadFaxSettings(&settings, s); }, FAXSTATUS_NO_DEVICE},
        {"CheckFaxPasswordSet", [&](FAXSTATUS* s) { return f->CheckFaxPasswordSet(&is_set, s); }, FAXSTATUS_NO_DEVICE},
        {"CheckFaxPassword", [&](FAXSTATUS* s) { return f->CheckFaxPassword(password, &pass_fail, s); },
         FAXSTATUS_NO_DEVICE},
        {"SendFax", [&](FAXSTATUS* s) { return f->SendFax(tiff.data(), 1, &recipient, s); }, FAXSTATUS_NO_DEVICE},
        {"WaitForReceivedFax", [&](FAXSTATUS* s) { return f->WaitForReceivedFax(&event, s); }, FAXSTATUS_NO_DEVICE},
        {"GetReceivedFaxCount", [&](FAXSTATUS* s) { return f->GetReceivedFaxCount(&count, s); },
         FAXSTATUS_NO_DEVICE},
        {"GetReceivedFaxList", [&](FAXSTATUS* s) { return f->GetReceivedFaxList(names, 2, s); },
         FAXSTATUS_NO_DEVICE},
        {"GetReceivedFax", [&](FAXSTATUS* s) { return f->GetReceivedFax(&name, local, s); }, FAXSTATUS_NO_DEVICE},
        {"GetFaxLogEntry", [&](FAXSTATUS* s) { return f->GetFaxLogEntry(&name, &log, s); }, FAXSTATUS_NO_DEVICE},
        {"RemoveReceivedFax", [&](FAXSTATUS* s) { return f->RemoveReceivedFax(&name, s); }, FAXSTATUS_NO_DEVICE},
        {"GetFaxReceiveSettings", [&](FAXSTATUS* s) { return f->GetFaxReceiveSettings(&value, s); },
         FAXSTATUS_NO_DEVICE},
        // The cancel opens the channel without the lock, and reports 5.
        {"CancelIO", [&](FAXSTATUS* s) { return f->CancelIO(s); }, FAXSTATUS_NULLPOINTER},
        {"OpenEWS", [&](FAXSTATUS* s) { return ews_->OpenEWS(s); }, FAXSTATUS_NO_DEVICE},
    };
    for (const Case& c : cases) {
        CapturedStdout out;
        FAXSTATUS status = FAXSTATUS_BUSY;
        EXPECT_EQ(c.call(&status), S_OK) << c.method;
        EXPECT_EQ(status, c.expected) << c.method;
        const std::string text = out.Text();
        EXPECT_EQ(Count(text, kDiscoveryPrefix), 1u) << c.method << " printed: " << text;
        EXPECT_EQ(text.rfind(kDiscoveryPrefix, 0), 0u) << c.method << " printed: " << text;
    }
    EXPECT_EQ(is_set, 0u) << "CheckFaxPasswordSet stores 0 when the device cannot be reached";
    EXPECT_EQ(pass_fail, 77u) << "CheckFaxPassword leaves its flag alone";
    EXPECT_EQ(event, e_FaxPrinted) << "no event without a wait";
}

TEST_F(ObjectsTest, ADevicePathTooLongIsNoDevice) {
    const std::string path = "\\\\.\\pipe\\" + std::string(260, 'x');
    SetEnv("TESSALINE_FAX_DEVICE", path.c_str());
    SetEnv("TESSALINE_EWS_DEVICE", path.c_str());
    CapturedStdout out;
    unsigned int count = 0;
    FAXSTATUS status = FAXSTATUS_OK;
    EXPECT_EQ(fax_->GetReceivedFaxCount(&count, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_NO_DEVICE);
    EXPECT_EQ(ews_->OpenEWS(&status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_NO_DEVICE);
    EXPECT_EQ(out.Text(), "");
    SetEnv("TESSALINE_FAX_DEVICE", nullptr);
    SetEnv("TESSALINE_EWS_DEVICE", nullptr);
}

TEST_F(ObjectsTest, AnUnwritableListEntryStopsBeforeTheDevice) {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const SIZE_T page = system.dwPageSize;
    auto* base = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 2 * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(base, nullptr);
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(base + page, page, PAGE_READONLY, &old));
    // Entry 0 ends where the read-only page begins; entry 1 lies in it.
    auto* entries = reinterpret_cast<FAX_FILENAME*>(base + page - sizeof(FAX_FILENAME));

    CapturedStdout out;
    FAXSTATUS status = FAXSTATUS_OK;
    EXPECT_EQ(fax_->GetReceivedFaxList(entries, 2, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_INVALIDARGE);
    EXPECT_EQ(fax_->GetReceivedFaxList(nullptr, 1, &status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_INVALIDARGE);
    // Had the device been asked, discovery would have said it is missing.
    EXPECT_EQ(out.Text(), "");
    VirtualFree(base, 0, MEM_RELEASE);
}

}  // namespace
