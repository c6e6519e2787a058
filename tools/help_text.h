// The parts of the command's help that depend on what the build can do with
// documents (convert them into fax images, tell a fax image from another
// TIFF, write PDFs) and on how the system stops a job and runs a hook: built
// from those facts, so that a build never promises what it refuses.
#ifndef TESSALINE_TOOLS_HELP_TEXT_H
#define TESSALINE_TOOLS_HELP_TEXT_H

#include <string>

namespace cli {

struct HelpFacts {
    // What this build does with documents.
    bool converts = false;              // documents and other images into fax images
    bool writes_pdf = false;            // fax images into PDF (get --pdf, receive --pdf)
    const char* tiff_reader = nullptr;  // what reads a TIFF's pages to tell a fax image; none when null
    // This system's words for a stop request and for the hook's shell.
    const char* stop_request = "";  // "SIGINT or SIGTERM"
    const char* hook_runs = "";     // "with sh for each fax stored, the file's path as $1"
};

// The facts of this build on this system.
HelpFacts ThisBuild();

std::string SendHelp(const HelpFacts& facts);
std::string ReceiveHelp(const HelpFacts& facts);
std::string GetHelp(const HelpFacts& facts);
// The environment variables that the build's conversions read (empty when
// it converts nothing).
std::string ConversionEnvironmentHelp(const HelpFacts& facts);

}  // namespace cli

#endif
