// The window program's command line:
//   vornic [--simulate[=FAULTS]] [--sim-state=FILE] [--usb-id=VID:PID]... [--probe=SEL]
//          [--lang=zh|en] [--trace=FILE] [FILE]
// on the parser vornic-cli shares (vornic/options/options.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/probelib/probelib.h"

namespace vornic_ui {

struct CommandLine {
    // --simulate[=FAULTS], --sim-state, --usb-id, --probe and --trace, as
    // vornic-cli takes them.
    probelib::BackendChoice backend;
    bool useChinese = true;                 // --lang=zh (default) or --lang=en
    std::optional<std::string> file;        // first argument that is not an option
    std::optional<std::string> screenshot;  // --screenshot=PNG (developer aid)
    int screenshotClick = 0;                // --screenshot-click=ID
    int closeAfterMs = -1;                  // --close-after=MS[:no] (developer aid)
    bool closeAnswer = true;                // the answer to the quit question
    bool help = false;                      // --help or -h
    bool version = false;                   // --version
};

// Parses argv[1..argc-1] (what the toolkit left of it). Returns 1, or 0 with
// the reason in *error. "--" ends the options; later arguments are files.
int ParseCommandLine(int argc, const char* const* argv, CommandLine* out, std::string* error);

// One-paragraph usage text.
const char* UsageText();

// Before the toolkit starts (it needs a display): checks the whole command
// line, the simulator's faults included, leaving the toolkit's own options
// (-platform offscreen, -style fusion...) to it. 1, or 0 with the reason.
int CheckBeforeToolkit(int argc, const char* const* argv, std::string* error);

// Before the toolkit starts: prints the usage or the
// version when the command line asks for either and returns 1; 0 otherwise.
int PrintUsageOrVersion(int argc, const char* const* argv);

}  // namespace vornic_ui
