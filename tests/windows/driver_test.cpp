// Tessaline.dll on the road it takes on Windows: the simulated device's
// driver found by discovery, requests the driver leaves pending and
// completes later, the received-fax wait completed by a fax from another
// process, CancelIO from another thread or process, and the device going
// away under a caller.
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "base/control_codes.h"
#include "platform/device_channel.h"
#include "stress_common.h"
#include "platform/named_mutex.h"
#include "protocol/fax_packet.h"
#include "transport/fax_device.h"
#include "win_fixture.h"

namespace {

using namespace std::chrono_literals;

constexpr DWORD kIoctlCancelIo = IOCTL_CANCEL_IO;

class DriverTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        ASSERT_EQ(Create(CLSID_USBFAX, IID_IUSBFAX, fax_), S_OK);
    }
    void TearDown() override {
        fax_.reset();
        DeviceTest::TearDown();
    }

    // A wait on a thread of its own; `event` receives the event when it ends.
    std::future<FAXSTATUS> StartWait(FAX_STATUS_ENUM& event) {
        return std::async(std::launch::async, [this, &event] {
            FAXSTATUS status = FAXSTATUS_BUSY;
            return fax_->WaitForReceivedFax(&event, &status) == S_OK ? status : FAXSTATUS_BUSY;
        });
    }

    // A settings read on a thread of its own.
    std::future<FAXSTATUS> StartSettingsRead() {
        return std::async(std::launch::async, [this] {
            DEFAULT_FAX_SETTINGS s{};
            FAXSTATUS status = FAXSTATUS_BUSY;
            return fax_->ReadFaxSettings(&s, &status) == S_OK ? status : FAXSTATUS_BUSY;
        });
    }

    // Scripts the reply of the next settings read to stall until a cancel.
    void StallSettingsRead() {
        sim::Rule stall;
        stall.command = FAXCMD_READ_SETTINGS;
        stall.stage = sim::Stage::Read;
        stall.index = 0;
        stall.fault = sim::Fault::Stall;
        stall.times = 1;
        fw().script().Add(stall);
    }

    Ref<IUSBFAX> fax_;
};
INSTANTIATE_TEST_SUITE_P(Fronts, DriverTest, ::testing::Values(Front::Driver), FrontName);

// Still running after half a second: the request is pending in the driver.
bool StillPending(std::future<FAXSTATUS>& f) { return f.wait_for(500ms) == std::future_status::timeout; }
// Ended within a bound that no pending request would meet.
bool Ends(std::future<FAXSTATUS>& f) { return f.wait_for(20s) == std::future_status::ready; }

