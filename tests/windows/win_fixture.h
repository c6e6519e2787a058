// Test fixtures for Tessaline.dll under Windows (or Wine).
//
// The DLL is loaded from the directory of the test program for each test and
// unloaded after it, so every test starts with a fresh module: no class
// objects, no module locks, no cached type descriptions. Its four exports are
// called through the addresses the loader gives, as a host does.
#ifndef TESSALINE_TESTS_WINDOWS_WIN_FIXTURE_H
#define TESSALINE_TESTS_WINDOWS_WIN_FIXTURE_H

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>

#include "program_dir.h"
#include "tools/com_ref.h"
#include "sim/driver_device_win32.h"
#include "sim/pipe_device_win32.h"

// Tessaline.dll in the program directory (program_dir.h).
std::string TessalinePath();
// The command line that runs a helper program of the program directory.
std::string HelperCommand(const char* program, const char* arguments);

// A fresh directory for the test's files, removed with its contents after it.
class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    const std::string& path() const { return path_; }  // with a final backslash

private:
    std::string path_;
};

class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) { return get_class_object_(clsid, iid, out); }
    HRESULT CanUnloadNow() { return can_unload_now_(); }
    HRESULT RegisterServer() { return register_server_(); }
    HRESULT UnregisterServer() { return unregister_server_(); }

    // Creates an object through its class object, as a host does.
    template <class T>
    HRESULT Create(REFCLSID clsid, REFIID iid, Ref<T>& out) {
        return CreateObjectWith(get_class_object_, clsid, iid, out);
    }

    HMODULE module_ = nullptr;

private:
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    using NoArgumentFn = HRESULT(STDAPICALLTYPE*)();
    GetClassObjectFn get_class_object_ = nullptr;
    NoArgumentFn can_unload_now_ = nullptr;
    NoArgumentFn register_server_ = nullptr;
    NoArgumentFn unregister_server_ = nullptr;
};

// Points the transport at no device: discovery finds none under Wine.
class NoDeviceTest : public ModuleTest {
protected:
    void SetUp() override;
};

// How the simulated device is reached: behind named pipes named by
// explicit device paths, or through its driver, found by discovery.
enum class Front { Pipe, Driver };
std::string FrontName(const ::testing::TestParamInfo<Front>& info);

// Installs the simulated device's driver from the .inf beside the test
// program unless it is installed; once per process.
::testing::AssertionResult DriverInstalled();

// A simulated device served in this process behind the front of the test's
// parameter, and the transport pointed at it (for the driver: no device path
// set, so discovery finds it).
class DeviceTest : public ModuleTest, public ::testing::WithParamInterface<Front> {
protected:
    void SetUp() override;
    void TearDown() override;
    sim::Firmware& fw() { return pipes_ ? pipes_->firmware() : driver_->firmware(); }
    bool through_driver() const { return GetParam() == Front::Driver; }

    std::unique_ptr<sim::PipeDevice> pipes_;
    std::unique_ptr<sim::DriverDevice> driver_;
};

// The simulated device serves each connection on a thread of its own, so what
// it records of a request without a reply shows up a moment after the host's
// call returns. True once `condition` holds, false if it does not within a
// few seconds.
template <class Condition>
bool Eventually(Condition condition) {
    for (int i = 0; i < 500; ++i) {
        if (condition()) return true;
        Sleep(10);
    }
    return condition();
}

// Sets or clears an environment variable for this process and the C runtime
// that the DLL shares with it.
void SetEnv(const char* name, const char* value);

// Collects what is written to standard output (by this program or the DLL)
// while it lives.
class CapturedStdout {
public:
    CapturedStdout();
    ~CapturedStdout();
    // Stops capturing and returns the text.
    std::string Text();

private:
    int saved_ = -1;
    std::string file_;
    bool done_ = false;
    std::string text_;
};

// Another process, started from the program directory, whose standard output
// is read line by line.
class ChildProcess {
public:
    ~ChildProcess();
    bool Start(const std::string& command_line);
    // The next line of its output, without the line break; empty at its end.
    std::string ReadLine();
    void Kill();
    DWORD Wait();  // its exit code
    bool Running() const;

private:
    HANDLE process_ = nullptr;
    HANDLE out_ = nullptr;
};

#endif
