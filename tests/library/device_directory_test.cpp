// Discovery searches the device directory and a class subdirectory only when
// nobody but root and the caller can add entries to them, and says why on
// standard error when it refuses one. The simulated device creates
// directories that pass, and refuses to serve in one that would not.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "platform/device_directory.h"
#include "protocol/fax_received.h"
#include "sim_fixture.h"
#include "transport/fax_device.h"

extern char** environ;

namespace {

constexpr uid_t kNobody = 65534;

// What `body` wrote to standard error.
std::string StandardErrorOf(const std::function<void()>& body) {
    std::fflush(stderr);
    char path[] = "/tmp/tessaline-stderr-XXXXXX";
    const int file = mkstemp(path);
    if (file < 0) return "(no capture)";
    unlink(path);
    const int saved = dup(2);
    dup2(file, 2);
    body();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string text;
    char buf[512];
    lseek(file, 0, SEEK_SET);
    for (ssize_t n; (n = read(file, buf, sizeof(buf))) > 0;) text.append(buf, static_cast<std::size_t>(n));
    close(file);
    return text;
}

std::string FaxClassDirectory(const std::string& device_dir) {
    return device_dir + "/" + plat::FormatInterfaceClass(GUID_DEVINTERFACE_FAX_CHANNEL);
}

// Opens the fax channel as an operation would: true when a device was found
// and opened.
bool FaxChannelOpens() {
    return OpenDeviceInterface(GUID_DEVINTERFACE_FAX_CHANNEL).is_open();
}

class DeviceDirectoryTest : public SimTest {
protected:
    // Opens the fax channel and checks the outcome against `refusal` (empty:
    // the device is found, silently), both through an open and through the
    // listing that 'tessaline devices' shows.
    void ExpectSearch(const std::string& refusal) {
        bool opened = false;
        const std::string err = StandardErrorOf([&] { opened = FaxChannelOpens(); });
        const plat::ClassListing listing = plat::ListDeviceInterfaces(GUID_DEVINTERFACE_FAX_CHANNEL);
        if (refusal.empty()) {
            EXPECT_TRUE(opened);
            EXPECT_EQ(err, "");
            EXPECT_EQ(listing.trust, plat::DirectoryTrust::Trusted);
            EXPECT_EQ(listing.entries.size(), 1u);
        } else {
            EXPECT_FALSE(opened);
            EXPECT_EQ(err, "libtessaline: not searching " + refusal + "\n");
            EXPECT_EQ(listing.trust, plat::DirectoryTrust::Untrusted);
            EXPECT_EQ(listing.refusal, refusal);
            EXPECT_TRUE(listing.entries.empty());
        }
    }
};

TEST_F(DeviceDirectoryTest, SearchesOnlyDirectoriesThatNobodyElseCanWrite) {
    const std::string group = "writable by its group (gid " + std::to_string(getegid()) + ")";
    struct Case {
        mode_t mode;
        std::string why;  // empty: searched
    } cases[] = {
        {0700, ""},
        {0750, ""},
        {0755, ""},
        {0775, group},
        {0770, group},
        {0757, "writable by other users"},
        {0777, "writable by other users"},
        {01777, "writable by other users"},  // sticky: others still create entries
    };
    const std::string class_dir = FaxClassDirectory(dir_);
    for (const std::string& target : {dir_, class_dir}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(target + " mode " + std::to_string(c.mode));
            ASSERT_EQ(chmod(target.c_str(), c.mode), 0);
            ExpectSearch(c.why.empty() ? "" : target + ": " + c.why);
            ASSERT_EQ(chmod(target.c_str(), 0755), 0);
        }
    }
    // Every refused search found no device; the device saw nothing of it.
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
}

TEST_F(DeviceDirectoryTest, DirectoryOwnedByAnotherUserIsNotSearched) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can give a directory to another user";
    const std::string class_dir = FaxClassDirectory(dir_);
    for (const std::string& target : {dir_, class_dir}) {
        SCOPED_TRACE(target);
        ASSERT_EQ(chown(target.c_str(), kNobody, kNobody), 0);
        ExpectSearch(target + ": owned by another user (uid " + std::to_string(kNobody) + ")");
        ASSERT_EQ(chown(target.c_str(), 0, 0), 0);
        ExpectSearch("");
    }
}

TEST_F(DeviceDirectoryTest, SymbolicLinksAreNotFollowed) {
    // The device directory named through a link to it.
    const std::string link = dir_ + ".link";
    ASSERT_EQ(symlink(dir_.c_str(), link.c_str()), 0);
    setenv("TESSALINE_DEVICE_DIR", link.c_str(), 1);
    ExpectSearch(link + ": a symbolic link");
    setenv("TESSALINE_DEVICE_DIR", dir_.c_str(), 1);
    unlink(link.c_str());

    // A class subdirectory that is a link to a directory holding the socket.
    const std::string class_dir = FaxClassDirectory(dir_);
    ASSERT_EQ(rename(class_dir.c_str(), (dir_ + "/real").c_str()), 0);
    ASSERT_EQ(symlink("real", class_dir.c_str()), 0);
    ExpectSearch(class_dir + ": a symbolic link");
}

TEST_F(DeviceDirectoryTest, AnExplicitDevicePathIsTheUsersChoice) {
    // The path named in the environment is opened whatever its directory.
    ASSERT_EQ(chmod(FaxClassDirectory(dir_).c_str(), 0777), 0);
    setenv("TESSALINE_FAX_DEVICE", device_->fax_path().c_str(), 1);
    std::uint32_t count = 99;
    const std::string err = StandardErrorOf([&] { EXPECT_EQ(DeviceGetReceivedFaxCount(&count), FAXRESULT_OK); });
    EXPECT_EQ(err, "");
    EXPECT_EQ(count, 0u);
}

