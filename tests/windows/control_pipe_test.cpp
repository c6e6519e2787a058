// The control channel on Windows: a named pipe that only the device's user
// may open, carrying the same messages as everywhere.
#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/control_channel.h"
#include "sim/control_service.h"

namespace {

TEST(ControlPipe, OnlyTheDevicesUserMayOpenItAndItAnswersCommands) {
    sim::Firmware fw;
    sim::ControlService service(fw, {});
    sim::ControlServer server(service);
    const std::string endpoint = sim::ControlEndpoint("", "ctlpipe" + std::to_string(GetCurrentProcessId()));
    ASSERT_TRUE(server.Start(endpoint)) << server.error();

    // The pipe's DACL: one entry, allowing this user.
    HANDLE pipe = CreateFileA(endpoint.c_str(), GENERIC_READ | READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << GetLastError();
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd),
              static_cast<DWORD>(ERROR_SUCCESS));
    CloseHandle(pipe);
    ASSERT_NE(dacl, nullptr);
    EXPECT_EQ(dacl->AceCount, 1);
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, 0, &ace));
    EXPECT_EQ(static_cast<ACE_HEADER*>(ace)->AceType, ACCESS_ALLOWED_ACE_TYPE);
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    char buffer[256];
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size));
    CloseHandle(token);
    EXPECT_TRUE(EqualSid(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid));
    LocalFree(sd);

    // A command through it, and one to a pipe that is not there.
    std::vector<sim::Bytes> fields = {sim::Bytes(sim::ctl::kVersion, sim::ctl::kVersion + std::strlen(sim::ctl::kVersion)),
                                      sim::Bytes{}, sim::Bytes{'s', 't', 'a', 't', 'u', 's'}};
    sim::Bytes reply;
    std::string error;
    ASSERT_EQ(sim::ControlExchange(endpoint, sim::ctl::EncodeMessage(fields), reply, error), sim::ctl::Reach::Ok) << error;
    std::vector<sim::Bytes> answer;
    ASSERT_TRUE(sim::ctl::DecodeFields(reply.data(), reply.size(), answer));
    ASSERT_EQ(answer.size(), 4u);
    EXPECT_EQ(std::string(answer[0].begin(), answer[0].end()), "0");
    EXPECT_NE(std::string(answer[1].begin(), answer[1].end()).find("fax number:"), std::string::npos);
    EXPECT_EQ(sim::ControlExchange(endpoint + "-none", sim::ctl::EncodeMessage(fields), reply, error),
              sim::ctl::Reach::NoDevice);
    server.Stop();
    EXPECT_EQ(sim::ControlExchange(endpoint, sim::ctl::EncodeMessage(fields), reply, error), sim::ctl::Reach::NoDevice);
}

}  // namespace
