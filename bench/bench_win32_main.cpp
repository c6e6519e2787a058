// tessaline-bench for Windows: the library's fax operations through the
// simulated device's driver, side by side with a raw Win32 client that opens
// the same device path and issues the same overlapped requests, and one table
// of the figures with where the time goes. The device's service runs in this
// process, on a thread of its own; the driver is installed first when it is
// not (tessaline_sim.inf beside the program). Run with --help for the
// options.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "bench/raw_channel.h"
#include "platform/device_channel.h"
#include "platform/named_mutex.h"
#include "protocol/fax_received.h"
#include "protocol/fax_send.h"
#include "sim/driver_device_win32.h"
#include "sim/driver_install_win32.h"
#include "transport/fax_device.h"

namespace {

// The sizes, names, fax-like content and the small operation's goal are the
// Linux benchmark's; transfers through the driver host are judged against
// raw requests on the same device path.
using bench::Clock;
using bench::kLargeFax;
using bench::kLargeSize;
using bench::kMaxSmallOpRatio;
using bench::kNumber;
using bench::kSmallFax;
using bench::kSmallSize;
using bench::Pattern;
using bench::Seconds;

constexpr std::uint32_t kBlock = 4096;
constexpr double kMinRatio = 0.9;

const char kUsage[] =
    "Usage: tessaline-bench [--quick]\n"
    "Measures the library's fax operations through the simulated device's\n"
    "driver against a raw Win32 client of the same device path (overlapped\n"
    "requests, no discovery, no access lock), and prints a table of the\n"
    "figures, whether each goal is met, and where the time goes. The device's\n"
    "service runs in this process; the driver is installed when it is not.\n"
    "\n"
    "  --quick    fewer rounds: a rough table in a few seconds\n"
    "\n"
    "Exit status: 0 when every figure was measured (met goals or not), 1 when a\n"
    "measurement failed, 64 for a bad command line.\n";

[[noreturn]] void Die(const std::string& why) {
    std::fprintf(stderr, "tessaline-bench: %s\n", why.c_str());
    std::exit(1);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

bool WriteWhole(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return out.good();
}

std::vector<std::uint8_t> ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string ProgramDir() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, n);
    return dir.substr(0, dir.find_last_of('\\') + 1);
}

// Median seconds of `job` over `rounds`, alternating sides round by round
// is the caller's business; false results end the run.
double Time(const char* what, const std::function<bool()>& job) {
    const auto t0 = Clock::now();
    if (!job()) Die(std::string(what) + " failed");
    return Seconds(Clock::now() - t0);
}

struct Row {
    std::string figure;
    double library = 0, raw = 0, channel = 0;  // seconds (transfers) or microseconds (small op)
    bool rate = true;                           // a transfer: shown as MB/s
    double bytes = 0;
};

