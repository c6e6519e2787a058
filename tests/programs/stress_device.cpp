// The simulated device of the stress run, as a process of its own. It serves
// the device directory until SIGTERM or SIGINT, then checks what it holds and
// prints one line of counters:
//
//   interleavings=N protocol_errors=N jobs=N bad_jobs=N received=N bad_received=N
//
// interleavings: writes of one fax connection while another one's conversation
// was under way; protocol_errors: malformed requests; bad_jobs: sent faxes
// that the device did not take whole and intact (refused, incomplete, or not
// a stress fax byte for byte); bad_received: received faxes that are not.
//
//   stress_device DIR [--stall-data N]
//
// --stall-data N stalls the data write of the (N+1)-th upload block it sees,
// so that an upload stops there with the access lock held.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "protocol/fax_packet.h"
#include "sim/sim_device.h"
#include "stress_common.h"

int main(int argc, char** argv) {
    if (argc < 2) return 64;
    // Signals are taken with sigwait, on this thread only: block them before
    // the device's thread starts, so that it inherits the mask.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    sim::SimDevice device(argv[1]);
    sim::Firmware& fw = device.firmware();
    fw.traffic().SetRecording(false);  // the counters need no record, and a long run would keep every byte
    fw.state().SetLoopback(true);
    fw.state().SetPassword(stress::kPassword);
    fw.state().SetReceiveSettings(stress::kReceiveValue);
    fw.state().SetBlockSize(3000);  // downloads in blocks that do not divide the faxes evenly
    for (int k = 0; k < stress::kKeptFaxes; ++k)
        fw.state().AddReceivedFax(stress::KeptName(k),
                          stress::MakeFax(stress::kKeptSender, static_cast<std::uint32_t>(k), stress::KeptSize(k)));
    for (int i = 2; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--stall-data") == 0) {
            sim::Rule rule;
            rule.command = FAXCMD_DATA;
            rule.occurrence = std::atoi(argv[i + 1]);
            rule.stage = sim::Stage::Write;
            rule.index = 1;
            rule.fault = sim::Fault::Stall;
            fw.script().Add(rule);
        }
    }
    if (!device.Start()) {
        std::fprintf(stderr, "stress_device: %s\n", device.error().c_str());
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    int sig = 0;
    sigwait(&stop, &sig);
    device.Stop();

    std::size_t bad_jobs = 0;
    const auto jobs = fw.state().Jobs();
    for (const sim::SentJob& job : jobs) {
        const bool whole = job.outcome == 0 && job.data_ended && !job.failed_block &&
                           job.data.size() == job.announced_size && !job.recipients.empty() &&
                           stress::IsFax(job.data.data(), job.data.size());
        if (!whole) ++bad_jobs;
    }
    std::size_t bad_received = 0;
    const auto received = fw.state().ReceivedFaxes();
    for (const sim::ReceivedFax& fax : received)
        if (!stress::IsFax(fax.data.data(), fax.data.size())) ++bad_received;

    std::printf("interleavings=%llu protocol_errors=%llu jobs=%zu bad_jobs=%zu received=%zu bad_received=%zu\n",
                static_cast<unsigned long long>(fw.traffic().Interleavings()),
                static_cast<unsigned long long>(fw.traffic().ProtocolErrors()), jobs.size(), bad_jobs, received.size(),
                bad_received);
    std::fflush(stdout);
    return 0;
}
