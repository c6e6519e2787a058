// tessaline-simd as its users meet it: a process of its own serving a device
// directory, reached through the library's channel layer; and the state
// directory it keeps.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/device_directory.h"
#include "protocol/access_cycle.h"
#include "protocol/fax_packet.h"
#include "sim/persist.h"
#include "sim_fixture.h"
#include "simd_process.h"
#include "transport/fax_device.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using sim::Bytes;

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::string FaxSocket(const std::string& dir, const std::string& name = "sim0") {
    return dir + "/" + plat::FormatInterfaceClass(GUID_DEVINTERFACE_FAX_CHANNEL) + "/" + name;
}

std::string EwsSocket(const std::string& dir, const std::string& name = "sim0") {
    return dir + "/" + plat::FormatInterfaceClass(GUID_DEVINTERFACE_EWS_CHANNEL) + "/" + name;
}

// ---------------------------------------------------------------------------
// Exchanges with the device, through an access cycle each

FAXRESULT ReadSettings(std::uint8_t (&record)[308]) {
    AccessCycle cycle;
    if (FAXRESULT r = cycle.Open(); r != FAXRESULT_OK) return r;
    FAX_PACKET_HEADER h;
    BuildFaxHeader(&h, FAXCMD_READ_SETTINGS, 0, 0);
    return ReadReplyData(cycle.device(), &h, record, sizeof(record));
}

FAXRESULT SaveSettings(const std::uint8_t (&record)[308]) {
    AccessCycle cycle;
    if (FAXRESULT r = cycle.Open(); r != FAXRESULT_OK) return r;
    FAX_PACKET_HEADER h;
    BuildFaxHeader(&h, FAXCMD_SAVE_SETTINGS, 0, 0);
    SetHeaderDataLength(h, sizeof(record));
    return SendCommandWithData(cycle.device(), &h, record, sizeof(record));
}

FAXRESULT CheckPassword(const std::string& password) {
    AccessCycle cycle;
    if (FAXRESULT r = cycle.Open(); r != FAXRESULT_OK) return r;
    FAX_PACKET_HEADER h;
    BuildFaxHeader(&h, FAXCMD_CHECK_PASSWORD, 0, 0);
    SetHeaderDataLength(h, static_cast<std::uint32_t>(password.size() + 1));
    return SendCommandWithData(cycle.device(), &h, password.c_str(), static_cast<std::uint32_t>(password.size() + 1));
}

// The names of the list reply (command 3), in the device's order.
std::vector<std::string> ListNames() {
    AccessCycle cycle;
    if (cycle.Open() != FAXRESULT_OK) return {"<no device>"};
    FAX_PACKET_HEADER h;
    BuildFaxHeader(&h, FAXCMD_LIST_RECEIVED, 0, 0);
    if (SendCommand(cycle.device(), &h) != FAXRESULT_OK) return {"<list failed>"};
    Bytes payload(HeaderDataLength(h));
    if (!payload.empty() && ReadAll(cycle.device(), payload.data(), static_cast<std::uint32_t>(payload.size()),
                                    kReadTimeoutMs) != FAXRESULT_OK) {
        return {"<read failed>"};
    }
    std::vector<std::string> names;
    for (std::size_t p = 0; p + 2 <= payload.size();) {
        const std::size_t n = wire::LoadBE16(&payload[p]);
        if (n == 0 || p + 2 + n > payload.size() || payload[p + 2 + n - 1] != 0) break;
        names.emplace_back(reinterpret_cast<const char*>(&payload[p + 2]), n - 1);
        p += 2 + n;
    }
    return names;
}

// A named fax as the device sends it (command 4): the announced total, then
// blocks, then a closing header. `blocks` counts the blocks.
FAXRESULT Fetch(const std::string& name, Bytes& data, int& blocks) {
    data.clear();
    blocks = 0;
    AccessCycle cycle;
    if (FAXRESULT r = cycle.Open(); r != FAXRESULT_OK) return r;
    FAX_PACKET_HEADER h;
    BuildFaxHeader(&h, FAXCMD_GET_RECEIVED, 0, 0);
    SetHeaderDataLength(h, static_cast<std::uint32_t>(name.size() + 1));
    if (FAXRESULT r = SendCommandWithData(cycle.device(), &h, name.c_str(), static_cast<std::uint32_t>(name.size() + 1));
        r != FAXRESULT_OK) {
        return r;
    }
    const std::uint32_t total = HeaderDataLength(h);
    while (data.size() < total) {
        if (FAXRESULT r = ReadAll(cycle.device(), &h, kHeaderSize, kReadTimeoutMs); r != FAXRESULT_OK) return r;
        const std::uint32_t n = HeaderDataLength(h);
        if (HeaderStatus(h) != 0 || n == 0 || n > total - data.size()) return FAXRESULT_BADREPLY;
        const std::size_t at = data.size();
        data.resize(at + n);
        if (FAXRESULT r = ReadAll(cycle.device(), &data[at], n, kReadTimeoutMs); r != FAXRESULT_OK) return r;
        ++blocks;
    }
    if (FAXRESULT r = ReadAll(cycle.device(), &h, kHeaderSize, kReadTimeoutMs); r != FAXRESULT_OK) return r;
    return HeaderStatus(h) == 0 && HeaderDataLength(h) == 0 ? FAXRESULT_OK : FAXRESULT_BADREPLY;
}

