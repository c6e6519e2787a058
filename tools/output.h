// How the tool reports a command's outcome: for people (the value on
// success, the status and advice on standard error) or as one JSON object,
// the exit status, and the names of the values it prints.
#ifndef TESSALINE_TOOLS_OUTPUT_H
#define TESSALINE_TOOLS_OUTPUT_H

#include <tessaline/tessaline.h>

#include <cstdint>
#include <functional>
#include <string>

#include "tools/json_output.h"

namespace cli {

constexpr int kUsageError = 64;

const char* StatusName(FAXSTATUS s);
const char* EventName(std::int64_t e);
const char* RingName(std::int64_t v);
const char* AnswerName(std::int64_t v);
// What a failing status means for `command`, and what to check.
std::string Advice(FAXSTATUS s, const std::string& command);

struct Output {
    bool json = false;
    std::string command;

    // Prints the outcome of a command and gives its exit status.
    int Finish(FAXSTATUS status, JsonObject data, const std::function<void()>& human) const;
};

// Reports a usage error and gives its exit status.
int Usage(const std::string& message);

}  // namespace cli

#endif