// Microseconds per call of `step`, over `n` calls.
double PerCall(int n, const std::function<void()>& step) {
    const auto t0 = Clock::now();
    for (int i = 0; i < n; ++i) step();
    return Seconds(Clock::now() - t0) / n * 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            quick = true;
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "tessaline-bench: unknown option %s\nTry 'tessaline-bench --help'.\n", argv[i]);
            return 64;
        }
    }
    const int small_rounds = quick ? 3 : 11;
    const int large_rounds = quick ? 1 : 3;
    const int small_ops = quick ? 50 : 300;

    // The device: through the driver, keeping nothing it is sent.
    if (!sim::DriverDevicesInstalled()) {
        bool installed = false;
        std::string error;
        if (!sim::InstallDriverDevices(ProgramDir() + "tessaline_sim.inf", installed, error))
            Die("cannot install the simulated device's driver: " + error);
    }
    SetEnvironmentVariableA("TESSALINE_FAX_DEVICE", nullptr);
    SetEnvironmentVariableA("TESSALINE_EWS_DEVICE", nullptr);
    sim::DriverDevice device;
    sim::Firmware& fw = device.firmware();
    fw.traffic().SetRecording(false);
    fw.state().SetKeepSentData(false);
    const std::vector<std::uint8_t> small_data = Pattern(kSmallSize, 1), large_data = Pattern(kLargeSize, 2);
    fw.state().AddReceivedFax(kSmallFax, small_data);
    fw.state().AddReceivedFax(kLargeFax, large_data);
    if (!device.Start()) Die(device.error());
    const std::string fax_path = sim::FirstPresentInterface(GUID_DEVINTERFACE_FAX_CHANNEL);
    if (fax_path.empty()) Die("the fax channel is not present");

    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string dir = std::string(temp) + "tessaline-bench-" + std::to_string(GetCurrentProcessId()) + "\\";
    CreateDirectoryA(dir.c_str(), nullptr);
    const std::string small_file = dir + "small.tif", large_file = dir + "large.tif", download = dir + "download.tif";
    if (!WriteWhole(small_file, small_data.data(), small_data.size()) ||
        !WriteWhole(large_file, large_data.data(), large_data.size()))
        Die("cannot write the files to send in " + dir);

    FAX_RECIPIENT recipient;
    std::memset(&recipient, 0, sizeof(recipient));
    std::strcpy(recipient.PhoneNumber, kNumber);

    // The three sides of each transfer: the library (file to file), the raw
    // client doing the same file work, and the raw client on the channel
    // alone (memory to memory).
    auto lib_send = [&](const std::string& file) {
        return [&recipient, file] { return DeviceSendFax(&recipient, 1, file.c_str()) == FAXRESULT_OK; };
    };
    auto raw_send = [&](const std::string& file) {
        return [&fax_path, file] {
            const std::vector<std::uint8_t> data = ReadWhole(file);
            return bench::RawSendFax(fax_path, data.data(), static_cast<std::uint32_t>(data.size()), kNumber);
        };
    };
    auto chan_send = [&](const std::vector<std::uint8_t>& data) {
        return [&fax_path, &data] {
            return bench::RawSendFax(fax_path, data.data(), static_cast<std::uint32_t>(data.size()), kNumber);
        };
    };
    auto lib_get = [&](const char* name) {
        return [&download, name] {
            FAX_FILENAME f;
            std::memset(&f, 0, sizeof(f));
            std::snprintf(f.faxPath, sizeof(f.faxPath), "%s", name);
            return DeviceGetReceivedFax(&f, download.c_str()) == FAXRESULT_OK;
        };
    };
    std::vector<std::uint8_t> landing(kLargeSize);
    auto raw_get = [&](const char* name) {
        return [&fax_path, &download, name] {
            std::unique_ptr<std::uint8_t[]> data;
            std::uint32_t size = 0;
            auto buffer_for = [&](std::uint32_t n) {
                size = n;
                data.reset(new (std::nothrow) std::uint8_t[n]);
                return data.get();
            };
            return bench::RawGetFax(fax_path, name, buffer_for) && WriteWhole(download, data.get(), size);
        };
    };
    auto chan_get = [&](const char* name) {
        return [&fax_path, &landing, name] {
            return bench::RawGetFax(fax_path, name,
                                    [&landing](std::uint32_t n) { return n <= landing.size() ? landing.data() : nullptr; });
        };
    };

    // Every side moves the right bytes: checked once, byte for byte.
    if (!lib_get(kSmallFax)() || ReadWhole(download) != small_data) Die("the library's download is wrong");
    if (!raw_get(kSmallFax)() || ReadWhole(download) != small_data) Die("the raw download is wrong");
    if (!lib_send(small_file)() || !raw_send(small_file)()) Die("a warm-up upload failed");
    const auto jobs = fw.state().Jobs();
    if (jobs.size() != 2 || jobs[0].announced_size != kSmallSize || jobs[0].blocks != kSmallSize / kBlock ||
        jobs[1].announced_size != kSmallSize)
        Die("the device did not take the uploads whole");

    std::fprintf(stderr, "tessaline-bench: checked; measuring\n");
    std::vector<Row> rows;
    auto transfer = [&](const char* figure, std::uint32_t bytes, int rounds, const std::function<bool()>& lib,
                        const std::function<bool()>& raw, const std::function<bool()>& chan) {
        std::vector<double> l, r, c;
        for (int i = 0; i < rounds; ++i) {
            l.push_back(Time("the library", lib));
            r.push_back(Time("the raw client", raw));
            c.push_back(Time("the raw channel", chan));
        }
        Row row;
        row.figure = figure;
        std::fprintf(stderr, "  %s: %.2f s, raw %.2f s, channel %.2f s\n", figure, Median(l), Median(r), Median(c));
        row.library = Median(l);
        row.raw = Median(r);
        row.channel = Median(c);
        row.bytes = bytes;
        rows.push_back(row);
    };
    transfer("Upload 1 MiB (DeviceSendFax)", kSmallSize, small_rounds, lib_send(small_file), raw_send(small_file),
             chan_send(small_data));
    transfer("Upload 64 MiB", kLargeSize, large_rounds, lib_send(large_file), raw_send(large_file),
             chan_send(large_data));
    transfer("Download 1 MiB (DeviceGetReceivedFax)", kSmallSize, small_rounds, lib_get(kSmallFax),
             raw_get(kSmallFax), chan_get(kSmallFax));
    transfer("Download 64 MiB", kLargeSize, large_rounds, lib_get(kLargeFax), raw_get(kLargeFax),
             chan_get(kLargeFax));

    // The small operation: the received-fax count.
    {
        std::vector<double> l, r;
        for (int i = 0; i < small_ops; ++i) {
            std::uint32_t count = 0;
            l.push_back(Time("DeviceGetReceivedFaxCount", [&] {
                            return DeviceGetReceivedFaxCount(&count) == FAXRESULT_OK && count == 2;
                        }) * 1e6);
            r.push_back(Time("the raw count", [&] { return bench::RawCount(fax_path, &count) && count == 2; }) * 1e6);
        }
        Row row;
        row.figure = "Small op (DeviceGetReceivedFaxCount), median";
        row.library = Median(l);
        row.raw = Median(r);
        row.channel = row.raw;
        row.rate = false;
        rows.push_back(row);
    }

    // Where the time goes: the steps of one operation, each on its own.
    bench::RawChannel open_channel;
    if (!open_channel.Connect(fax_path)) Die("cannot open the fax channel");
    const int n = quick ? 100 : 1000;
    std::uint8_t none[1];
    const double request_us = PerCall(n, [&] { open_channel.Read(none, 0); });
    open_channel.Close();
    char path[plat::kDevicePathCapacity];
    const double discovery_us =
        PerCall(n / 10, [&] { plat::GetDeviceInterfacePath(GUID_DEVINTERFACE_FAX_CHANNEL, path, sizeof(path)); });
    const double open_us = PerCall(n / 10, [&] { plat::OpenDevicePath(fax_path.c_str()); });
    const double lock_us = PerCall(n, [&] {
        const plat::MutexHandle m = plat::OpenNamedMutex(kAccessLockName);
        plat::WaitNamedMutex(m, 5000);
        plat::ReleaseNamedMutex(m);
    });
    const double event_us = PerCall(n, [&] { CloseHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr)); });
    device.Stop();

    std::printf(
        "\nTessaline benchmarks under Windows: through the simulated device's driver (%s).\n"
        "MB = 10^6 bytes; medians over the rounds (%d for 1 MiB, %d for 64 MiB, %d small ops).\n"
        "Library: the DLL's operation, file to file. Raw: a Win32 client on the same device path\n"
        "doing the same file work. Channel: the raw client, memory to memory.\n\n",
        quick ? "quick" : "full", small_rounds, large_rounds, small_ops);
    std::printf("%-46s %12s %12s %12s %8s %6s\n", "Figure", "library", "raw", "channel", "lib/raw", "goal");
    for (const Row& row : rows) {
        if (row.rate) {
            const double lib = row.bytes / row.library / 1e6, raw = row.bytes / row.raw / 1e6,
                         chan = row.bytes / row.channel / 1e6;
            const double ratio = lib / raw;
            std::printf("%-46s %7.1f MB/s %7.1f MB/s %7.1f MB/s %8.2f %6s\n", row.figure.c_str(), lib, raw, chan, ratio,
                        ratio >= kMinRatio ? "met" : "MISSED");
        } else {
            const double ratio = row.library / row.raw;
            std::printf("%-46s %9.0f us %9.0f us %12s %8.2f %6s\n", row.figure.c_str(), row.library, row.raw, "",
                        ratio, ratio <= kMaxSmallOpRatio ? "met" : "MISSED");
        }
    }
    std::printf(
        "\nGoals: each transfer at least %.1f of raw; the small operation at most %.1f times raw.\n", kMinRatio,
        kMaxSmallOpRatio);
    const double requests_per_mib = 2.0 * (1048576.0 / kBlock);
    std::printf(
        "\nWhere the time goes (microseconds per step):\n"
        "  one request through the driver host and the service (empty read)  %8.1f\n"
        "    a MiB moves in %.0f requests (a header and a block each 4096 bytes): %.0f ms of it\n"
        "  discovery of the fax channel (device-installation services)       %8.1f\n"
        "  opening and closing the channel handle                            %8.1f\n"
        "  the access lock: open, take, release, close                       %8.1f\n"
        "  one event for one request: create and close                       %8.1f\n"
        "The small operation is the raw count (open, three requests, close) plus discovery,\n"
        "the lock and one event per request.\n",
        request_us, requests_per_mib, request_us * requests_per_mib / 1000.0, discovery_us, open_us, lock_us,
        event_us);
    DeleteFileA(small_file.c_str());
    DeleteFileA(large_file.c_str());
    DeleteFileA(download.c_str());
    RemoveDirectoryA(dir.c_str());
    return 0;
}