FAXRESULT LogEntry(const std::string& name, std::uint8_t (&log)[80]) {
    AccessCycle cycle;
    if (FAXRESULT r = cycle.Open(); r != FAXRESULT_OK) return r;
    FAX_PACKET_HEADER h;
    BuildFaxHeader(&h, FAXCMD_GET_LOG_ENTRY, 0, 0);
    SetHeaderDataLength(h, static_cast<std::uint32_t>(name.size() + 1));
    if (FAXRESULT r = SendCommandWithData(cycle.device(), &h, name.c_str(), static_cast<std::uint32_t>(name.size() + 1));
        r != FAXRESULT_OK) {
        return r;
    }
    if (HeaderDataLength(h) != sizeof(log)) return FAXRESULT_BADREPLY;
    return ReadAll(cycle.device(), log, sizeof(log), kReadTimeoutMs);
}

// One send transaction: begin, one recipient, one data block, end of data,
// end. The result is the end reply's.
FAXRESULT SendFax(const std::string& number, const Bytes& data) {
    AccessCycle cycle;
    if (FAXRESULT r = cycle.Open(); r != FAXRESULT_OK) return r;
    FAX_DEVICE* device = cycle.device();
    FAX_PACKET_HEADER h;
    BuildFaxHeader(&h, FAXCMD_SEND_BEGIN, static_cast<std::uint32_t>(data.size()), 0);
    if (FAXRESULT r = SendCommand(device, &h); r != FAXRESULT_OK) return r;
    std::uint8_t list[4 + 64] = {};
    wire::StoreBE32(list, 1);
    std::memcpy(list + 4 + 32, number.c_str(), number.size());
    BuildFaxHeader(&h, FAXCMD_RECIPIENTS, 0, 0);
    SetHeaderDataLength(h, sizeof(list));
    if (FAXRESULT r = WriteAll(device, &h, kHeaderSize); r != FAXRESULT_OK) return r;
    if (FAXRESULT r = WriteAll(device, list, sizeof(list)); r != FAXRESULT_OK) return r;
    BuildFaxHeader(&h, FAXCMD_DATA, 0, 0);
    SetHeaderDataLength(h, static_cast<std::uint32_t>(data.size()));
    if (FAXRESULT r = WriteAll(device, &h, kHeaderSize); r != FAXRESULT_OK) return r;
    if (FAXRESULT r = WriteAll(device, data.data(), static_cast<std::uint32_t>(data.size())); r != FAXRESULT_OK) {
        return r;
    }
    BuildFaxHeader(&h, FAXCMD_DATA, 0, 0);
    if (FAXRESULT r = SendCommand(device, &h); r != FAXRESULT_OK) return r;
    BuildFaxHeader(&h, FAXCMD_SEND_END, 0, 0);
    return SendCommand(device, &h);
}

FAXRESULT Remove(const std::string& name) {
    AccessCycle cycle;
    if (FAXRESULT r = cycle.Open(); r != FAXRESULT_OK) return r;
    FAX_PACKET_HEADER h;
    BuildFaxHeader(&h, FAXCMD_REMOVE_RECEIVED, 0, 0);
    SetHeaderDataLength(h, static_cast<std::uint32_t>(name.size() + 1));
    return SendCommandWithData(cycle.device(), &h, name.c_str(), static_cast<std::uint32_t>(name.size() + 1));
}

// One HTTP GET on the EWS channel: the status line and the body.
std::pair<std::string, std::string> HttpGet(const std::string& path) {
    FAX_DEVICE ews;
    if (ews.OpenEwsChannel() != FAXSTATUS_OK) return {"<no channel>", ""};
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: device\r\n\r\n";
    std::uint32_t n = 0;
    if (ews.Write(request.data(), static_cast<std::int32_t>(request.size()), &n) != FAXSTATUS_OK) {
        return {"<write failed>", ""};
    }
    std::string response;
    std::size_t head_end = std::string::npos, length = 0;
    while (head_end == std::string::npos || response.size() < head_end + 4 + length) {
        char buf[4096];
        if (ews.Read(buf, sizeof(buf), &n) != FAXSTATUS_OK || n == 0) return {"<read failed>", response};
        response.append(buf, n);
        if (head_end == std::string::npos && (head_end = response.find("\r\n\r\n")) != std::string::npos) {
            const std::size_t at = response.find("Content-Length: ");
            if (at == std::string::npos || at > head_end) return {"<no length>", response};
            length = std::stoul(response.substr(at + 16));
        }
    }
    return {response.substr(0, response.find("\r\n")), response.substr(head_end + 4)};
}

std::string Field(const std::uint8_t* p, std::size_t width) {
    return std::string(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), width));
}

void SetField(std::uint8_t* p, std::size_t width, const std::string& text) {
    std::memset(p, 0, width);
    std::memcpy(p, text.data(), std::min(text.size(), width - 1));
}

