// The window program's command line:
//   vornic [--simulate[=FAULTS]] [--sim-state=FILE] [--usb-id=VID:PID]... [--probe=SEL]
//          [--lang=zh|en] [FILE]
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "probelib.h"

namespace vornic_ui {

struct CommandLine {
    bool simulate = false;
    std::string simFaults;                  // the FAULTS of --simulate=FAULTS
    std::string simState;                   // --sim-state=FILE
    std::vector<probelib::UsbId> usbIds;    // --usb-id=VID:PID, repeatable
    std::string probe;                      // --probe=SERIAL|BUS-PORT
    bool useChinese = true;                 // --lang=zh (default) or --lang=en
    std::optional<std::string> file;        // first argument that is not an option
    std::optional<std::string> screenshot;  // --screenshot=PNG (developer aid)
    int screenshotClick = 0;                // --screenshot-click=ID
    int closeAfterMs = -1;                  // --close-after=MS[:no] (developer aid)
    bool closeAnswer = true;                // the answer to the quit question
    bool help = false;                      // --help or -h
};

// Parses argv[1..argc-1] (what the toolkit left of it). Returns 1, or 0 with
// the reason in *error. "--" ends the options; later arguments are files.
int ParseCommandLine(int argc, const char* const* argv, CommandLine* out, std::string* error);

// One-paragraph usage text.
const char* UsageText();

}  // namespace vornic_ui
