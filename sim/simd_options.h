// The command line of tessaline-simd, one parser for both of its programs:
// the POSIX daemon that serves sockets and the Windows program that serves
// pipes or the driver. Each option is a row of one table, which says which
// programs take it and how its value is checked and stored; the values are
// copies owned by SimdOptions, so nothing refers back into argv or into a
// string of the parser's once it returns.
//
// Portable code: the platform's own steps (a group's name looked up, the
// driver installed) stay with each program's main file.
#ifndef TESSALINE_SIM_SIMD_OPTIONS_H
#define TESSALINE_SIM_SIMD_OPTIONS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "sim/firmware.h"

namespace sim {

// Which program reads the command line: an option row names the programs
// that take it, and the other one refuses it as unknown.
enum class SimdProgram : unsigned { kPosix = 1, kWindows = 2 };

struct SimdOptions {
    SimdProgram program = SimdProgram::kPosix;

    // Both programs.
    std::string name = "sim0";
    std::string faxes;
    bool loopback = false;
    bool any_job = false;
    std::optional<std::uint32_t> block_size;
    std::optional<std::string> password;
    std::optional<std::string> fax_number;
    std::optional<std::uint32_t> receive_settings;
    bool help = false;
    bool version = false;

    // The POSIX daemon.
    std::string dir;
    std::string state;
    std::optional<std::string> socket_group;  // a group's name or number, looked up by the program
    std::size_t keep_jobs = kDefaultKeptJobs;
    std::uint64_t keep_job_bytes = kDefaultKeptJobBytes;

    // The Windows program.
    bool driver = false;
    bool remove_driver = false;
    bool stop = false;
};

// Reads argv[1..argc-1] for `program` into `options` (which starts from its
// defaults). Each option is written `--option VALUE` or `--option=VALUE`;
// a later option of the same name wins. False, with the complaint in
// `error`, for a command line that cannot run: an unknown option, a value
// missing, given to an option without one, or refused.
bool ParseSimdOptions(SimdProgram program, int argc, const char* const* argv, SimdOptions& options,
                      std::string& error);

// A 32-bit number: decimal, or hexadecimal after 0x.
bool ParseSimdNumber(const std::string& text, std::uint32_t& out);

// Writes the settings the command line presets (--password, --fax-number)
// into a settings record in the layout the device keeps and sends.
void PresetSettings(const SimdOptions& options, std::uint8_t (&settings)[308]);

// Sets the firmware's behaviour as the command line asks, for a device
// that runs until stopped: the block size, the receive settings, loopback,
// whether jobs are checked, the running clock, the sent jobs' bounds, and
// no traffic recorded.
void ApplyBehaviour(const SimdOptions& options, Firmware& firmware);

}  // namespace sim

#endif