void WriteFile(const std::string& path, const Bytes& data) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                 static_cast<std::streamsize>(data.size()));
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class SimdTest : public IsolatedTest {};

// ---------------------------------------------------------------------------
// The program

TEST_F(SimdTest, ServesFaxAndEwsChannelsToTheLibrary) {
    Daemon d;
    ASSERT_TRUE(d.Start({"--name", "dev1", "--password", "secret", "--fax-number", "5550123",
                         "--receive-settings", "0x2a"}))
        << d.ready();
    EXPECT_EQ(d.ready(), "ready fax=" + FaxSocket(dir_, "dev1") + " ews=" + EwsSocket(dir_, "dev1"));

    FAX_PACKET_HEADER h;
    EXPECT_EQ(QueryDevice(&h, FAXCMD_PASSWORD_SET), FAXRESULT_OK);
    ASSERT_EQ(QueryDevice(&h, FAXCMD_RECEIVE_SETTINGS), FAXRESULT_OK);
    EXPECT_EQ(HeaderParam1(h), 42u);
    EXPECT_EQ(CheckPassword("secret"), FAXRESULT_OK);
    EXPECT_EQ(CheckPassword("Secret"), FAXRESULT_FALSE);

    std::uint8_t record[308];
    ASSERT_EQ(ReadSettings(record), FAXRESULT_OK);
    EXPECT_EQ(Field(record + offsetof(DEFAULT_FAX_SETTINGS, FaxNumber), 32), "5550123");
    SetField(record + offsetof(DEFAULT_FAX_SETTINGS, FaxName), 128, "Front <desk>");
    ASSERT_EQ(SaveSettings(record), FAXRESULT_OK);
    std::uint8_t back[308];
    ASSERT_EQ(ReadSettings(back), FAXRESULT_OK);
    EXPECT_EQ(std::memcmp(record, back, sizeof(record)), 0);

    // The status page shows the saved record; a second request shows that
    // the connection of the first was left in good order.
    auto [status, body] = HttpGet("/");
    EXPECT_EQ(status, "HTTP/1.1 200 OK");
    EXPECT_NE(body.find("Front &lt;desk&gt;"), std::string::npos) << body;
    EXPECT_NE(body.find("5550123"), std::string::npos) << body;
    auto [json_status, json] = HttpGet("/status.json");
    EXPECT_EQ(json_status, "HTTP/1.1 200 OK");
    EXPECT_NE(json.find("\"received_faxes\":0"), std::string::npos) << json;
    EXPECT_EQ(HttpGet("/missing").first, "HTTP/1.1 404 Not Found");

    EXPECT_TRUE(ExitedWith(d.Stop(), 0)) << d.errors();
}

TEST_F(SimdTest, StopsOnEachSignalRemovingItsSockets) {
    // --dir wins over TESSALINE_DEVICE_DIR, and its parents are created.
    const std::string dir = dir_ + "/nested/devices";
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        Daemon d;
        ASSERT_TRUE(d.Start({"--dir", dir})) << d.ready();
        EXPECT_TRUE(Exists(FaxSocket(dir)));
        EXPECT_TRUE(Exists(EwsSocket(dir)));
        EXPECT_FALSE(Exists(FaxSocket(dir_)));
        EXPECT_TRUE(ExitedWith(d.Stop(sig), 0)) << d.errors();
        EXPECT_FALSE(Exists(FaxSocket(dir)));
        EXPECT_FALSE(Exists(EwsSocket(dir)));
    }
}

TEST_F(SimdTest, RefusesALiveDeviceOfTheSameNameButReplacesAStaleOne) {
    Daemon first;
    ASSERT_TRUE(first.Start({"--fax-number", "111"})) << first.ready();

    Daemon second;
    EXPECT_FALSE(second.Start({"--fax-number", "222"}));
    EXPECT_TRUE(ExitedWith(second.Wait(), 1));
    EXPECT_NE(second.errors().find("a live device is already serving " + FaxSocket(dir_)), std::string::npos)
        << second.errors();
    // The first is undisturbed: its sockets are still there and answer.
    std::uint8_t record[308];
    ASSERT_EQ(ReadSettings(record), FAXRESULT_OK);
    EXPECT_EQ(Field(record + offsetof(DEFAULT_FAX_SETTINGS, FaxNumber), 32), "111");

    // Killed outright, it leaves its sockets behind, with nobody listening.
    first.Stop(SIGKILL);
    ASSERT_TRUE(Exists(FaxSocket(dir_)));
    Daemon third;
    ASSERT_TRUE(third.Start({"--fax-number", "333"})) << third.ready();
    ASSERT_EQ(ReadSettings(record), FAXRESULT_OK);
    EXPECT_EQ(Field(record + offsetof(DEFAULT_FAX_SETTINGS, FaxNumber), 32), "333");
    EXPECT_TRUE(ExitedWith(third.Stop(), 0));
}

