// The short roads of a transfer: the channel layer taking a completion and its
// data in as few calls as they arrive in, discovery telling a socket from its
// directory listing, and the simulated device that keeps no uploaded bytes.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/byte_order.h"
#include "platform/device_channel.h"
#include "platform/device_directory.h"
#include "protocol/access_cycle.h"
#include "protocol/fax_packet.h"
#include "protocol/fax_received.h"
#include "protocol/fax_send.h"
#include "sim_fixture.h"
#include "transport/fax_device.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Completion(std::uint32_t error, std::uint32_t count, const Bytes& data = {}) {
    Bytes b(8 + data.size());
    wire::StoreLE32(b.data(), error);
    wire::StoreLE32(b.data() + 4, count);
    std::copy(data.begin(), data.end(), b.begin() + 8);
    return b;
}

// Plays the driver on one end of a socket pair: takes one request (its frame
// and data) and answers with `chunks`, each sent on its own after a pause so
// that the host sees them arrive apart; then closes when `close_after`.
void Drive(int fd, std::vector<Bytes> chunks, bool close_after) {
    std::uint8_t frame[16];
    std::size_t got = 0;
    while (got < sizeof(frame)) {
        ssize_t n = recv(fd, frame + got, sizeof(frame) - got, 0);
        if (n <= 0) return;
        got += static_cast<std::size_t>(n);
    }
    std::vector<std::uint8_t> in(wire::LoadLE32(frame + 8));
    if (!in.empty() && recv(fd, in.data(), in.size(), MSG_WAITALL) != static_cast<ssize_t>(in.size())) return;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (send(fd, chunks[i].data(), chunks[i].size(), MSG_NOSIGNAL) != static_cast<ssize_t>(chunks[i].size())) return;
    }
    if (close_after) shutdown(fd, SHUT_WR);
}

TEST(CompletionTest, TakenWholeHoweverItArrivesAndNeverPastItsCount) {
    const Bytes four = {1, 2, 3, 4};
    const struct {
        const char* what;
        plat::RequestKind kind;
        std::vector<Bytes> chunks;
        bool close_after;
        bool ok;
        std::uint32_t count;
        Bytes out;   // the caller's 8-byte buffer afterwards (0xAA where untouched)
        bool usable;  // a following request still goes through
    } cases[] = {
        {"read, all at once", plat::RequestKind::Read, {Completion(0, 4, four)}, false, true, 4,
         {1, 2, 3, 4, 0xAA, 0xAA, 0xAA, 0xAA}, true},
        {"read, in pieces", plat::RequestKind::Read, {{0, 0, 0}, {0, 4, 0, 0, 0, 1, 2}, {3, 4}}, false, true, 4,
         {1, 2, 3, 4, 0xAA, 0xAA, 0xAA, 0xAA}, true},
        {"read of nothing", plat::RequestKind::Read, {Completion(0, 0)}, false, true, 0, Bytes(8, 0xAA), true},
        {"read, bytes past the count", plat::RequestKind::Read, {Completion(0, 4, {1, 2, 3, 4, 5, 6})}, false, false,
         0, {}, false},
        {"read, count beyond the buffer", plat::RequestKind::Read, {Completion(0, 9, Bytes(9, 7))}, false, false, 0,
         {}, false},
        {"read failed by the driver", plat::RequestKind::Read, {Completion(995, 0)}, false, false, 0, Bytes(8, 0xAA),
         true},
        {"read, connection gone mid-data", plat::RequestKind::Read, {Completion(0, 4, {1, 2})}, true, false, 0, {},
         false},
        {"write taken whole", plat::RequestKind::Write, {Completion(0, 3)}, false, true, 3, Bytes(8, 0xAA), true},
        {"write, count beyond what was sent", plat::RequestKind::Write, {Completion(0, 4)}, false, false, 0,
         Bytes(8, 0xAA), false},
    };
    for (const auto& c : cases) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        std::thread driver([&] {
            Drive(sv[1], c.chunks, c.close_after);
            if (c.usable) Drive(sv[1], {Completion(0, 3)}, false);  // the next request: a write of 3
        });
        std::uint8_t out[8];
        std::memset(out, 0xAA, sizeof(out));
        const std::uint8_t in[3] = {9, 9, 9};
        std::uint32_t count = 77;
        const bool read = c.kind == plat::RequestKind::Read;
        const plat::ChannelHandle channel(sv[0]);  // closes sv[0] when the case ends
        const bool ok = plat::SubmitRequest(channel, c.kind, 0, read ? nullptr : in, read ? 0 : 3, read ? out : nullptr,
                                            read ? 8 : 0, &count);
        EXPECT_EQ(ok, c.ok) << c.what;
        if (c.ok) {
            EXPECT_EQ(count, c.count) << c.what;
        }
        if (!c.out.empty()) {
            EXPECT_EQ(Bytes(out, out + 8), c.out) << c.what;
        }

        // A request after a broken completion fails at once: the framing is
        // lost and the connection was shut.
        std::uint32_t next = 0;
        EXPECT_EQ(plat::SubmitRequest(channel, plat::RequestKind::Write, 0, in, 3, nullptr, 0, &next), c.usable)
            << c.what;
        driver.join();
        close(sv[1]);
    }
}

