// vornic-cli --probe=all: one child vornic-cli per attached probe, all at
// once (the flash code keeps one probe per process); their lines passed on
// whole behind the probe's name, their outcomes read from the records they
// write, and one table at the end.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/probelib/probe_types.h"
#include "vornic/cli/board_record.h"

namespace vornic_cli {

struct AllProbesRun {
    std::vector<probelib::ProbeInfo> probes;  // every attached probe, wrong-mode ones too
    // What follows each child's own --probe, --record-fd and --trace: the
    // other options, the command, "--" and the converted file.
    std::vector<std::string> arguments;
    std::string trace;             // --trace=FILE: each child traces to FILE.NAME
    BoardContext context;          // file, address and image, for records of unfinished boards
    RecordFile* report = nullptr;  // the --report file, or null
};

// Runs every child and waits for all; Ctrl-C or SIGTERM stops them. 0 when
// every probe passed, else 1.
int RunOnAllProbes(const AllProbesRun& run);

// The name a probe goes by in the line prefixes, the table and its child's
// --probe: its serial, or its bus-port when it has none or shares it.
std::string ProbeName(const probelib::ProbeInfo& probe,
                      const std::vector<probelib::ProbeInfo>& all);
// The trace file of the child for the probe named `name`: FILE.NAME.
std::string ChildTracePath(const std::string& trace, std::string_view name);
// A name from a device as one printable word ("-" when empty).
std::string Printable(std::string_view text);

}  // namespace vornic_cli