TEST_F(SimdTest, StateKeepsSettingsReceivedFaxesAndJobsAcrossRestarts) {
    const std::string state = dir_ + "/state";
    const Bytes first_fax = {'I', 'I', 42, 0, 1, 2, 3, 4, 5};
    std::uint8_t record[308];
    {
        Daemon d;
        ASSERT_TRUE(d.Start({"--state", state, "--loopback", "--fax-number", "777", "--any-job"})) << d.ready();
        ASSERT_EQ(ReadSettings(record), FAXRESULT_OK);
        SetField(record + offsetof(DEFAULT_FAX_SETTINGS, FaxName), 128, "Kept 100%");
        SetField(record + offsetof(DEFAULT_FAX_SETTINGS, Password), 32, "pw");
        ASSERT_EQ(SaveSettings(record), FAXRESULT_OK);
        ASSERT_EQ(SendFax("777", first_fax), FAXRESULT_OK);
        ASSERT_EQ(ListNames(), std::vector<std::string>{"fax0001.tif"});
        EXPECT_TRUE(ExitedWith(d.Stop(), 0)) << d.errors();
    }
    Daemon d;
    ASSERT_TRUE(d.Start({"--state", state, "--loopback", "--any-job"})) << d.ready();
    std::uint8_t back[308];
    ASSERT_EQ(ReadSettings(back), FAXRESULT_OK);
    // All of it but DeviceDateTime, the device's running clock.
    const std::size_t clock = offsetof(DEFAULT_FAX_SETTINGS, DeviceDateTime);
    EXPECT_EQ(std::memcmp(record, back, clock), 0);
    EXPECT_EQ(CheckPassword("pw"), FAXRESULT_OK);
    ASSERT_EQ(ListNames(), std::vector<std::string>{"fax0001.tif"});
    Bytes data;
    int blocks = 0;
    ASSERT_EQ(Fetch("fax0001.tif", data, blocks), FAXRESULT_OK);
    EXPECT_EQ(data, first_fax);
    EXPECT_NE(HttpGet("/status.json").second.find("\"received_faxes\":1,\"sent_jobs\":1"), std::string::npos);

    // A fax received after the restart gets a name of its own.
    ASSERT_EQ(SendFax("777", Bytes{9, 9}), FAXRESULT_OK);
    EXPECT_EQ(ListNames(), (std::vector<std::string>{"fax0001.tif", "fax0002.tif"}));
    EXPECT_TRUE(ExitedWith(d.Stop(), 0)) << d.errors();
}

// A TIFF of `pages` empty directories: all that the device's reading of a
// job looks at.
Bytes TiffOfPages(int pages) {
    Bytes d = {'I', 'I', 42, 0, 8, 0, 0, 0};
    for (int p = 0; p < pages; ++p) {
        const auto next = p + 1 < pages ? static_cast<std::uint32_t>(d.size() + 6) : 0u;
        d.insert(d.end(), {0, 0, static_cast<std::uint8_t>(next), static_cast<std::uint8_t>(next >> 8),
                           static_cast<std::uint8_t>(next >> 16), static_cast<std::uint8_t>(next >> 24)});
    }
    return d;
}

TEST_F(SimdTest, TheDeviceReadsWhatItIsSentAndLogsItByItsOwnClock) {
    Daemon d;
    ASSERT_TRUE(d.Start({"--loopback", "--fax-number", "777"})) << d.ready();
    // What is no TIFF image is refused with an outcome status, as a fax
    // machine would, and nothing is received: a PDF, and a TIFF header whose
    // first page lies beyond the data.
    EXPECT_EQ(SendFax("777", Bytes{'%', 'P', 'D', 'F', '-', '1'}), FAXRESULT_READ);
    EXPECT_EQ(SendFax("777", Bytes{'I', 'I', 42, 0, 0xFF, 0, 0, 0, 0, 0}), FAXRESULT_READ);
    EXPECT_TRUE(ListNames().empty());

    // The log entry counts the pages, and the duration grows with them.
    ASSERT_EQ(SendFax("777", TiffOfPages(1)), FAXRESULT_OK);
    ASSERT_EQ(SendFax("777", TiffOfPages(3)), FAXRESULT_OK);
    std::uint8_t one[80], three[80];
    ASSERT_EQ(LogEntry("fax0001.tif", one), FAXRESULT_OK);
    ASSERT_EQ(LogEntry("fax0002.tif", three), FAXRESULT_OK);
    EXPECT_EQ(one[20], 1);
    EXPECT_EQ(three[20], 3);
    EXPECT_GT(wire::LoadBE32(three + 8), wire::LoadBE32(one + 8));

    // Setting the clock through DeviceDateTime: the next fax is logged at
    // the device's time, and the clock runs on from there.
    std::uint8_t record[308];
    ASSERT_EQ(ReadSettings(record), FAXRESULT_OK);
    char* when = reinterpret_cast<char*>(record + offsetof(DEFAULT_FAX_SETTINGS, DeviceDateTime));
    std::memset(when, 0, 32);
    std::strcpy(when, "2031-05-06 07:08:09");
    ASSERT_EQ(SaveSettings(record), FAXRESULT_OK);
    ASSERT_EQ(SendFax("777", TiffOfPages(2)), FAXRESULT_OK);
    std::uint8_t stamped[80];
    ASSERT_EQ(LogEntry("fax0003.tif", stamped), FAXRESULT_OK);
    const std::uint8_t expected[7] = {7, 8, 9, 2, 6, 5, 31};  // hour min sec weekday day month year; Tuesday
    for (int i : {0, 1, 3, 4, 5, 6}) EXPECT_EQ(stamped[i], expected[i]) << "field " << i;
    EXPECT_GE(stamped[2], 9);
    EXPECT_LE(stamped[2], 15);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ASSERT_EQ(ReadSettings(record), FAXRESULT_OK);
    const std::string later(when);
    EXPECT_EQ(later.substr(0, 17), "2031-05-06 07:08:") << later;
    EXPECT_GT(later, "2031-05-06 07:08:09");
    EXPECT_TRUE(ExitedWith(d.Stop(), 0)) << d.errors();
}

