// The Win32 platform layer on its own: channel discovery through the
// device-installation services, requests on an overlapped handle, the named
// mutex and local files.
#include "win_fixture.h"

#include <setupapi.h>

#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "platform/device_channel.h"
#include "platform/local_file.h"
#include "platform/named_mutex.h"

namespace {

// A class of its own, so that no test of the fax channel ever meets it.
constexpr plat::InterfaceClass kTestClass = {
    0x5E7A1C22, 0x3B44, 0x4D0E, {0x9A, 0x61, 0x0C, 0x2F, 0x7B, 0x83, 0xD4, 0x15}};

// The setup class of the device that carries the interface.
const GUID kSystemDeviceClass = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

GUID AsGuid(const plat::InterfaceClass& cls) {
    GUID g;
    std::memcpy(&g, &cls, sizeof(g));
    return g;
}

// A device whose interface of kTestClass has the reference string `ref`,
// registered and marked present as a driver would, removed again at the end.
class RegisteredInterface {
public:
    explicit RegisteredInterface(const std::string& ref) { ready_ = Register(ref); }
    ~RegisteredInterface() {
        if (set_ == INVALID_HANDLE_VALUE) return;
        if (created_) {
            SetupDiRemoveDeviceInterface(set_, &iface_);
            SetupDiRemoveDevice(set_, &device_);
        }
        SetupDiDestroyDeviceInfoList(set_);
    }
    // Empty once the interface is registered and present; else the step
    // that failed and its error.
    const std::string& failure() const { return failure_; }
    bool ready() const { return ready_; }
    const std::string& path() const { return path_; }

private:
    bool Register(const std::string& ref) {
        const GUID cls = AsGuid(kTestClass);
        set_ = SetupDiCreateDeviceInfoList(nullptr, nullptr);
        device_.cbSize = sizeof(device_);
        iface_.cbSize = sizeof(iface_);
        if (set_ == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
        if (!SetupDiCreateDeviceInfoA(set_, "TESSALINETEST", &kSystemDeviceClass, nullptr, nullptr, DICD_GENERATE_ID,
                                      &device_))
            return Fail("SetupDiCreateDeviceInfo");
        created_ = true;
        if (!SetupDiRegisterDeviceInfo(set_, &device_, 0, nullptr, nullptr, nullptr))
            return Fail("SetupDiRegisterDeviceInfo");
        if (!SetupDiCreateDeviceInterfaceA(set_, &device_, &cls, ref.c_str(), 0, &iface_))
            return Fail("SetupDiCreateDeviceInterface");
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(set_, &iface_, nullptr, 0, &required, nullptr);
        std::string buffer(required, '\0');
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(*detail);
        if (!SetupDiGetDeviceInterfaceDetailA(set_, &iface_, detail, required, nullptr, nullptr))
            return Fail("SetupDiGetDeviceInterfaceDetail");
        path_ = detail->DevicePath;
        // What the driver's interface state does: the interface is present.
        // Its key: the device's link with '#' for '\\', then '#' and the
        // reference string.
        std::string link = path_.substr(0, path_.rfind('\\'));
        for (char& c : link) {
            if (c == '\\') c = '#';
        }
        // Opened a level at a time: the whole name is longer than a registry
        // path may be at once.
        const std::string link_key = "System\\CurrentControlSet\\Control\\DeviceClasses\\" + GuidText() + "\\" + link;
        HKEY parent = nullptr, h = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, link_key.c_str(), 0, KEY_WRITE, &parent) != ERROR_SUCCESS)
            return Fail("RegOpenKeyEx");
        const std::string control = "#" + ref;
        HKEY reference = nullptr;
        LONG opened = RegCreateKeyExA(parent, control.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &reference, nullptr);
        RegCloseKey(parent);
        if (opened != ERROR_SUCCESS) return Fail("RegCreateKeyEx");
        opened = RegCreateKeyExA(reference, "Control", 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr);
        RegCloseKey(reference);
        if (opened != ERROR_SUCCESS) return Fail("RegCreateKeyEx");
        const DWORD linked = 1;
        const LONG rc =
            RegSetValueExA(h, "Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&linked), sizeof(linked));
        RegCloseKey(h);
        if (rc != ERROR_SUCCESS) return Fail("RegSetValueEx");
        return true;
    }

