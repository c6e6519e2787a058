// The pass-through object on the simulated device's EWS channel, which
// answers as a small web server.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tools/com_ref.h"
#include "sim_fixture.h"

namespace {

class UsbEwsTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_EQ(CreateObject(CLSID_IUSBEWS, IID_IIUSBEWS, ews_), S_OK);
    }
    void TearDown() override {
        ews_.reset();
        SimTest::TearDown();
    }
    std::vector<sim::Transfer> EwsRequests(sim::Kind kind) {
        std::vector<sim::Transfer> out;
        for (auto& t : fw().traffic().Transfers())
            if (t.channel == sim::Channel::Ews && t.kind == kind) out.push_back(t);
        return out;
    }
    FAXSTATUS Open() {
        FAXSTATUS s = FAXSTATUS_CMD_FAIL;
        EXPECT_EQ(ews_->OpenEWS(&s), S_OK);
        return s;
    }

    Ref<IIUSBEWS> ews_;
};

TEST_F(UsbEwsTest, ClosedAndOpenStates) {
    unsigned char buf[16];
    int n = 55;
    FAXSTATUS s = FAXSTATUS_OK;
    EXPECT_EQ(ews_->CloseEWS(&s), S_OK);
    EXPECT_EQ(s, FAXSTATUS_OK);  // closing while closed
    EXPECT_EQ(ews_->ReadEWS(buf, 16, &n, &s), S_OK);
    EXPECT_EQ(s, FAXSTATUS_NO_DEVICE);
    EXPECT_EQ(ews_->WriteEWS(buf, 16, &n, &s), S_OK);
    EXPECT_EQ(s, FAXSTATUS_NO_DEVICE);
    EXPECT_EQ(n, 55);

    EXPECT_EQ(Open(), FAXSTATUS_OK);
    EXPECT_EQ(Open(), FAXSTATUS_OK);  // already open: nothing reopened
    const char get[] = "GET / HTTP/1.1\r\n\r\n";
    std::memcpy(buf, get, 16);
    EXPECT_EQ(ews_->WriteEWS(buf, 16, &n, &s), S_OK);
    EXPECT_EQ(s, FAXSTATUS_OK);
    auto writes = EwsRequests(sim::Kind::Write);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(ews_->CloseEWS(&s), S_OK);
    EXPECT_EQ(ews_->ReadEWS(buf, 16, &n, &s), S_OK);
    EXPECT_EQ(s, FAXSTATUS_NO_DEVICE);
}

TEST_F(UsbEwsTest, ArgumentChecks) {
    unsigned char buf[8];
    int n = 55;
    FAXSTATUS s = FAXSTATUS_OK;
    EXPECT_EQ(ews_->ReadEWS(nullptr, -1, nullptr, nullptr), E_FAIL);
    EXPECT_EQ(ews_->WriteEWS(nullptr, 8, nullptr, nullptr), E_FAIL);
    EXPECT_EQ(ews_->OpenEWS(nullptr), E_FAIL);
    EXPECT_EQ(ews_->CloseEWS(nullptr), E_FAIL);
    EXPECT_EQ(ews_->ReadEWS(nullptr, 8, &n, &s), S_OK);
    EXPECT_EQ(s, FAXSTATUS_NULLPOINTER);
    EXPECT_EQ(ews_->WriteEWS(buf, 8, nullptr, &s), S_OK);
    EXPECT_EQ(s, FAXSTATUS_NULLPOINTER);

    ASSERT_EQ(Open(), FAXSTATUS_OK);
    for (int count : {0, -1}) {
        s = FAXSTATUS_CMD_FAIL;
        EXPECT_EQ(ews_->ReadEWS(buf, count, &n, &s), S_OK);
        EXPECT_EQ(s, FAXSTATUS_OK);
        EXPECT_EQ(ews_->WriteEWS(buf, count, &n, &s), S_OK);
        EXPECT_EQ(s, FAXSTATUS_OK);
        EXPECT_EQ(n, 55);  // untouched
    }
    EXPECT_TRUE(fw().traffic().Transfers().empty());
}