TEST_F(SimdTest, ChangesAreSavedWhileServingSoAKillLosesNothingSaved) {
    const std::string state = dir_ + "/state";
    Daemon d;
    ASSERT_TRUE(d.Start({"--state", state})) << d.ready();
    std::uint8_t record[308];
    ASSERT_EQ(ReadSettings(record), FAXRESULT_OK);
    SetField(record + offsetof(DEFAULT_FAX_SETTINGS, FaxName), 128, "ZZ");  // hex 5a5a
    ASSERT_EQ(SaveSettings(record), FAXRESULT_OK);
    // The save follows the reply; wait for it to reach the manifest.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ReadText(state + "/manifest").find("5a5a") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    d.Stop(SIGKILL);

    Daemon again;
    ASSERT_TRUE(again.Start({"--state", state})) << again.ready() << again.output();
    std::uint8_t back[308];
    ASSERT_EQ(ReadSettings(back), FAXRESULT_OK);
    EXPECT_EQ(Field(back + offsetof(DEFAULT_FAX_SETTINGS, FaxName), 128), "ZZ");
}

TEST_F(SimdTest, AFolderIsPresentedAsReceivedFaxes) {
    const std::string folder = dir_ + "/inbox";
    fs::create_directories(folder + "/subfolder");
    // A TIFF of two pages: two empty directories, chained.
    const Bytes tiff = {'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0, 14, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    WriteFile(folder + "/b.tif", tiff);
    WriteFile(folder + "/a fax.tif", Bytes{1, 2, 3});
    WriteFile(folder + "/.hidden", Bytes{4});
    const std::string too_long(64, 'x');
    WriteFile(folder + "/" + too_long, Bytes{5, 6});
    // Faxes the host could list but never download.
    WriteFile(folder + "/empty.tif", Bytes{});
    WriteFile(folder + "/one.tif", Bytes{7});

    Daemon d;
    ASSERT_TRUE(d.Start({"--faxes", folder, "--block-size", "3"})) << d.ready();
    EXPECT_EQ(ListNames(), (std::vector<std::string>{"a fax.tif", "b.tif"}));
    Bytes data;
    int blocks = 0;
    ASSERT_EQ(Fetch("b.tif", data, blocks), FAXRESULT_OK);
    EXPECT_EQ(data, tiff);
    EXPECT_EQ(blocks, 7);  // 20 bytes in blocks of 3

    std::uint8_t log[80];
    ASSERT_EQ(LogEntry("b.tif", log), FAXRESULT_OK);
    EXPECT_EQ(Field(log + 42, 35), "b.tif");
    EXPECT_EQ(log[20], 2);  // pages
    EXPECT_GE(wire::LoadBE32(log + 8), 1u);  // duration

    EXPECT_TRUE(ExitedWith(d.Stop(), 0));
    EXPECT_NE(d.errors().find(too_long), std::string::npos) << d.errors();
    EXPECT_NE(d.errors().find("passed over " + folder + "/empty.tif: 0 byte(s)"), std::string::npos) << d.errors();
    EXPECT_NE(d.errors().find("passed over " + folder + "/one.tif: 1 byte(s)"), std::string::npos) << d.errors();
}

std::vector<std::string> DataFiles(const std::string& state);

// The sockets and the state carry the received faxes and the password: they
// are the owner's alone unless a group is named to share the sockets.
TEST_F(SimdTest, SocketsAndStateAreTheOwnersAloneUnlessAGroupSharesTheSockets) {
    auto mode_of = [](const std::string& path) {
        struct stat st {};
        return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777u;
    };
    const mode_t old_mask = umask(0);  // the daemon inherits a mask that narrows nothing
    const std::string state = dir_ + "/state";
    {
        Daemon d;
        ASSERT_TRUE(d.Start({"--state", state, "--loopback", "--fax-number", "1", "--any-job"})) << d.ready();
        EXPECT_EQ(mode_of(FaxSocket(dir_)), 0600u);
        EXPECT_EQ(mode_of(EwsSocket(dir_)), 0600u);
        EXPECT_EQ(mode_of(dir_ + "/sim0.ctl"), 0600u);  // the control channel
        ASSERT_EQ(SendFax("1", Bytes{1, 2, 3}), FAXRESULT_OK);
        EXPECT_TRUE(ExitedWith(d.Stop(), 0)) << d.errors();
    }
    EXPECT_EQ(mode_of(state), 0700u);
    EXPECT_EQ(mode_of(state + "/data"), 0700u);
    EXPECT_EQ(mode_of(state + "/manifest"), 0600u);
    EXPECT_EQ(mode_of(state + "/lock"), 0600u);
    const std::vector<std::string> data = DataFiles(state);
    ASSERT_FALSE(data.empty());
    for (const std::string& f : data) EXPECT_EQ(mode_of(state + "/data/" + f), 0600u) << f;

    // Shared with a group, by number and by name.
    const gid_t group = getgid() == 0 ? 1 : getgid();
    for (const std::string& named : {std::to_string(group), std::string(getgrgid(group) ? getgrgid(group)->gr_name : "")}) {
        if (named.empty()) continue;
        SCOPED_TRACE(named);
        Daemon d;
        ASSERT_TRUE(d.Start({"--socket-group=" + named})) << d.ready();
        for (const std::string& socket : {FaxSocket(dir_), EwsSocket(dir_), dir_ + "/sim0.ctl"}) {
            struct stat st {};
            ASSERT_EQ(lstat(socket.c_str(), &st), 0) << socket;
            EXPECT_EQ(st.st_mode & 07777, 0660u);
            EXPECT_EQ(st.st_gid, group);
        }
        EXPECT_TRUE(ExitedWith(d.Stop(), 0)) << d.errors();
    }
    umask(old_mask);
}

// What the state says stays true across restarts: a removed fax presented
// from the folder does not come back, and a name is never given to a second
// fax, even after the fax that had it was removed.
TEST_F(SimdTest, RemovalsAndNamesOutliveARestart) {
    const std::string state = dir_ + "/state", folder = dir_ + "/inbox";
    fs::create_directories(folder);
    WriteFile(folder + "/a.tif", Bytes{1, 2, 3});
    WriteFile(folder + "/b.tif", Bytes{4, 5, 6});
    const std::vector<std::string> args = {"--state", state, "--faxes", folder,
                                            "--loopback", "--fax-number", "1", "--any-job"};
    {
        Daemon d;
        ASSERT_TRUE(d.Start(args)) << d.ready();
        ASSERT_EQ(Remove("a.tif"), FAXRESULT_OK);
        ASSERT_EQ(SendFax("1", Bytes{7, 7}), FAXRESULT_OK);
        ASSERT_EQ(SendFax("1", Bytes{8, 8}), FAXRESULT_OK);
        ASSERT_EQ(Remove("fax0002.tif"), FAXRESULT_OK);
        EXPECT_EQ(ListNames(), (std::vector<std::string>{"b.tif", "fax0001.tif"}));
        EXPECT_TRUE(ExitedWith(d.Stop(), 0)) << d.errors();
    }
    Daemon d;
    ASSERT_TRUE(d.Start(args)) << d.ready();
    EXPECT_EQ(ListNames(), (std::vector<std::string>{"b.tif", "fax0001.tif"}));
    ASSERT_EQ(SendFax("1", Bytes{9, 9}), FAXRESULT_OK);
    EXPECT_EQ(ListNames(), (std::vector<std::string>{"b.tif", "fax0001.tif", "fax0003.tif"}));
    EXPECT_TRUE(ExitedWith(d.Stop(), 0)) << d.errors();
}

// The sent jobs kept are the newest within both bounds, in memory and in the
// state; a job larger than the byte bound keeps its record without its data.
TEST_F(SimdTest, SentJobsAreKeptWithinTheirBounds) {
    const std::string state = dir_ + "/state";
    auto kept_jobs = [&] {
        std::vector<std::string> lengths;  // the data length of each job record in the manifest
        std::istringstream in(ReadText(state + "/manifest"));
        for (std::string line; std::getline(in, line);)
            if (line.rfind("job ", 0) == 0) lengths.push_back(line.substr(line.rfind("length=") + 7));
        return lengths;
    };
    {
        Daemon d;
        ASSERT_TRUE(d.Start({"--state", state, "--keep-jobs", "2", "--keep-job-bytes=10", "--any-job"})) << d.ready();
        for (const Bytes& job : {Bytes(4, 1), Bytes(4, 2), Bytes(5, 3)}) ASSERT_EQ(SendFax("9", job), FAXRESULT_OK);
        EXPECT_NE(HttpGet("/status.json").second.find("\"sent_jobs\":2"), std::string::npos);
        ASSERT_EQ(SendFax("9", Bytes(11, 4)), FAXRESULT_OK);  // alone over the byte bound
        EXPECT_TRUE(ExitedWith(d.Stop(), 0)) << d.errors();
    }
    EXPECT_EQ(kept_jobs(), (std::vector<std::string>{"5", "0"}));
    Daemon d;
    ASSERT_TRUE(d.Start({"--state", state, "--keep-jobs=1"})) << d.ready();
    EXPECT_NE(HttpGet("/status.json").second.find("\"sent_jobs\":1"), std::string::npos);
    EXPECT_TRUE(ExitedWith(d.Stop(), 0)) << d.errors();
    EXPECT_EQ(kept_jobs(), (std::vector<std::string>{"0"}));
}

TEST_F(SimdTest, HelpDocumentsEveryOptionAndBadCommandLinesAreRefused) {
    Daemon help;
    EXPECT_FALSE(help.Start({"--help"}));
    EXPECT_TRUE(ExitedWith(help.Wait(), 0));
    for (const char* text : {"--dir", "--name", "--state", "--faxes", "--loopback", "--block-size", "--password",
                             "--fax-number", "--receive-settings", "--socket-group", "--keep-jobs", "--keep-job-bytes", "--faults", "--help", "--version", "TESSALINE_DEVICE_DIR",
                             "ctl COMMAND", "fault add COMMAND ACTION", "reply-status V", "traffic [--last N]",
                             "XDG_RUNTIME_DIR", "/run/tessaline", "ready fax=", "Example"}) {
        EXPECT_NE(help.output().find(text), std::string::npos) << text;
    }

    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"},
        {"--name"},
        {"--name", "a/b"},
        {"--block-size", "0"},
        {"--block-size", "12x"},
        {"--receive-settings", "0x100000000"},
        {"--password", std::string(32, 'p')},
        {"--fax-number=" + std::string(32, '5')},
        {"--loopback=1"},
        {"--socket-group", "no-such-group-here"},
        {"--keep-jobs", "-1"},
        {"--keep-job-bytes", "12T"},
    };
    for (const auto& args : bad) {
        SCOPED_TRACE(args[0]);
        Daemon d;
        EXPECT_FALSE(d.Start(args));
        EXPECT_TRUE(ExitedWith(d.Wait(), 2));
        EXPECT_NE(d.errors().find("tessaline-simd: "), std::string::npos) << d.errors();
        EXPECT_FALSE(Exists(FaxSocket(dir_)));
    }
}