TEST_F(DeviceDirectoryTest, OperationReportsNoDeviceAndSaysWhy) {
    const std::string class_dir = FaxClassDirectory(dir_);
    ASSERT_EQ(chmod(class_dir.c_str(), 0777), 0);
    std::uint32_t count = 99;
    FAXRESULT r = FAXRESULT_OK;
    const std::string err = StandardErrorOf([&] { r = DeviceGetReceivedFaxCount(&count); });
    EXPECT_EQ(r, FAXRESULT_NO_DEVICE);
    EXPECT_EQ(err, "libtessaline: not searching " + class_dir + ": writable by other users\n");
    EXPECT_EQ(fw().traffic().FaxConnectionsOpened(), 0u);

    // TESSALINE_DIAGNOSTICS=none silences it like every discovery message.
    setenv("TESSALINE_DIAGNOSTICS", "none", 1);
    EXPECT_EQ(StandardErrorOf([&] { r = DeviceGetReceivedFaxCount(&count); }), "");
    EXPECT_EQ(r, FAXRESULT_NO_DEVICE);
}

using DeviceDirectoryOwnerTest = IsolatedTest;

// Root's directories are trusted by every user, the caller's own by the
// caller, anyone else's by nobody. Checked in a child that takes another
// user's identity.
TEST_F(DeviceDirectoryOwnerTest, RootAndTheCallerAreTheTrustedOwners) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    const std::string mine = dir_ + "/nobody", other = dir_ + "/daemon", roots = dir_ + "/root";
    for (const std::string& d : {mine, other, roots}) ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    ASSERT_EQ(chown(mine.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(chown(other.c_str(), 1, 1), 0);
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    // Root's device directory may be one that others can pass through but
    // not list.
    ASSERT_EQ(mkdir(FaxClassDirectory(roots).c_str(), 0755), 0);
    ASSERT_EQ(chmod(roots.c_str(), 0711), 0);
    setenv("TESSALINE_DEVICE_DIR", roots.c_str(), 1);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (seteuid(kNobody) != 0) _exit(10);
        std::string why;
        if (plat::CheckDeviceDirectory(roots, why) != plat::DirectoryTrust::Trusted) _exit(11);
        if (plat::CheckDeviceDirectory(mine, why) != plat::DirectoryTrust::Trusted) _exit(12);
        if (plat::CheckDeviceDirectory(other, why) != plat::DirectoryTrust::Untrusted) _exit(13);
        if (why != "owned by another user (uid 1)") _exit(14);
        if (plat::ListDeviceInterfaces(GUID_DEVINTERFACE_FAX_CHANNEL).trust != plat::DirectoryTrust::Trusted) _exit(15);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10 seteuid, 11 root's, 12 own, 13/14 another user's, 15 listing";

    // Root trusts nobody's directory.
    std::string why;
    EXPECT_EQ(plat::CheckDeviceDirectory(mine, why), plat::DirectoryTrust::Untrusted);
    EXPECT_EQ(why, "owned by another user (uid 65534)");
}

TEST_F(DeviceDirectoryOwnerTest, SimulatedDeviceWillNotServeWhereItWouldNotBeFound) {
    ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
    sim::SimDevice device(dir_);
    EXPECT_FALSE(device.Start());
    EXPECT_NE(device.error().find("not serving in " + dir_ + ": writable by other users"), std::string::npos)
        << device.error();

    ASSERT_EQ(chmod(dir_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(FaxClassDirectory(dir_).c_str(), 0775), 0);
    ASSERT_EQ(chmod(FaxClassDirectory(dir_).c_str(), 0775), 0);
    EXPECT_FALSE(device.Start());
    EXPECT_NE(device.error().find(FaxClassDirectory(dir_) + ": writable by its group"), std::string::npos)
        << device.error();
}

// tessaline-simd creates the device directory, its parents and the class
// subdirectories so that discovery searches them, whatever the umask.
TEST_F(DeviceDirectoryOwnerTest, DaemonCreatesDirectoriesThatPassUnderAPermissiveUmask) {
    const std::string device_dir = dir_ + "/run/fax";
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    char* argv[] = {const_cast<char*>(SIMD_PATH), const_cast<char*>("--dir"), const_cast<char*>(device_dir.c_str()),
                    nullptr};
    const mode_t old_umask = umask(0);  // group and others may write whatever is created
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, SIMD_PATH, &actions, nullptr, argv, environ);
    umask(old_umask);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    ASSERT_EQ(rc, 0);

    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) continue;
        char buf[256];
        const ssize_t n = read(out[0], buf, sizeof(buf));
        if (n <= 0) break;
        line.append(buf, static_cast<std::size_t>(n));
    }
    close(out[0]);
    EXPECT_EQ(line.rfind("ready ", 0), 0u) << line;

    for (const std::string& d : {dir_ + "/run", device_dir, FaxClassDirectory(device_dir)}) {
        struct stat st {};
        ASSERT_EQ(stat(d.c_str(), &st), 0) << d;
        EXPECT_EQ(st.st_mode & 07777, 0755u) << d;
    }
    setenv("TESSALINE_DEVICE_DIR", device_dir.c_str(), 1);
    std::uint32_t count = 99;
    EXPECT_EQ(DeviceGetReceivedFaxCount(&count), FAXRESULT_OK);

    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