TEST_F(UsbEwsTest, LargeTransfersGoInBlocksAndReportTheTotal) {
    ASSERT_EQ(Open(), FAXSTATUS_OK);
    // Two pipelined requests whose answers together exceed one block.
    std::string request;
    for (int i = 0; i < 60; ++i) request += "GET / HTTP/1.1\r\nHost: device\r\nX-Pad: " + std::string(80, 'p') + "\r\n\r\n";
    request.resize(8292, ' ');
    std::vector<unsigned char> out(request.begin(), request.end());
    int written = 0;
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    ASSERT_EQ(ews_->WriteEWS(out.data(), 8292, &written, &s), S_OK);
    EXPECT_EQ(s, FAXSTATUS_OK);
    EXPECT_EQ(written, 8292);  // the total, not the last request's 100
    auto writes = EwsRequests(sim::Kind::Write);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].in.size(), 4096u);
    EXPECT_EQ(writes[1].in.size(), 4096u);
    EXPECT_EQ(writes[2].in.size(), 100u);

    std::vector<unsigned char> in(5000);
    int read = 0;
    ASSERT_EQ(ews_->ReadEWS(in.data(), 5000, &read, &s), S_OK);
    EXPECT_EQ(s, FAXSTATUS_OK);
    EXPECT_EQ(read, 5000);  // not 904
    EXPECT_EQ(std::string(in.begin(), in.begin() + 12), "HTTP/1.1 200");
    for (const auto& r : EwsRequests(sim::Kind::Read)) EXPECT_LE(r.asked, 4096u);
}

TEST_F(UsbEwsTest, AFailedReadKeepsWhatArrivedAndCountsIt) {
    ASSERT_EQ(Open(), FAXSTATUS_OK);
    unsigned char get[] = "GET /status.json HTTP/1.1\r\n\r\n";
    int n = 0;
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    ASSERT_EQ(ews_->WriteEWS(get, sizeof(get) - 1, &n, &s), S_OK);

    // Ask for more than the device will send: the first request brings the
    // answer, the next waits until the device goes away.
    std::vector<unsigned char> in(3000, 0);
    int read = -1;
    std::thread reader([&] { ews_->ReadEWS(in.data(), 3000, &read, &s); });
    for (int i = 0; i < 500 && EwsRequests(sim::Kind::Read).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    device_->Stop();
    reader.join();
    EXPECT_EQ(s, FAXSTATUS_READ);
    auto reads = EwsRequests(sim::Kind::Read);
    ASSERT_FALSE(reads.empty());
    EXPECT_EQ(read, static_cast<int>(reads[0].out.size()));
    EXPECT_EQ(std::string(in.begin(), in.begin() + 12), "HTTP/1.1 200");
}

TEST_F(UsbEwsTest, TheAccessLockIsNeverTaken) {
    LockHolder holder;
    ASSERT_EQ(holder.Start("hold"), "locked");
    ASSERT_EQ(Open(), FAXSTATUS_OK);
    unsigned char get[] = "GET / HTTP/1.1\r\n\r\n";
    int n = 0;
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    EXPECT_EQ(ews_->WriteEWS(get, sizeof(get) - 1, &n, &s), S_OK);
    EXPECT_EQ(s, FAXSTATUS_OK);
    unsigned char head[12];
    EXPECT_EQ(ews_->ReadEWS(head, 12, &n, &s), S_OK);
    EXPECT_EQ(s, FAXSTATUS_OK);
    EXPECT_EQ(std::string(head, head + 12), "HTTP/1.1 200");
}

TEST_F(UsbEwsTest, NoEwsDeviceGivesSeven) {
    device_->Stop();
    testing::internal::CaptureStdout();
    EXPECT_EQ(Open(), FAXSTATUS_NO_DEVICE);
    testing::internal::GetCapturedStdout();
}

}  // namespace
