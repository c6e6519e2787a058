// The figures of a benchmark run, one function each: the uploads, the
// downloads, the small operation, contention and the peak resident size.
// Each measures the library beside the raw client and adds its rows to the
// report.
#ifndef TESSALINE_BENCH_FIGURES_H
#define TESSALINE_BENCH_FIGURES_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench/report.h"
#include "protocol/fax_send.h"

namespace bench {

// What the figures share: the files, the device and its socket.
struct Setup {
    std::string work;
    std::string fax_path;  // the device's fax socket, for the raw client
    std::string ews_path;  // its EWS socket, for the raw client of the web figure
    std::string small_file;
    std::string large_file;
    std::string download;
    std::vector<std::uint8_t> small_data;
    std::vector<std::uint8_t> large_data;
    std::vector<std::uint8_t> warm;  // the channel-only download's buffer, faulted in once
    pid_t device = -1;
    FAX_RECIPIENT recipient{};  // every upload's one recipient
};

// The raw baseline's file write: one write of the whole.
bool WriteFileRaw(const std::string& path, const std::uint8_t* data, std::uint32_t size);

// Every side of a download moves the right bytes: checked once, byte for
// byte, before anything is measured. Ends the run when one does not.
void CheckDownloads(Setup& s);

void UploadFigure(Setup& s, bool quick, Report& report);
void DownloadFigure(Setup& s, bool quick, Report& report);
void SmallFigure(const Setup& s, bool quick, Report& report);
void ContentionFigure(Report& report);
void MemoryFigure(const Setup& s, Report& report);
// tessaline web against a raw client of the EWS channel (web_figure.cpp).
void WebFigure(const Setup& s, bool quick, Report& report);

}  // namespace bench

#endif
