// Discovery and the device listing that 'tessaline devices' shows are one
// routine: for every kind of entry a class subdirectory can hold, the
// listing, the command and an operation's open name the same device, and
// the open reaches the listener the listing named.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "platform/device_directory.h"
#include "sim_fixture.h"
#include "transport/fax_device.h"

extern char** environ;

namespace {

// A Unix socket that listens at `path` and never accepts by itself: every
// connection made to it waits in its queue until Take().
class Listener {
public:
    explicit Listener(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd_, 16) != 0) Close();
    }
    ~Listener() { Close(); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    bool ok() const { return fd_ >= 0; }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    // The connections waiting, each accepted and closed.
    int Take() {
        int n = 0;
        for (pollfd p{fd_, POLLIN, 0}; fd_ >= 0 && poll(&p, 1, 0) == 1; p.revents = 0) {
            const int c = accept(fd_, nullptr, nullptr);
            if (c < 0) break;
            close(c);
            ++n;
        }
        return n;
    }

private:
    int fd_ = -1;
};

// What `tessaline --json devices` says the fax channel's operation would
// use ("null" when none).
std::string CommandWouldUse() {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return "(no pipe)";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    char* argv[] = {const_cast<char*>(TESSALINE_CLI_PATH), const_cast<char*>("--json"),
                    const_cast<char*>("devices"), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, TESSALINE_CLI_PATH, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; rc == 0 && (n = read(out[0], buf, sizeof(buf))) > 0;) text.append(buf, static_cast<std::size_t>(n));
    close(out[0]);
    if (rc != 0) return "(not run)";
    int status = 0;
    waitpid(pid, &status, 0);
    // The fax channel comes first.
    const std::string key = "\"would_use\":";
    const std::size_t at = text.find(key);
    if (at == std::string::npos) return "(no would_use in " + text + ")";
    const std::size_t start = at + key.size();
    if (text.compare(start, 4, "null") == 0) return "null";
    const std::size_t end = text.find('"', start + 1);
    return text.substr(start + 1, end - start - 1);
}

using DeviceListingTest = IsolatedTest;

