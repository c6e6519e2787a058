// FAX_DEVICE: its states and results, the access lock between processes, and
// channel discovery in the device directory.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>

#include "platform/device_directory.h"
#include "protocol/access_cycle.h"
#include "protocol/fax_packet.h"
#include "sim_fixture.h"
#include "transport/fax_device.h"

namespace {

const char kNoDevice[] = "SetupDiEnumDeviceInterfaces failed: No more data is available.\n";

class NoDeviceTest : public IsolatedTest {};

TEST_F(NoDeviceTest, LockFailsWithSevenAndTheMessage) {
    testing::internal::CaptureStdout();
    FAX_DEVICE device;
    EXPECT_EQ(device.Lock(), FAXSTATUS_NO_DEVICE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kNoDevice);

    testing::internal::CaptureStdout();
    FAX_PACKET_HEADER h;
    EXPECT_EQ(QueryDevice(&h, FAXCMD_PASSWORD_SET), FAXRESULT_NO_DEVICE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kNoDevice);
}

TEST_F(NoDeviceTest, DiagnosticsCanBeRedirected) {
    setenv("TESSALINE_DIAGNOSTICS", "stderr", 1);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    FAX_DEVICE device;
    EXPECT_EQ(device.OpenEwsChannel(), FAXSTATUS_NO_DEVICE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), kNoDevice);
}

TEST_F(NoDeviceTest, FailedOpenLeavesTheMutexOwnedUntilUnlockOrDestruction) {
    testing::internal::CaptureStdout();
    {
        FAX_DEVICE device;
        EXPECT_EQ(device.Lock(), FAXSTATUS_NO_DEVICE);
        LockHolder blocked;
        EXPECT_EQ(blocked.Start("hold", 0, 200), "timeout");
    }
    LockHolder after_destruction;
    EXPECT_EQ(after_destruction.Start("hold", 0, 1000), "locked");
    after_destruction.Wait();

    FAX_DEVICE device;
    EXPECT_EQ(device.Lock(), FAXSTATUS_NO_DEVICE);
    EXPECT_EQ(device.Unlock(), FAXSTATUS_OK);  // no channel, still releases
    LockHolder after_unlock;
    EXPECT_EQ(after_unlock.Start("hold", 0, 1000), "locked");
    testing::internal::GetCapturedStdout();
}

TEST_F(NoDeviceTest, TransfersOnAnIdleDeviceGiveSeven) {
    FAX_DEVICE device;
    std::uint8_t buf[8] = {};
    std::uint32_t n = 99;
    EXPECT_EQ(device.Write(buf, 8, &n), FAXSTATUS_NO_DEVICE);
    EXPECT_EQ(device.Read(buf, 8, &n), FAXSTATUS_NO_DEVICE);
    EXPECT_EQ(device.IoControl(0x22E004, buf, 4, buf, 8, &n), FAXSTATUS_NO_DEVICE);
    EXPECT_EQ(device.Unlock(), FAXSTATUS_OK);
}

class DeviceTest : public SimTest {};

TEST_F(DeviceTest, LockHeldByAnotherProcessTimesOutAfterFiveSeconds) {
    LockHolder holder;
    ASSERT_EQ(holder.Start("hold"), "locked");
    const auto start = std::chrono::steady_clock::now();
    FAX_PACKET_HEADER h;
    EXPECT_EQ(QueryDevice(&h, FAXCMD_PASSWORD_SET), FAXRESULT_NO_DEVICE);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(4900));
    EXPECT_LT(waited, std::chrono::seconds(30));
    EXPECT_EQ(fw().traffic().FaxConnectionsOpened(), 0u);
    EXPECT_TRUE(fw().traffic().Transfers().empty());
    // The holder was not disturbed: it still has the lock.
    LockHolder third;
    EXPECT_EQ(third.Start("hold", 0, 100), "timeout");
}

