// libtessaline.so as a host sees it: exactly its public functions (the two
// entry points, and device_listing.h's listing and lock probe), and a C host
// program built against the installed header.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <set>
#include <string>

#include "tools/com_ref.h"
#include "sim_fixture.h"

extern char** environ;

namespace {

TEST(SharedLibrary, ExportsOnlyItsPublicFunctions) {
    std::FILE* nm = popen("nm -D --defined-only " LIBTESSALINE_PATH, "r");
    ASSERT_NE(nm, nullptr);
    std::set<std::string> functions;
    char line[512];
    while (std::fgets(line, sizeof(line), nm)) {
        char type = 0;
        char name[400] = {};
        if (std::sscanf(line, "%*s %c %399s", &type, name) == 2 && (type == 'T' || type == 'D' || type == 'B'))
            functions.insert(name);
    }
    ASSERT_EQ(pclose(nm), 0);
    EXPECT_EQ(functions, (std::set<std::string>{
                             "DllCanUnloadNow", "DllGetClassObject",
                             "_ZN9tessaline11ListDevicesERK16TSL_DEVICE_CLASS",               // ListDevices
                             "_ZN9tessaline14ClassDirectoryB5cxx11ERK16TSL_DEVICE_CLASS",     // ClassDirectory
                             "_ZN9tessaline15DeviceDirectoryB5cxx11Ev",                       // DeviceDirectory
                             "_ZN9tessaline15ProbeAccessLockEv",                              // ProbeAccessLock
                         }));
}

class SharedLibraryTest : public SimTest {};

TEST_F(SharedLibraryTest, ObjectsWorkThroughTheLoadedLibrary) {
    void* lib = dlopen(LIBTESSALINE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto get_class_object = reinterpret_cast<HRESULT (*)(REFCLSID, REFIID, void**)>(dlsym(lib, "DllGetClassObject"));
    auto can_unload = reinterpret_cast<HRESULT (*)()>(dlsym(lib, "DllCanUnloadNow"));
    ASSERT_NE(get_class_object, nullptr);
    ASSERT_NE(can_unload, nullptr);
    {
        Ref<IClassFactory> factory;
        ASSERT_EQ(get_class_object(CLSID_USBFAX, IID_IClassFactory, factory.out()), S_OK);
        Ref<IUSBFAX> fax;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUSBFAX, fax.out()), S_OK);
        fw().state().SetReceiveSettings(0x01020304);
        TSL_ULONG value = 0;
        FAXSTATUS status = FAXSTATUS_CMD_FAIL;
        EXPECT_EQ(fax->GetFaxReceiveSettings(&value, &status), S_OK);
        EXPECT_EQ(status, FAXSTATUS_OK);
        EXPECT_EQ(value, 0x01020304u);
        EXPECT_EQ(can_unload(), S_FALSE);
    }
    EXPECT_EQ(can_unload(), S_OK);
    dlclose(lib);
}

TEST_F(SharedLibraryTest, TheExampleCHostRuns) {
    fw().state().AddReceivedFax("fax0001.tif", sim::Bytes(100, 1));
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    pid_t pid = -1;
    char* argv[] = {const_cast<char*>(EXAMPLE_HOST_PATH), nullptr};
    ASSERT_EQ(posix_spawn(&pid, EXAMPLE_HOST_PATH, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string out;
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof(buf))) > 0;) out.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(out, "status 0, 1 received fax(es)\n");
}

}  // namespace
