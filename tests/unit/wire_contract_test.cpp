// The device's contracts against bytes, numbers and text written out by hand:
// the library, the simulated device, the fuzzing front, the benchmarks and
// the command share one definition of each, so only a check against literals
// catches a wrong value there.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "base/channel_frame.h"
#include "base/control_codes.h"
#include "base/mfp1_commands.h"
#include "platform/device_channel.h"
#include "platform/device_directory.h"
#include "sim/firmware_types.h"

#include <tessaline/guid_text.h>

namespace {

TEST(WireContractTest, ChannelFramesAreTheBytesTheDriverReads) {
    static_assert(wire::kRequestFrameSize == 16);
    static_assert(wire::kCompletionFrameSize == 8);

    std::uint8_t request[16];
    wire::EncodeRequest(request, {static_cast<std::uint32_t>(plat::RequestKind::Control), IOCTL_WAIT_FOR_RECEIVED_FAX,
                                  4, 0x01020304});
    const std::uint8_t control[16] = {0x03, 0x00, 0x00, 0x00, 0x04, 0xE0, 0x22, 0x00,
                                      0x04, 0x00, 0x00, 0x00, 0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(std::memcmp(request, control, sizeof(control)), 0);
    const wire::RequestFrame back = wire::DecodeRequest(control);
    EXPECT_EQ(back.kind, 3u);
    EXPECT_EQ(back.code, 0x22E004u);
    EXPECT_EQ(back.in_len, 4u);
    EXPECT_EQ(back.out_len, 0x01020304u);

    wire::EncodeRequest(request, {static_cast<std::uint32_t>(sim::Kind::Write), 0, 0x1000, 0});
    const std::uint8_t write[16] = {0x02, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x10, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(request, write, sizeof(write)), 0);

    std::uint8_t completion[8];
    wire::EncodeCompletion(completion, {sim::kErrorCancelled, 0xA0B0C0D0});
    const std::uint8_t cancelled[8] = {0xE3, 0x03, 0x00, 0x00, 0xD0, 0xC0, 0xB0, 0xA0};
    EXPECT_EQ(std::memcmp(completion, cancelled, sizeof(cancelled)), 0);
    const wire::CompletionFrame done = wire::DecodeCompletion(cancelled);
    EXPECT_EQ(done.error, 995u);
    EXPECT_EQ(done.count, 0xA0B0C0D0u);
}

TEST(WireContractTest, KindsCodesAndCommandsHaveTheirNumbers) {
    EXPECT_EQ(static_cast<std::uint32_t>(plat::RequestKind::Read), 1u);
    EXPECT_EQ(static_cast<std::uint32_t>(plat::RequestKind::Write), 2u);
    EXPECT_EQ(static_cast<std::uint32_t>(plat::RequestKind::Control), 3u);
    EXPECT_EQ(static_cast<std::uint32_t>(sim::Kind::Read), 1u);
    EXPECT_EQ(static_cast<std::uint32_t>(sim::Kind::Control), 3u);
    EXPECT_EQ(IOCTL_CANCEL_IO, 0x22A01Cu);
    EXPECT_EQ(sim::kIoctlCancelIo, 0x22A01Cu);
    EXPECT_EQ(sim::kIoctlWaitForReceivedFax, 0x22E004u);

    const struct {
        std::uint32_t command;
        std::uint32_t number;
    } commands[] = {
        {FAXCMD_SEND_BEGIN, 0},      {FAXCMD_SEND_END, 1},        {FAXCMD_RECIPIENTS, 2},
        {FAXCMD_LIST_RECEIVED, 3},   {FAXCMD_GET_RECEIVED, 4},    {FAXCMD_GET_LOG_ENTRY, 5},
        {FAXCMD_REMOVE_RECEIVED, 6}, {FAXCMD_PASSWORD_SET, 7},    {FAXCMD_CHECK_PASSWORD, 8},
        {FAXCMD_READ_SETTINGS, 9},   {FAXCMD_SAVE_SETTINGS, 10},  {FAXCMD_DATA, 13},
        {FAXCMD_RECEIVE_SETTINGS, 14},
    };
    for (const auto& c : commands) EXPECT_EQ(c.command, c.number);

    // The status words a reply carries, which the simulated device's control
    // channel also takes by name ("reply-status busy").
    EXPECT_EQ(DEVSTATUS_OK, 0u);
    EXPECT_EQ(DEVSTATUS_NO, 1u);
    EXPECT_EQ(DEVSTATUS_BUSY, 2u);
    EXPECT_EQ(DEVSTATUS_FULL, 6u);
}

// The class directories of the POSIX device directory and the class names
// in the registry and in messages are this text.
TEST(WireContractTest, GuidTextIsUpperCaseInBraces) {
    EXPECT_EQ(tessaline::GuidText(GUID_DEVINTERFACE_FAX_CHANNEL), "{783E1D39-8E60-4E98-A947-E2DE688F1771}");
    EXPECT_EQ(plat::FormatInterfaceClass(GUID_DEVINTERFACE_EWS_CHANNEL), "{B72F809C-A9CD-4094-8C69-CE349947DFAC}");
    // Leading zeros kept in every group; the widest values fill them.
    const plat::InterfaceClass low = {0xA, 0xB, 0xC, {0, 1, 2, 3, 4, 5, 6, 0xFF}};
    EXPECT_EQ(tessaline::GuidText(low), "{0000000A-000B-000C-0001-0203040506FF}");
    const plat::InterfaceClass high = {0xFFFFFFFF, 0xFFFF, 0xFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
    EXPECT_EQ(tessaline::GuidText(high), "{FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF}");
}

}  // namespace