// ---------------------------------------------------------------------------
// The state directory

sim::PersistentState SampleState() {
    sim::PersistentState s;
    for (int i = 0; i < 308; ++i) s.settings[i] = static_cast<std::uint8_t>(i * 7);
    sim::ReceivedFax a;
    a.name = "a b%c\n\xff=";  // every kind of byte that needs escaping
    a.data = {1, 2, 3};
    for (int i = 0; i < 80; ++i) a.log[i] = static_cast<std::uint8_t>(255 - i);
    sim::ReceivedFax empty;
    empty.name = "empty";
    s.received = {a, empty};
    s.removed = {"gone one.tif", "100%\n"};
    s.next_fax_number = 42;
    sim::SentJob job;
    job.announced_size = 3;
    job.recipient_count = 2;
    job.recipients = {{"9", "555 0100"}, {"", "%20"}};
    job.data = {1, 2, 3};  // the same content as fax a
    job.blocks = 1;
    job.failed_block = true;
    job.data_ended = true;
    job.outcome = 3;
    job.ended = true;
    sim::SentJob unfinished;
    unfinished.announced_size = 0xFFFFFFFFu;
    unfinished.data = {7};
    s.jobs = {job, unfinished};
    return s;
}

void ExpectSameState(const sim::PersistentState& a, const sim::PersistentState& b) {
    EXPECT_EQ(std::memcmp(a.settings, b.settings, 308), 0);
    ASSERT_EQ(a.received.size(), b.received.size());
    for (std::size_t i = 0; i < a.received.size(); ++i) {
        EXPECT_EQ(a.received[i].name, b.received[i].name);
        EXPECT_EQ(a.received[i].data, b.received[i].data);
        EXPECT_EQ(std::memcmp(a.received[i].log, b.received[i].log, 80), 0);
    }
    EXPECT_EQ(a.removed, b.removed);
    EXPECT_EQ(a.next_fax_number, b.next_fax_number);
    ASSERT_EQ(a.jobs.size(), b.jobs.size());
    for (std::size_t i = 0; i < a.jobs.size(); ++i) {
        const sim::SentJob &x = a.jobs[i], &y = b.jobs[i];
        EXPECT_EQ(x.announced_size, y.announced_size);
        EXPECT_EQ(x.recipient_count, y.recipient_count);
        ASSERT_EQ(x.recipients.size(), y.recipients.size());
        for (std::size_t k = 0; k < x.recipients.size(); ++k) {
            EXPECT_EQ(x.recipients[k].prefix, y.recipients[k].prefix);
            EXPECT_EQ(x.recipients[k].number, y.recipients[k].number);
        }
        EXPECT_EQ(x.data, y.data);
        EXPECT_EQ(x.blocks, y.blocks);
        EXPECT_EQ(x.failed_block, y.failed_block);
        EXPECT_EQ(x.data_ended, y.data_ended);
        EXPECT_EQ(x.outcome, y.outcome);
        EXPECT_EQ(x.ended, y.ended);
    }
}