TEST_F(DeviceTest, AbandonedLockFailsOnceThenRecovers) {
    LockHolder dead;
    ASSERT_EQ(dead.Start("abandon"), "locked");
    dead.Wait();
    {
        FAX_DEVICE device;
        EXPECT_EQ(device.Lock(), FAXSTATUS_CMD_FAIL);  // abandoned: this thread owns it now
        LockHolder meanwhile;
        EXPECT_EQ(meanwhile.Start("hold", 0, 200), "timeout");
    }
    FAX_PACKET_HEADER h;
    EXPECT_EQ(QueryDevice(&h, FAXCMD_RECEIVE_SETTINGS), FAXRESULT_OK);
}

TEST_F(DeviceTest, LockTwiceOpensOnce) {
    FAX_DEVICE device;
    EXPECT_EQ(device.Lock(), FAXSTATUS_OK);
    EXPECT_EQ(device.Lock(), FAXSTATUS_OK);
    // One exchange, so that the device has surely seen the connection.
    FAX_PACKET_HEADER h;
    BuildFaxHeader(&h, FAXCMD_RECEIVE_SETTINGS, 0, 0);
    EXPECT_EQ(SendCommand(&device, &h), FAXRESULT_OK);
    EXPECT_EQ(device.Unlock(), FAXSTATUS_OK);
    EXPECT_EQ(fw().traffic().FaxConnectionsOpened(), 1u);
    EXPECT_EQ(device.Lock(), FAXSTATUS_OK);  // usable again after Unlock
}

TEST_F(DeviceTest, ShortTransfersSucceedWithTheSmallerCount) {
    sim::Rule rule;
    rule.command = FAXCMD_READ_SETTINGS;
    rule.stage = sim::Stage::Read;
    rule.fault = sim::Fault::ShortTransfer;
    rule.value = 10;
    fw().script().Add(rule);
    rule.stage = sim::Stage::Write;
    rule.command = FAXCMD_RECEIVE_SETTINGS;
    rule.value = 5;
    fw().script().Add(rule);

    FAX_DEVICE device;
    ASSERT_EQ(device.Lock(), FAXSTATUS_OK);
    FAX_PACKET_HEADER h;
    BuildFaxHeader(&h, FAXCMD_READ_SETTINGS, 0, 0);
    std::uint32_t n = 0;
    EXPECT_EQ(device.Write(&h, 32, &n), FAXSTATUS_OK);
    EXPECT_EQ(n, 32u);
    EXPECT_EQ(device.Read(&h, 32, &n), FAXSTATUS_OK);
    EXPECT_EQ(n, 10u);
    device.Unlock();

    ASSERT_EQ(device.Lock(), FAXSTATUS_OK);
    BuildFaxHeader(&h, FAXCMD_RECEIVE_SETTINGS, 0, 0);
    EXPECT_EQ(device.Write(&h, 32, &n), FAXSTATUS_OK);
    EXPECT_EQ(n, 5u);
}

TEST_F(DeviceTest, FailedTransfersGiveTwoForWritesAndEightForReads) {
    sim::Rule rule;
    rule.command = FAXCMD_READ_SETTINGS;
    rule.stage = sim::Stage::Read;
    rule.fault = sim::Fault::FailTransfer;
    fw().script().Add(rule);
    rule.command = FAXCMD_RECEIVE_SETTINGS;
    rule.stage = sim::Stage::Write;
    fw().script().Add(rule);

    FAX_DEVICE device;
    ASSERT_EQ(device.Lock(), FAXSTATUS_OK);
    FAX_PACKET_HEADER h;
    BuildFaxHeader(&h, FAXCMD_READ_SETTINGS, 0, 0);
    std::uint32_t n = 0;
    ASSERT_EQ(device.Write(&h, 32, &n), FAXSTATUS_OK);
    EXPECT_EQ(device.Read(&h, 32, &n), FAXSTATUS_READ);
    BuildFaxHeader(&h, FAXCMD_RECEIVE_SETTINGS, 0, 0);
    EXPECT_EQ(device.Write(&h, 32, &n), FAXSTATUS_CMD_FAIL);
    // An unknown control code fails in the driver: 2.
    std::uint8_t in[4] = {0x10, 0, 0, 0}, out[16];
    EXPECT_EQ(device.IoControl(0x220000, in, 4, out, 16, &n), FAXSTATUS_CMD_FAIL);
}

