// vornic-cli's command line: the options of one run, their parsing and the
// usage text.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "vornic/cli/line_options.h"
#include "vornic/cli/options.h"

namespace vornic_cli {

// One run's options: those both front ends share, the command and its FILE,
// the start address (0: flash, 1: SRAM), the flash steps, and the production
// line's.
struct Options {
    vornic_options::CommonOptions common;
    bool quiet = false;
    std::string command;
    std::string file;
    int addressIndex = 0;
    bool erase = true, programme = true, verify = true, reset = true;
    bool ifChanged = false;
    bool helpFaults = false;  // --help-faults: list the simulator's faults
    LineOptions line;
};

// The usage text --help prints and a usage complaint ends with.
extern const char* const kUsage;

// Prints the complaint and the usage text on standard error; the exit status
// of bad usage.
int Usage(const std::string& message);

// Returns an empty string on success, else the usage complaint.
std::string Parse(std::span<const std::string_view> args, Options* out);

}  // namespace vornic_cli
