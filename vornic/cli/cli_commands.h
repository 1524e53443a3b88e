// vornic-cli's commands, each run from RunCli once the command line is parsed.
#pragma once

#include "platform/controls/headless_dialog.h"
#include "vornic/cli/board_record.h"
#include "vornic/cli/cli_parse.h"
#include "vornic/outcome/outcome.h"

namespace vornic_cli {

// The dialog as far as vornic-cli uses it: the log pane, and the open
// handler, its caption and the banner the hot-plug routine works on.
void InitialiseDialog(controls::HeadlessDialog& dialog);

// What a command ends with: its report, and the exit status, which the
// report decides unless the command had more to say (--repeat, a record
// that could not be written).
struct CommandResult {
    Report report;
    int status = 0;
};

// list: the attached probes as a table; the exit status.
int ListCommand(const Options& o);

// --probe=all: the file is converted once, here, then every attached probe
// gets a child vornic-cli that flashes the .BIN.
int RunOnEveryProbe(const Options& o, RecordFile* record);

// Every command but list and --probe=all: convert, flash and verify (one board
// or one after another), or a device command.
CommandResult RunCommand(const Options& o, controls::HeadlessDialog& dialog, RecordFile* record);

// The probe backend the command line asks for; 0 with the exit status when it
// cannot be had.
int SelectBackend(const Options& o, int* status);

}  // namespace vornic_cli
