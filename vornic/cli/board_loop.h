// vornic-cli --repeat: one board after another on one probe. After each job
// one line says how the board went; the next board starts when a probe
// arrives (a board with its own probe plugged in) or on Enter; q and Enter,
// Ctrl-C, SIGTERM or the end of input stop.
#pragma once

#include <cstdint>
#include <functional>

#include "vornic/cli/board_record.h"
#include "vornic/outcome/outcome.h"

namespace vornic_cli {

struct BoardRun {
    Report report;
    BoardContext context;
};

struct RepeatRun {
    uint32_t limit = 0;  // stop after this many boards; 0: until stopped
    // Runs one board's job; called on a thread of the loop's own.
    std::function<BoardRun()> runBoard;
    BoardContext context;          // file and address, for the record of an interrupted board
    RecordFile* report = nullptr;  // the --report file, or null
};

// Runs boards until stopped, then prints "N boards: P passed, F failed".
// 0 when every board passed, else 1. A Ctrl-C in the middle of a job ends the
// process at once (the job cannot be stopped part-way) after the board has
// been reported unfinished.
int RunBoardAfterBoard(const RepeatRun& run);

}  // namespace vornic_cli