TEST_F(DeviceListingTest, ListingCommandAndOpenNameTheSameDevice) {
    const std::string class_dir = plat::ClassDirectory(GUID_DEVINTERFACE_FAX_CHANNEL);
    ASSERT_EQ(mkdir(class_dir.c_str(), 0755), 0);
    // The device an operation falls back on, behind each case's entry.
    const std::string fallback = class_dir + "/b-device";
    Listener device(fallback);
    ASSERT_TRUE(device.ok());

    enum Target { Fallback, Entry, Nothing };
    struct Case {
        const char* name;
        std::function<bool(const std::string& path)> make;  // makes the entry "a-..." at path
        plat::DeviceState state;                            // what the listing makes of it
        Target used;                                        // what an open uses, and whose listener it reaches
    };
    std::unique_ptr<Listener> own;  // the entry's own listener, for the cases that have one
    const Case cases[] = {
        {"regular file", [](const std::string& p) { return close(open(p.c_str(), O_CREAT | O_WRONLY, 0600)) == 0; },
         plat::DeviceState::NotASocket, Fallback},
        {"directory", [](const std::string& p) { return mkdir(p.c_str(), 0700) == 0; }, plat::DeviceState::NotASocket,
         Fallback},
        {"fifo", [](const std::string& p) { return mkfifo(p.c_str(), 0600) == 0; }, plat::DeviceState::NotASocket,
         Fallback},
        {"link to a socket", [&](const std::string& p) { return symlink(fallback.c_str(), p.c_str()) == 0; },
         plat::DeviceState::Live, Entry},
        {"dangling link", [&](const std::string& p) { return symlink((class_dir + "/gone").c_str(), p.c_str()) == 0; },
         plat::DeviceState::NotASocket, Fallback},
        {"link to a directory", [&](const std::string& p) { return symlink(class_dir.c_str(), p.c_str()) == 0; },
         plat::DeviceState::NotASocket, Fallback},
        {"live socket",
         [&](const std::string& p) {
             own = std::make_unique<Listener>(p);
             return own->ok();
         },
         plat::DeviceState::Live, Entry},
        {"socket whose device died",
         [&](const std::string& p) {
             own = std::make_unique<Listener>(p);
             own->Close();  // the socket file stays, refusing connections
             return true;
         },
         plat::DeviceState::Stale, Fallback},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string entry = class_dir + "/a-entry";
        ASSERT_TRUE(c.make(entry));
        // A link to the fallback's socket reaches the fallback's listener.
        Listener& reached = c.used == Entry && own ? *own : device;
        const std::string expected = c.used == Fallback ? fallback : entry;

        const plat::ClassListing listing = plat::ListDeviceInterfaces(GUID_DEVINTERFACE_FAX_CHANNEL);
        ASSERT_EQ(listing.trust, plat::DirectoryTrust::Trusted);
        ASSERT_EQ(listing.entries.size(), 2u);
        EXPECT_EQ(listing.entries[0].path, entry);
        EXPECT_EQ(listing.entries[0].state, c.state);
        ASSERT_GE(listing.first_usable, 0);
        EXPECT_EQ(listing.entries[static_cast<std::size_t>(listing.first_usable)].path, expected);
        EXPECT_EQ(CommandWouldUse(), expected);

        // The listings' probes are behind; the open connects once, to the
        // listener of the device named.
        device.Take();
        if (own) own->Take();
        const plat::ChannelHandle h = OpenDeviceInterface(GUID_DEVINTERFACE_FAX_CHANNEL);
        EXPECT_TRUE(h.is_open());
        EXPECT_EQ(reached.Take(), 1);
        if (&reached != &device) {
            EXPECT_EQ(device.Take(), 0);
        }

        own.reset();
        std::error_code ec;
        std::filesystem::remove_all(entry, ec);
    }

    // No device at all: the listing, the command and the open agree on none.
    device.Close();
    unlink(fallback.c_str());
    EXPECT_EQ(plat::ListDeviceInterfaces(GUID_DEVINTERFACE_FAX_CHANNEL).first_usable, -1);
    EXPECT_EQ(CommandWouldUse(), "null");
    EXPECT_FALSE(OpenDeviceInterface(GUID_DEVINTERFACE_FAX_CHANNEL).is_open());
}

// The connection that told discovery a device is live is the one the open
// uses: a socket whose name goes between the two is still the device opened.
TEST_F(DeviceListingTest, SocketThatVanishesBetweenListingAndOpenIsStillTheOneOpened) {
    const std::string class_dir = plat::ClassDirectory(GUID_DEVINTERFACE_FAX_CHANNEL);
    ASSERT_EQ(mkdir(class_dir.c_str(), 0755), 0);
    Listener first(class_dir + "/a-device"), second(class_dir + "/b-device");
    ASSERT_TRUE(first.ok() && second.ok());

    char path[plat::kDevicePathCapacity];
    ASSERT_TRUE(plat::GetDeviceInterfacePath(GUID_DEVINTERFACE_FAX_CHANNEL, path, sizeof(path)));
    EXPECT_EQ(std::string(path), class_dir + "/a-device");
    ASSERT_EQ(unlink(path), 0);
    const plat::ChannelHandle h = plat::OpenDevicePath(path);
    EXPECT_TRUE(h.is_open());
    EXPECT_EQ(first.Take(), 1);
    EXPECT_EQ(second.Take(), 0);

    // The next discovery lists again and finds the one that is left.
    EXPECT_EQ(CommandWouldUse(), class_dir + "/b-device");
    EXPECT_TRUE(OpenDeviceInterface(GUID_DEVINTERFACE_FAX_CHANNEL).is_open());
    EXPECT_EQ(second.Take(), 2);  // the command's probe and the open
}

}  // namespace