std::vector<std::string> DataFiles(const std::string& state) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(state + "/data")) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class StateStoreTest : public IsolatedTest {
protected:
    std::string state() const { return dir_ + "/state"; }
};

TEST_F(StateStoreTest, KeepsEveryFieldAndWritesEachContentOnce) {
    const sim::PersistentState saved = SampleState();
    {
        sim::StateStore store;
        ASSERT_TRUE(store.Open(state())) << store.error();
        sim::PersistentState none;
        bool found = true;
        ASSERT_TRUE(store.Load(none, found)) << store.error();
        EXPECT_FALSE(found);
        ASSERT_TRUE(store.Save(saved)) << store.error();
        // {1,2,3} is shared by a fax and a job; no data, no file.
        EXPECT_EQ(DataFiles(state()).size(), 2u);
        // Saving again writes no new data file.
        ASSERT_TRUE(store.Save(saved)) << store.error();
        EXPECT_EQ(DataFiles(state()).size(), 2u);
    }
    sim::StateStore store;
    ASSERT_TRUE(store.Open(state())) << store.error();
    sim::PersistentState loaded;
    bool found = false;
    ASSERT_TRUE(store.Load(loaded, found)) << store.error();
    EXPECT_TRUE(found);
    ExpectSameState(saved, loaded);

    // Content nobody refers to any more goes; content still in use stays.
    loaded.jobs.pop_back();
    const auto before = DataFiles(state());
    ASSERT_TRUE(store.Save(loaded)) << store.error();
    EXPECT_EQ(DataFiles(state()), std::vector<std::string>{before[0]});
}

