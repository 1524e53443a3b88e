// vornic-cli's command line: the options of one run, their parsing and the
// usage text.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "vornic/cli/line_options.h"
#include "vornic/options/options.h"

namespace vornic_cli {

// One run's options: those both front ends share, the command and its FILE,
// the start address (0: flash, 1: SRAM), the flash steps (an SRAM start
// address leaves the flash unerased unless --erase is given), and the
// production line's.
struct Options {
    vornic_options::CommonOptions common;
    bool quiet = false;
    bool json = false;  // status --json
    std::string command;
    std::string helpFor;  // with --help or help: the command whose help is asked, "" for all
    std::string file;
    int addressIndex = 0;
    bool erase = true, programme = true, verify = true, reset = true;
    bool ifChanged = false;
    bool dryRun = false;      // flash and verify: check everything, change nothing
    bool helpFaults = false;  // --help-faults: list the simulator's faults
    LineOptions line;
};

// The usage text --help prints.
extern const char* const kUsage;

// The help of one command (flash --help, help flash), or kUsage for "".
std::string HelpText(const std::string& command);

// Prints the complaint and where to find the usage on standard error, in the
// language of the texts; the exit status of bad usage.
int Usage(const std::string& message);

// Sets the language of the texts from the arguments (g_useChinese), then
// parses them. Returns an empty string on success, else the usage complaint.
std::string Parse(std::span<const std::string_view> args, Options* out);

}  // namespace vornic_cli