    static std::string GuidText() {
        const GUID g = AsGuid(kTestClass);
        char text[40];
        std::snprintf(text, sizeof(text), "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                      static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                      g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
        return text;
    }

    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device_{};
    SP_DEVICE_INTERFACE_DATA iface_{};
    std::string path_;
    std::string failure_;
    bool created_ = false;
    bool ready_ = false;

    bool Fail(const char* step) {
        failure_ = std::string(step) + " failed: " + std::to_string(GetLastError());
        return false;
    }
};

// The reference string that makes the device path exactly `length` long.
std::string RefForPathLength(std::size_t length) {
    RegisteredInterface probe("r");
    const std::size_t base = probe.path().size() - 1;
    return std::string(length - base, 'r');
}

TEST(DiscoveryTest, NoPresentInterfaceIsReportedWithTheSystemsText) {
    char path[plat::kDevicePathCapacity];
    CapturedStdout out;
    EXPECT_FALSE(plat::GetDeviceInterfacePath(kTestClass, path, sizeof(path)));
    const std::string text = out.Text();
    EXPECT_EQ(text.rfind("SetupDiEnumDeviceInterfaces failed: ", 0), 0u) << text;
    EXPECT_GT(text.size(), std::strlen("SetupDiEnumDeviceInterfaces failed: ")) << "the system's text follows";
}

TEST(DiscoveryTest, APathFitsWithItsZeroOrNotAtAll) {
    struct Case {
        std::size_t length;
        std::int32_t capacity;
        bool found;
    };
    const Case cases[] = {
        {255, plat::kDevicePathCapacity, true},
        {256, plat::kDevicePathCapacity, false},
        {100, 101, true},
        {100, 100, false},
        {100, 0, false},
        {100, -1, false},
    };
    for (const Case& c : cases) {
        const std::string ref = RefForPathLength(c.length);
        RegisteredInterface device(ref);
        ASSERT_TRUE(device.ready()) << device.failure();
        ASSERT_EQ(device.path().size(), c.length);
        char path[300];
        std::memset(path, 'z', sizeof(path));
        CapturedStdout out;
        EXPECT_EQ(plat::GetDeviceInterfacePath(kTestClass, path, c.capacity), c.found)
            << c.length << " in " << c.capacity;
        EXPECT_EQ(out.Text(), "") << "a path that does not fit is no message";
        if (c.found) {
            EXPECT_EQ(std::string(path), device.path());
        } else if (c.capacity > 0) {
            EXPECT_EQ(path[c.capacity - 1], '\0') << "the buffer ends in a zero";
        } else {
            EXPECT_EQ(path[0], 'z') << "nothing is written";
        }
    }
}

TEST(DiscoveryTest, AFoundInterfaceThatCannotBeOpenedIsNoHandle) {
    RegisteredInterface device("x");
    ASSERT_TRUE(device.ready()) << device.failure();
    char path[plat::kDevicePathCapacity];
    ASSERT_TRUE(plat::GetDeviceInterfacePath(kTestClass, path, sizeof(path)));
    // No driver stands behind the interface under test.
    EXPECT_FALSE(plat::OpenDevicePath(path).is_open());
}

// A pipe server end in this process, and a channel handle on its client end.
class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string name = "\\\\.\\pipe\\tessaline-channel-" + std::to_string(GetCurrentProcessId());
        server_ = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                                   nullptr);
        ASSERT_NE(server_, INVALID_HANDLE_VALUE);
        channel_ = plat::OpenDevicePath(name.c_str());
        ASSERT_TRUE(channel_.is_open());
    }
    void TearDown() override {
        channel_.reset();
        if (server_ != INVALID_HANDLE_VALUE) CloseHandle(server_);
    }
    void ServerWrite(const char* text) {
        DWORD n = 0;
        WriteFile(server_, text, static_cast<DWORD>(std::strlen(text)), &n, nullptr);
    }

    HANDLE server_ = INVALID_HANDLE_VALUE;
    plat::ChannelHandle channel_;
};

