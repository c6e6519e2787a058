#include "driver_fixture.h"

#include <windows.h>

#include "program_dir.h"

#include <filesystem>

#include "sim/driver_install_win32.h"
#include "transport/fax_device.h"

void SimTest::SetUp() {
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    dir_ = std::string(base) + "tessaline-test-" + std::to_string(GetCurrentProcessId());
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    ASSERT_TRUE(std::filesystem::create_directory(dir_, ec)) << dir_;
    lock_name_ = kAccessLockName;
    lock_keeper_ = CreateMutexA(nullptr, FALSE, kAccessLockName);
    SetEnvironmentVariableA("TESSALINE_FAX_DEVICE", nullptr);
    SetEnvironmentVariableA("TESSALINE_EWS_DEVICE", nullptr);
    if (!sim::DriverDevicesInstalled()) {
        bool installed = false;
        std::string error;
        ASSERT_TRUE(sim::InstallDriverDevices(ProgramDirectory() + "tessaline_sim.inf", installed, error)) << error;
    }
    ASSERT_TRUE(RestartDevice());
}

void SimTest::TearDown() {
    device_.reset();
    if (lock_keeper_) CloseHandle(lock_keeper_);
    lock_keeper_ = nullptr;
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

::testing::AssertionResult SimTest::RestartDevice() {
    device_.reset();
    device_ = std::make_unique<sim::DriverDevice>();
    if (!device_->Start()) return ::testing::AssertionFailure() << device_->error();
    return ::testing::AssertionSuccess();
}

LockHolder::~LockHolder() {
    Kill();
    Wait();
}

std::string LockHolder::Start(const std::string& mode, int hold_ms, int wait_ms) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return "failed";
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::string line = "\"";
    line.append(ProgramDirectory()).append("lock_holder.exe\" ").append(mode);
    line.append(" ").append(std::to_string(hold_ms)).append(" ").append(std::to_string(wait_ms));
    PROCESS_INFORMATION info{};
    const BOOL ok = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
    CloseHandle(write_end);
    out_ = read_end;
    if (!ok) return "failed";
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    std::string word;
    char c = 0;
    DWORD got = 0;
    while (ReadFile(read_end, &c, 1, &got, nullptr) && got == 1 && c != '\n') {
        if (c != '\r') word += c;
    }
    if (hold_ms == 0) Wait();
    return word.empty() ? "failed" : word;
}

void LockHolder::Kill() {
    if (process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) TerminateProcess(process_, 9);
}

int LockHolder::Wait() {
    DWORD code = 0;
    if (process_) {
        WaitForSingleObject(process_, INFINITE);
        GetExitCodeProcess(process_, &code);
        CloseHandle(process_);
    }
    process_ = nullptr;
    if (out_) CloseHandle(out_);
    out_ = nullptr;
    return static_cast<int>(code);
}