// Discovery takes a socket from the listing without looking it up, and still
// follows a symbolic link to see whether it leads to one.
TEST_F(SimTest, DiscoveryFollowsLinksAndPassesOverOtherEntries) {
    const std::string class_dir = dir_ + "/" + plat::FormatInterfaceClass(GUID_DEVINTERFACE_FAX_CHANNEL);
    sim::SimDevice elsewhere(dir_ + "/other", "dev");
    ASSERT_TRUE(elsewhere.Start()) << elsewhere.error();
    // All sort before "sim0": a directory, a link to a plain file, a link to
    // the other device's live socket.
    ASSERT_EQ(mkdir((class_dir + "/0-dir").c_str(), 0755), 0);
    std::ofstream(dir_ + "/plain") << "x";
    ASSERT_EQ(symlink((dir_ + "/plain").c_str(), (class_dir + "/1-link-to-file").c_str()), 0);
    ASSERT_EQ(symlink(elsewhere.fax_path().c_str(), (class_dir + "/2-link-to-socket").c_str()), 0);

    FAX_PACKET_HEADER h;
    ASSERT_EQ(QueryDevice(&h, FAXCMD_RECEIVE_SETTINGS), FAXRESULT_OK);
    EXPECT_EQ(elsewhere.firmware().traffic().FaxConnectionsOpened(), 1u);
    EXPECT_EQ(fw().traffic().FaxConnectionsOpened(), 0u);

    // Without the link, the device of the directory's own socket.
    ASSERT_EQ(unlink((class_dir + "/2-link-to-socket").c_str()), 0);
    ASSERT_EQ(QueryDevice(&h, FAXCMD_RECEIVE_SETTINGS), FAXRESULT_OK);
    EXPECT_EQ(fw().traffic().FaxConnectionsOpened(), 1u);
}

class LeanDeviceTest : public SimTest {
protected:
    std::string MakeFile(const Bytes& data) {
        const std::string path = dir_ + "/upload.tif";
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                    static_cast<std::streamsize>(data.size()));
        return path;
    }
    static FAX_RECIPIENT To(const char* number) {
        FAX_RECIPIENT r;
        std::memset(&r, 0, sizeof(r));
        std::strcpy(r.PhoneNumber, number);
        return r;
    }
};

// A device told not to keep what it is sent accepts a job all the same,
// judged by the bytes that arrived; one in loopback keeps them, to receive.
TEST_F(LeanDeviceTest, SentDataIsCountedNotKeptUnlessItIsToBeReceived) {
    fw().state().SetKeepSentData(false);
    Bytes file(10000);
    for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<std::uint8_t>(i * 7);
    const FAX_RECIPIENT someone = To("5551234");
    ASSERT_EQ(DeviceSendFax(&someone, 1, MakeFile(file).c_str()), FAXRESULT_OK);
    sim::SentJob job = fw().state().Jobs().back();
    EXPECT_EQ(job.outcome, 0u);
    EXPECT_EQ(job.announced_size, 10000u);
    EXPECT_EQ(job.blocks, 3u);
    EXPECT_TRUE(job.data.empty());

    std::uint8_t settings[308];
    fw().state().GetSettingsWire(settings);
    const std::string own(reinterpret_cast<const char*>(settings + offsetof(DEFAULT_FAX_SETTINGS, FaxNumber)));
    fw().state().SetLoopback(true);
    const FAX_RECIPIENT self = To(own.c_str());
    ASSERT_EQ(DeviceSendFax(&self, 1, MakeFile(file).c_str()), FAXRESULT_OK);
    EXPECT_EQ(fw().state().Jobs().back().data, file);
    EXPECT_EQ(fw().state().ReceivedFaxes().back().data, file);
}

}  // namespace