std::string ChildLine(const char* program, const char* arguments) {
    ChildProcess child;
    if (!child.Start(HelperCommand(program, arguments))) return "cannot start " + std::string(program);
    return child.ReadLine();
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

TEST_P(DriverTest, AWaitEndsWithTheEventOfAFaxSentFromAnotherProcess) {
    fw().state().SetLoopback(true);
    TempDirectory temp;
    const std::string page = temp.path() + "page.tif";
    std::ofstream(page, std::ios::binary) << std::string(5000, 'p');

    FAX_STATUS_ENUM event = e_FaxPrinted;
    auto wait = StartWait(event);
    ASSERT_TRUE(StillPending(wait));
    // The device's own number: the fax comes back to it and raises the event.
    EXPECT_EQ(ChildLine("op_helper.exe", ("send 5550100 \"" + page + "\"").c_str()), "0");
    ASSERT_TRUE(Ends(wait));
    EXPECT_EQ(wait.get(), FAXSTATUS_OK);
    EXPECT_EQ(event, e_ReceivedFaxAvailable);
    ASSERT_EQ(fw().state().ReceivedFaxes().size(), 1u);
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
}

TEST_P(DriverTest, CancelIOFromAnotherThreadOrProcessReleasesAWaitAndAStalledTransfer) {
    struct Case {
        const char* what;
        bool wait;          // else a settings read whose reply stalls
        bool from_process;  // else from another thread of this one
    };
    const Case cases[] = {
        {"wait, cancelled by a thread", true, false},
        {"wait, cancelled by a process", true, true},
        {"stalled read, cancelled by a thread", false, false},
        {"stalled read, cancelled by a process", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FAX_STATUS_ENUM event = e_FaxPrinted;
        if (!c.wait) StallSettingsRead();
        auto pending = c.wait ? StartWait(event) : StartSettingsRead();
        ASSERT_TRUE(StillPending(pending));
        if (c.from_process) {
            EXPECT_EQ(ChildLine("op_helper.exe", "cancel"), "0");
        } else {
            FAXSTATUS status = FAXSTATUS_BUSY;
            ASSERT_EQ(fax_->CancelIO(&status), S_OK);
            EXPECT_EQ(status, FAXSTATUS_OK);
        }
        ASSERT_TRUE(Ends(pending));
        // A failed wait is status 2 and leaves the event alone; a failed
        // read of the reply is no OK either.
        const FAXSTATUS status = pending.get();
        if (c.wait) {
            EXPECT_EQ(status, FAXSTATUS_CMD_FAIL);
            EXPECT_EQ(event, e_FaxPrinted);
        } else {
            EXPECT_NE(status, FAXSTATUS_OK);
            EXPECT_NE(status, FAXSTATUS_NO_DEVICE);
        }
        // The lock is free and the device in step: the next operation works.
        unsigned int count = 9;
        FAXSTATUS after = FAXSTATUS_BUSY;
        ASSERT_EQ(fax_->GetReceivedFaxCount(&count, &after), S_OK);
        EXPECT_EQ(after, FAXSTATUS_OK);
        EXPECT_EQ(count, 0u);
    }
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
}

// The channel contract below the library: the driver completes a handle's
// own requests on CancelIo, and a cancel request from another handle
// completes the requests pending on every other handle of the fax channel.
TEST_P(DriverTest, PendingRequestsEndByTheirHandlesCancelOrByTheCancelRequest) {
    char path[plat::kDevicePathCapacity];
    ASSERT_TRUE(plat::GetDeviceInterfacePath(GUID_DEVINTERFACE_FAX_CHANNEL, path, sizeof(path)));
    HANDLE a = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    HANDLE b = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);

    // A read with nothing to read stays pending in the driver.
    std::uint8_t in_a[16], in_b[16];
    OVERLAPPED ov_a{}, ov_b{};
    ov_a.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ov_b.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_FALSE(ReadFile(a, in_a, sizeof(in_a), nullptr, &ov_a));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_FALSE(ReadFile(b, in_b, sizeof(in_b), nullptr, &ov_b));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(ov_a.hEvent, 300), static_cast<DWORD>(WAIT_TIMEOUT));

    DWORD moved = 77;
    ASSERT_TRUE(CancelIo(a));
    EXPECT_FALSE(GetOverlappedResult(a, &ov_a, &moved, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(WaitForSingleObject(ov_b.hEvent, 300), static_cast<DWORD>(WAIT_TIMEOUT)) << "b's read is b's";

    // The cancel request, on a, ends b's read.
    const std::uint32_t two = 2;
    OVERLAPPED ov_c{};
    ov_c.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const BOOL sent = DeviceIoControl(a, kIoctlCancelIo, const_cast<std::uint32_t*>(&two), 4, nullptr, 0, nullptr, &ov_c);
    EXPECT_TRUE(sent || GetLastError() == ERROR_IO_PENDING);
    EXPECT_TRUE(GetOverlappedResult(a, &ov_c, &moved, TRUE));
    EXPECT_FALSE(GetOverlappedResult(b, &ov_b, &moved, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(moved, 0u);

    for (HANDLE h : {ov_a.hEvent, ov_b.hEvent, ov_c.hEvent, a, b}) CloseHandle(h);
}

TEST_P(DriverTest, DiscoveryFindsTheDeviceOnlyWhileItsServiceRuns) {
    // The first present interface of each class, at index 0: the device's.
    char fax_path[plat::kDevicePathCapacity], ews_path[plat::kDevicePathCapacity];
    ASSERT_TRUE(plat::GetDeviceInterfacePath(GUID_DEVINTERFACE_FAX_CHANNEL, fax_path, sizeof(fax_path)));
    ASSERT_TRUE(plat::GetDeviceInterfacePath(GUID_DEVINTERFACE_EWS_CHANNEL, ews_path, sizeof(ews_path)));
    EXPECT_EQ(fax_path, sim::FirstPresentInterface(GUID_DEVINTERFACE_FAX_CHANNEL));
    EXPECT_NE(Lower(fax_path).find("{783e1d39-8e60-4e98-a947-e2de688f1771}"), std::string::npos) << fax_path;
    EXPECT_NE(Lower(ews_path).find("{b72f809c-a9cd-4094-8c69-ce349947dfac}"), std::string::npos) << ews_path;

    // The service stops with a wait pending: the wait fails at once, and
    // the device is gone.
    FAX_STATUS_ENUM event = e_FaxPrinted;
    auto wait = StartWait(event);
    ASSERT_TRUE(StillPending(wait));
    driver_->Stop();
    ASSERT_TRUE(Ends(wait));
    EXPECT_EQ(wait.get(), FAXSTATUS_CMD_FAIL);

    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                   nullptr, ERROR_NO_MORE_ITEMS, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   reinterpret_cast<LPSTR>(&text), 0, nullptr);
    ASSERT_NE(text, nullptr);
    const std::string no_more_items = std::string("SetupDiEnumDeviceInterfaces failed: ") + text;
    LocalFree(text);

    struct Call {
        const char* what;
        std::function<FAXSTATUS()> call;
        FAXSTATUS expected;
    };
    Ref<IIUSBEWS> ews;
    ASSERT_EQ(Create(CLSID_IUSBEWS, IID_IIUSBEWS, ews), S_OK);
    const Call calls[] = {
        {"ReadFaxSettings",
         [&] {
             DEFAULT_FAX_SETTINGS s{};
             FAXSTATUS st = FAXSTATUS_OK;
             fax_->ReadFaxSettings(&s, &st);
             return st;
         },
         FAXSTATUS_NO_DEVICE},
        {"WaitForReceivedFax",
         [&] {
             FAXSTATUS st = FAXSTATUS_OK;
             fax_->WaitForReceivedFax(&event, &st);
             return st;
         },
         FAXSTATUS_NO_DEVICE},
        {"CancelIO",
         [&] {
             FAXSTATUS st = FAXSTATUS_OK;
             fax_->CancelIO(&st);
             return st;
         },
         FAXSTATUS_NULLPOINTER},
        {"OpenEWS",
         [&] {
             FAXSTATUS st = FAXSTATUS_OK;
             ews->OpenEWS(&st);
             return st;
         },
         FAXSTATUS_NO_DEVICE},
    };
    for (const Call& c : calls) {
        SCOPED_TRACE(c.what);
        CapturedStdout out;
        EXPECT_EQ(c.call(), c.expected);
        EXPECT_EQ(out.Text(), no_more_items);
    }
}

TEST_P(DriverTest, TheServiceKilledInTheMiddleOfATransferFailsTheCallerAndFreesTheLock) {
    // The service moves to a process of its own that stalls settings reads.
    driver_->Stop();
    ChildProcess service;
    ASSERT_TRUE(service.Start(HelperCommand("driver_service.exe", "")));
    ASSERT_EQ(service.ReadLine(), "ready");

    auto read = StartSettingsRead();
    ASSERT_TRUE(StillPending(read));
    service.Kill();
    ASSERT_TRUE(Ends(read));
    const FAXSTATUS status = read.get();
    EXPECT_NE(status, FAXSTATUS_OK);

    // The operation unlocked on its way out.
    const plat::MutexHandle lock = plat::OpenNamedMutex(kAccessLockName);
    ASSERT_TRUE(lock.is_open());
    EXPECT_EQ(plat::WaitNamedMutex(lock, 0), plat::MutexWait::Acquired);
    plat::ReleaseNamedMutex(lock);

    // The device is gone with its service, and comes back with a new one.
    unsigned int count = 0;
    FAXSTATUS after = FAXSTATUS_OK;
    {
        CapturedStdout quiet;
        ASSERT_EQ(fax_->GetReceivedFaxCount(&count, &after), S_OK);
    }
    EXPECT_EQ(after, FAXSTATUS_NO_DEVICE);
    ASSERT_TRUE(driver_->Start()) << driver_->error();
    ASSERT_EQ(fax_->GetReceivedFaxCount(&count, &after), S_OK);
    EXPECT_EQ(after, FAXSTATUS_OK);
}

// The stress run of the Linux build through the driver: eight worker
// processes, each running every kind of operation at random against this
// process's device, with its state preset as the workers expect it.
// STRESS_OPS sets the operations per worker (default 100), STRESS_SEED the
// first seed.
TEST_P(DriverTest, EightProcessesOfEveryOperationNeverInterleave) {
    fw().traffic().SetRecording(false);
    fw().state().SetLoopback(true);
    fw().state().SetPassword(stress::kPassword);
    fw().state().SetReceiveSettings(stress::kReceiveValue);
    fw().state().SetBlockSize(3000);  // downloads in blocks that do not divide the faxes evenly
    for (int k = 0; k < stress::kKeptFaxes; ++k)
        fw().state().AddReceivedFax(stress::KeptName(k), stress::MakeFax(stress::kKeptSender, static_cast<std::uint32_t>(k),
                                                                 stress::KeptSize(k)));
    TempDirectory temp;
    std::string dir = temp.path();
    dir.pop_back();
    SetEnv("TESSALINE_DEVICE_DIR", dir.c_str());  // where the workers keep their files
    const char* ops_text = std::getenv("STRESS_OPS");
    const char* seed_text = std::getenv("STRESS_SEED");
    const int ops = ops_text ? std::atoi(ops_text) : 100;
    const int seed = seed_text ? std::atoi(seed_text) : 1;

    constexpr int kWorkers = 8;
    ChildProcess workers[kWorkers];
    for (int w = 0; w < kWorkers; ++w) {
        const std::string args = "run " + std::to_string(w) + " " + std::to_string(ops) + " " + std::to_string(seed + w);
        ASSERT_TRUE(workers[w].Start(HelperCommand("stress_worker.exe", args.c_str())));
    }
    long long total_ops = 0;
    for (int w = 0; w < kWorkers; ++w) {
        SCOPED_TRACE("worker " + std::to_string(w));
        // Failures come one a line on standard error (here with the output),
        // then the counters.
        std::string line, counters;
        while (!(line = workers[w].ReadLine()).empty()) {
            if (line.rfind("ops=", 0) == 0) {
                counters = line;
            } else {
                ADD_FAILURE() << line;
            }
        }
        EXPECT_EQ(workers[w].Wait(), 0u);
        EXPECT_NE(counters.find(" failures=0"), std::string::npos) << counters;
        EXPECT_NE(counters.find(" no_device=0 "), std::string::npos) << counters;
        total_ops += std::atoll(counters.c_str() + 4);
    }
    SetEnv("TESSALINE_DEVICE_DIR", nullptr);
    EXPECT_EQ(total_ops, static_cast<long long>(ops) * kWorkers);
    EXPECT_EQ(fw().traffic().Interleavings(), 0u);
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
    for (const sim::SentJob& job : fw().state().Jobs()) {
        EXPECT_TRUE(job.outcome == 0 && job.data_ended && !job.failed_block && job.data.size() == job.announced_size &&
                    !job.recipients.empty() && stress::IsFax(job.data.data(), job.data.size()))
            << "a sent job that is not whole";
    }
    for (const sim::ReceivedFax& fax : fw().state().ReceivedFaxes())
        EXPECT_TRUE(stress::IsFax(fax.data.data(), fax.data.size())) << fax.name;
}

}  // namespace