// Discovery picks the first live socket by name and passes over the rest.
TEST_F(DeviceTest, DiscoveryTakesTheLowestLiveSocket) {
    const std::string class_dir = dir_ + "/" + plat::FormatInterfaceClass(GUID_DEVINTERFACE_FAX_CHANNEL);
    // A plain file and a stale socket, both sorting before "sim0".
    std::ofstream(class_dir + "/0-not-a-socket") << "x";
    {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string stale = class_dir + "/1-stale";
        std::strcpy(addr.sun_path, stale.c_str());
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        close(fd);  // bound, never listened: refuses connections
    }
    sim::SimDevice second(dir_, "sim1");
    ASSERT_TRUE(second.Start()) << second.error();

    FAX_PACKET_HEADER h;
    ASSERT_EQ(QueryDevice(&h, FAXCMD_RECEIVE_SETTINGS), FAXRESULT_OK);
    EXPECT_EQ(fw().traffic().FaxConnectionsOpened(), 1u);
    EXPECT_EQ(second.firmware().traffic().FaxConnectionsOpened(), 0u);

    // An explicit device path skips discovery.
    setenv("TESSALINE_FAX_DEVICE", second.fax_path().c_str(), 1);
    ASSERT_EQ(QueryDevice(&h, FAXCMD_RECEIVE_SETTINGS), FAXRESULT_OK);
    EXPECT_EQ(second.firmware().traffic().FaxConnectionsOpened(), 1u);
}

TEST_F(DeviceTest, ExplicitPathsThatCannotOpenFailSilently) {
    const struct {
        std::string path;
    } cases[] = {{dir_ + "/missing"}, {"/" + std::string(254, 'x')}, {"/" + std::string(300, 'x')}};
    for (const auto& c : cases) {
        setenv("TESSALINE_FAX_DEVICE", c.path.c_str(), 1);
        testing::internal::CaptureStdout();
        FAX_DEVICE device;
        EXPECT_EQ(device.Lock(), FAXSTATUS_NO_DEVICE) << c.path.size();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    }
}

TEST_F(DeviceTest, ChannelClassesAreLookedUpIndependently) {
    unlink(device_->ews_path().c_str());
    testing::internal::CaptureStdout();
    FAX_DEVICE ews;
    EXPECT_EQ(ews.OpenEwsChannel(), FAXSTATUS_NO_DEVICE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kNoDevice);
    FAX_PACKET_HEADER h;
    EXPECT_EQ(QueryDevice(&h, FAXCMD_RECEIVE_SETTINGS), FAXRESULT_OK);
}

TEST_F(DeviceTest, EwsChannelDoesNotTakeTheLock) {
    LockHolder holder;
    ASSERT_EQ(holder.Start("hold"), "locked");
    FAX_DEVICE device;
    ASSERT_EQ(device.OpenEwsChannel(), FAXSTATUS_OK);
    EXPECT_EQ(device.OpenEwsChannel(), FAXSTATUS_OK);
    const char request[] = "GET / HTTP/1.1\r\nHost: device\r\n\r\n";
    std::uint32_t n = 0;
    ASSERT_EQ(device.Write(request, sizeof(request) - 1, &n), FAXSTATUS_OK);
    EXPECT_EQ(n, sizeof(request) - 1);
    char reply[16] = {};
    ASSERT_EQ(device.Read(reply, 15, &n), FAXSTATUS_OK);
    EXPECT_EQ(std::string(reply, n).substr(0, 12), "HTTP/1.1 200");
    EXPECT_EQ(device.Unlock(), FAXSTATUS_OK);  // closes the EWS channel; the foreign lock stays held
    LockHolder third;
    EXPECT_EQ(third.Start("hold", 0, 100), "timeout");
}

}  // namespace