TEST_F(ChannelTest, RequestsCompleteWithWhatMoved) {
    std::uint32_t count = 99;
    EXPECT_TRUE(plat::SubmitRequest(channel_, plat::RequestKind::Write, 0, "hello", 5, nullptr, 0, &count));
    EXPECT_EQ(count, 5u);
    char got[8] = {};
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(server_, got, 5, &n, nullptr));
    EXPECT_STREQ(got, "hello");

    // A read that finds less than it asked for succeeds with the smaller count.
    ServerWrite("0123456789");
    char buffer[32] = {};
    EXPECT_TRUE(plat::SubmitRequest(channel_, plat::RequestKind::Read, 0, nullptr, 0, buffer, 32, &count));
    EXPECT_EQ(count, 10u);
    EXPECT_STREQ(buffer, "0123456789");
}

TEST_F(ChannelTest, AReadWaitsUntilDataArrives) {
    std::thread late([this] {
        Sleep(200);
        ServerWrite("late");
    });
    char buffer[8] = {};
    std::uint32_t count = 0;
    EXPECT_TRUE(plat::SubmitRequest(channel_, plat::RequestKind::Read, 0, nullptr, 0, buffer, 8, &count));
    late.join();
    EXPECT_EQ(count, 4u);
    EXPECT_STREQ(buffer, "late");
}

TEST_F(ChannelTest, FailedRequests) {
    std::uint8_t input[4] = {16, 0, 0, 0}, output[16] = {};
    std::uint32_t count = 99;
    // A pipe takes no device-control request.
    EXPECT_FALSE(plat::SubmitRequest(channel_, plat::RequestKind::Control, 0x22E004, input, 4, output, 16, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(plat::SubmitRequest(plat::ChannelHandle(INVALID_HANDLE_VALUE), plat::RequestKind::Read, 0, nullptr, 0,
                                     output, 16, &count));
    EXPECT_FALSE(plat::SubmitRequest(plat::ChannelHandle(nullptr), plat::RequestKind::Read, 0, nullptr, 0, output, 16,
                                     &count));
    // The driver's end goes away: the request fails.
    CloseHandle(server_);
    server_ = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(plat::SubmitRequest(channel_, plat::RequestKind::Read, 0, nullptr, 0, output, 16, &count));
}

TEST(NamedMutexTest, OwnedByItsThreadRecursivelyAndBoundedWhenHeldElsewhere) {
    const std::string name = "tessaline-test-mutex-" + std::to_string(GetCurrentProcessId());
    const plat::MutexHandle m = plat::OpenNamedMutex(name.c_str());
    ASSERT_TRUE(m.is_open());
    EXPECT_EQ(plat::WaitNamedMutex(m, 0), plat::MutexWait::Acquired);
    EXPECT_EQ(plat::WaitNamedMutex(m, 0), plat::MutexWait::Acquired) << "recursive for its owner";

    plat::MutexWait other = plat::MutexWait::Acquired;
    bool released_elsewhere = true;
    std::thread([&] {
        const plat::MutexHandle again = plat::OpenNamedMutex(name.c_str());
        other = plat::WaitNamedMutex(again, 100);
        released_elsewhere = plat::ReleaseNamedMutex(again);
    }).join();
    EXPECT_EQ(other, plat::MutexWait::TimedOut);
    EXPECT_FALSE(released_elsewhere) << "a release by a thread that does not own it fails harmlessly";

    EXPECT_TRUE(plat::ReleaseNamedMutex(m));
    EXPECT_TRUE(plat::ReleaseNamedMutex(m));
    EXPECT_FALSE(plat::ReleaseNamedMutex(m));
    EXPECT_EQ(plat::WaitNamedMutex(plat::MutexHandle(), 0), plat::MutexWait::Failed);
}

TEST(LocalFileTest, LoadReadsTheWholeFile) {
    TempDirectory temp;
    const std::string path = temp.path() + "page.tif";
    const std::string image("II*\0 fax image", 14);
    {
        std::ofstream out(path, std::ios::binary);
        out.write(image.data(), static_cast<std::streamsize>(image.size()));
    }
    plat::FileBuffer data;
    ASSERT_EQ(plat::LoadFile(path.c_str(), data), plat::FileLoad::Ok);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data.data()), data.size()), image);

    const std::string empty = temp.path() + "empty.tif";
    std::ofstream(empty).close();
    EXPECT_EQ(plat::LoadFile(empty.c_str(), data), plat::FileLoad::Ok);
    EXPECT_EQ(data.size(), 0u);
    EXPECT_EQ(data.data(), nullptr);

    EXPECT_EQ(plat::LoadFile((temp.path() + "missing.tif").c_str(), data), plat::FileLoad::OpenFailed);
    EXPECT_EQ(plat::LoadFile(temp.path().c_str(), data), plat::FileLoad::OpenFailed) << "a folder";
    EXPECT_EQ(plat::LoadFile(nullptr, data), plat::FileLoad::OpenFailed);
}

