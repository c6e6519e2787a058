// Test fixtures for Tessaline.dll under Windows (or Wine): loading the DLL
// per test, a temporary directory, and the simulated device behind pipes.
#include "win_fixture.h"

#include "sim/driver_install_win32.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

std::string TessalinePath() { return ProgramDirectory() + "Tessaline.dll"; }

std::string HelperCommand(const char* program, const char* arguments) {
    std::string line = "\"";
    line.append(ProgramDirectory()).append(program).append("\" ").append(arguments);
    return line;
}

namespace {

LONG g_counter = 0;

std::string UniqueName(const char* prefix) {
    return prefix + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(InterlockedIncrement(&g_counter));
}

void RemoveTree(const std::string& dir) {
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((dir + "*").c_str(), &found);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..") continue;
            const std::string full = dir + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(full + "\\");
            } else {
                SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(full.c_str());
            }
        } while (FindNextFileA(h, &found));
        FindClose(h);
    }
    RemoveDirectoryA(dir.c_str());
}

}  // namespace

TempDirectory::TempDirectory() {
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    path_ = std::string(base) + UniqueName("tsl-") + "\\";
    CreateDirectoryA(path_.c_str(), nullptr);
}

TempDirectory::~TempDirectory() { RemoveTree(path_); }

void SetEnv(const char* name, const char* value) {
    SetEnvironmentVariableA(name, value);
    const std::string assignment = std::string(name) + "=" + (value ? value : "");
    _putenv(assignment.c_str());
}

namespace {

// An exported function of the module, as the type it is.
template <class Fn>
Fn Export(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

void ModuleTest::SetUp() {
    module_ = LoadLibraryA(TessalinePath().c_str());
    ASSERT_NE(module_, nullptr) << TessalinePath() << ": error " << GetLastError();
    get_class_object_ = Export<GetClassObjectFn>(module_, "DllGetClassObject");
    can_unload_now_ = Export<NoArgumentFn>(module_, "DllCanUnloadNow");
    register_server_ = Export<NoArgumentFn>(module_, "DllRegisterServer");
    unregister_server_ = Export<NoArgumentFn>(module_, "DllUnregisterServer");
    ASSERT_TRUE(get_class_object_ && can_unload_now_ && register_server_ && unregister_server_);
}

void ModuleTest::TearDown() {
    if (module_) FreeLibrary(module_);
    module_ = nullptr;
}

void NoDeviceTest::SetUp() {
    SetEnv("TESSALINE_FAX_DEVICE", nullptr);
    SetEnv("TESSALINE_EWS_DEVICE", nullptr);
    ModuleTest::SetUp();
}

std::string FrontName(const ::testing::TestParamInfo<Front>& info) {
    return info.param == Front::Pipe ? "Pipe" : "Driver";
}

::testing::AssertionResult DriverInstalled() {
    static bool done = false;
    static std::string failure;
    if (!done) {
        done = true;
        bool installed = false;
        if (!sim::DriverDevicesInstalled()) sim::InstallDriverDevices(sim::InfBesideProgram(), installed, failure);
    }
    if (!failure.empty()) return ::testing::AssertionFailure() << "installing the driver: " << failure;
    return ::testing::AssertionSuccess();
}

void DeviceTest::SetUp() {
    SetEnv("TESSALINE_FAX_DEVICE", nullptr);
    SetEnv("TESSALINE_EWS_DEVICE", nullptr);
    if (through_driver()) {
        ASSERT_TRUE(DriverInstalled());
        driver_ = std::make_unique<sim::DriverDevice>();
        ASSERT_TRUE(driver_->Start()) << driver_->error();
    } else {
        pipes_ = std::make_unique<sim::PipeDevice>(UniqueName("t"));
        ASSERT_TRUE(pipes_->Start()) << pipes_->error();
        SetEnv("TESSALINE_FAX_DEVICE", pipes_->fax_path().c_str());
        SetEnv("TESSALINE_EWS_DEVICE", pipes_->ews_path().c_str());
    }
    ModuleTest::SetUp();
}

void DeviceTest::TearDown() {
    ModuleTest::TearDown();
    SetEnv("TESSALINE_FAX_DEVICE", nullptr);
    SetEnv("TESSALINE_EWS_DEVICE", nullptr);
    pipes_.reset();
    driver_.reset();
}

CapturedStdout::CapturedStdout() {
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    file_ = std::string(dir) + UniqueName("tsl-out-") + ".txt";
    std::fflush(stdout);
    saved_ = _dup(1);
    const int fd = _open(file_.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd >= 0) {
        _dup2(fd, 1);
        _close(fd);
    }
}

CapturedStdout::~CapturedStdout() { Text(); }

std::string CapturedStdout::Text() {
    if (done_) return text_;
    done_ = true;
    std::fflush(stdout);
    if (saved_ >= 0) {
        _dup2(saved_, 1);
        _close(saved_);
    }
    std::ifstream in(file_, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    in.close();
    DeleteFileA(file_.c_str());
    text_ = all.str();
    return text_;
}

ChildProcess::~ChildProcess() {
    Kill();
    if (out_) CloseHandle(out_);
    if (process_) CloseHandle(process_);
}

bool ChildProcess::Start(const std::string& command_line) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE write_end = nullptr;
    if (!CreatePipe(&out_, &write_end, &inherit, 0)) return false;
    SetHandleInformation(out_, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    PROCESS_INFORMATION info{};
    std::string line = command_line;
    const BOOL ok = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
    CloseHandle(write_end);
    if (!ok) return false;
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    return true;
}

std::string ChildProcess::ReadLine() {
    std::string line;
    char c = 0;
    DWORD got = 0;
    while (out_ && ReadFile(out_, &c, 1, &got, nullptr) && got == 1 && c != '\n') {
        if (c != '\r') line += c;
    }
    return line;
}

void ChildProcess::Kill() {
    if (process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_, 9);
        WaitForSingleObject(process_, INFINITE);
    }
}

bool ChildProcess::Running() const { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

DWORD ChildProcess::Wait() {
    DWORD code = 0;
    if (process_) {
        WaitForSingleObject(process_, INFINITE);
        GetExitCodeProcess(process_, &code);
    }
    return code;
}