TEST_F(StateStoreTest, OneStoreAtATimePerDirectory) {
    sim::StateStore first, second;
    ASSERT_TRUE(first.Open(state())) << first.error();
    EXPECT_FALSE(second.Open(state()));
    EXPECT_NE(second.error().find("another tessaline-simd"), std::string::npos) << second.error();
}

TEST_F(StateStoreTest, LeftoversOfAnInterruptedSaveAreIgnoredAndRemoved) {
    const sim::PersistentState saved = SampleState();
    {
        sim::StateStore store;
        ASSERT_TRUE(store.Open(state()));
        ASSERT_TRUE(store.Save(saved));
    }
    const auto kept = DataFiles(state());
    // What a save killed midway leaves: partial files, and a data file that
    // no manifest names yet. A file of someone else's is not touched.
    WriteFile(state() + "/.tmp-manifest", Bytes{'x'});
    WriteFile(state() + "/data/.tmp-77.bin", Bytes{1});
    WriteFile(state() + "/data/77.bin", Bytes{1});
    WriteFile(state() + "/data/notes.txt", Bytes{1});

    sim::StateStore store;
    ASSERT_TRUE(store.Open(state()));
    sim::PersistentState loaded;
    bool found = false;
    ASSERT_TRUE(store.Load(loaded, found)) << store.error();
    ExpectSameState(saved, loaded);
    EXPECT_FALSE(Exists(state() + "/.tmp-manifest"));
    auto expected = kept;
    expected.push_back("notes.txt");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(DataFiles(state()), expected);
}

TEST_F(StateStoreTest, AStateThatCannotBeReadIsRefusedAndLeftAsItIs) {
    {
        sim::StateStore store;
        ASSERT_TRUE(store.Open(state()));
        ASSERT_TRUE(store.Save(SampleState()));
    }
    const std::string good = ReadText(state() + "/manifest");
    const std::string data_file = DataFiles(state())[0];
    auto replace = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        const std::size_t at = text.find(from);
        return at == std::string::npos ? std::string("<not found: ") + from + ">"
                                       : text.replace(at, from.size(), to);
    };
    const struct {
        const char* what;
        std::string manifest;
        const char* complaint;
    } cases[] = {
        {"cut short", good.substr(0, good.size() - 4), "no end"},
        {"cut inside a line", good.substr(0, good.size() - 1), "inside a line"},
        {"another format", replace("state 1", "state 2"), "line 1"},
        {"a data file missing", replace("data=" + data_file, "data=999.bin"), "999.bin"},
        {"a data file of another length", replace("length=3 ", "length=4 "), "not 4"},
        {"a data file outside the directory", replace("data=" + data_file, "data=../manifest"), "../manifest"},
        {"bad hex", replace("settings 0", "settings g"), "settings"},
        {"a bad flag", replace("ended=1", "ended=2"), "job"},
        {"an unknown record", replace("job ", "jab "), "unknown record \"jab\""},
        {"a recipient outside a job", replace("\nfax ", "\nto prefix= number=1\nfax "), "outside a job"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(state() + "/manifest", Bytes(c.manifest.begin(), c.manifest.end()));
        const auto files = DataFiles(state());
        sim::StateStore store;
        ASSERT_TRUE(store.Open(state()));
        sim::PersistentState loaded;
        bool found = false;
        EXPECT_FALSE(store.Load(loaded, found));
        EXPECT_NE(store.error().find(c.complaint), std::string::npos) << store.error();
        EXPECT_EQ(DataFiles(state()), files);
    }

    // The daemon refuses to start on it, and does not overwrite it.
    const std::string broken = good.substr(0, good.size() - 4);
    WriteFile(state() + "/manifest", Bytes(broken.begin(), broken.end()));
    Daemon d;
    EXPECT_FALSE(d.Start({"--state", state()}));
    EXPECT_TRUE(ExitedWith(d.Wait(), 1));
    EXPECT_NE(d.errors().find("cannot be used"), std::string::npos) << d.errors();
    EXPECT_EQ(ReadText(state() + "/manifest"), broken);
    EXPECT_FALSE(Exists(FaxSocket(dir_)));
}

}  // namespace