TEST(LocalFileTest, StoreReplacesTheTargetOnlyWhenComplete) {
    TempDirectory temp;
    const std::string target = temp.path() + "fax.tif";
    const std::uint8_t first[] = {1, 2, 3}, second[] = {9, 8, 7, 6, 5};
    ASSERT_EQ(plat::StoreFile(target.c_str(), first, sizeof(first)), plat::FileStore::Ok);
    ASSERT_EQ(plat::StoreFile(target.c_str(), second, sizeof(second)), plat::FileStore::Ok);
    plat::FileBuffer data;
    ASSERT_EQ(plat::LoadFile(target.c_str(), data), plat::FileLoad::Ok);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data.data()), data.size()), std::string("\x09\x08\x07\x06\x05"));

    // A relative name goes to the current directory, with forward slashes too.
    char saved[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryA(temp.path().c_str()));
    EXPECT_EQ(plat::StoreFile("relative.tif", first, sizeof(first)), plat::FileStore::Ok);
    ASSERT_TRUE(CreateDirectoryA("sub", nullptr));
    EXPECT_EQ(plat::StoreFile("sub/slashed.tif", first, sizeof(first)), plat::FileStore::Ok);
    SetCurrentDirectoryA(saved);
    EXPECT_NE(GetFileAttributesA((temp.path() + "relative.tif").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesA((temp.path() + "sub\\slashed.tif").c_str()), INVALID_FILE_ATTRIBUTES);

    EXPECT_EQ(plat::StoreFile((temp.path() + "missing\\fax.tif").c_str(), first, 3), plat::FileStore::OpenFailed);
    EXPECT_EQ(plat::StoreFile(temp.path().c_str(), first, 3), plat::FileStore::OpenFailed) << "no file name";
    // A folder in the target's place stays, and no new file is left beside it.
    EXPECT_EQ(plat::StoreFile((temp.path() + "sub").c_str(), first, 3), plat::FileStore::WriteFailed);
    EXPECT_NE(GetFileAttributesA((temp.path() + "sub").c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((temp.path() + "~*").c_str(), &found);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE) << found.cFileName;
    if (h != INVALID_HANDLE_VALUE) FindClose(h);
}

}  // namespace

// A device or a pipe at the path is written as it is: no file is put in its
// place and no temporary file is made beside it.
TEST(LocalFileTest, StoreWritesADeviceOrAPipeAsItIs) {
    TempDirectory temp;
    const std::uint8_t bytes[] = {4, 5, 6, 7};
    char saved[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryA(temp.path().c_str()));
    EXPECT_EQ(plat::StoreFile("NUL", bytes, sizeof(bytes)), plat::FileStore::Ok);
    SetCurrentDirectoryA(saved);
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((temp.path() + "*NUL*").c_str(), &found);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE) << found.cFileName;
    if (h != INVALID_HANDLE_VALUE) FindClose(h);

    const std::string pipe = "\\\\.\\pipe\\tessaline-store-" + std::to_string(GetCurrentProcessId());
    HANDLE server = CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 4096, 0,
                                     nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    std::string received;
    std::thread reader([&] {
        ConnectNamedPipe(server, nullptr);
        char buffer[16];
        DWORD got = 0;
        while (ReadFile(server, buffer, sizeof(buffer), &got, nullptr) && got > 0) received.append(buffer, got);
    });
    EXPECT_EQ(plat::StoreFile(pipe.c_str(), bytes, sizeof(bytes)), plat::FileStore::Ok);
    reader.join();
    CloseHandle(server);
    EXPECT_EQ(received, std::string("\x04\x05\x06\x07"));
}
