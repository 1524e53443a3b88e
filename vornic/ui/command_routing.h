// Where the window meets the flash code: the probe backend chosen at start-up,
// and the handlers and hooks every button and start-up step calls.
#pragma once

#include "vornic/ui/command_line.h"

namespace vornic_ui {

class CVornicDlg;

// Configures the probe library (trace, backend, probe) from the command line
// before the dialog exists. Returns 1, or 0 after saying why it cannot be set
// up; without USB the window opens all the same.
int SelectProbeBackend(const CommandLine& commandLine);

// Fills the dialog's handler table and start-up hooks with the flash code's handlers.
void InstallCommandRouting(CVornicDlg& dialog);

}  // namespace vornic_ui
