// The production-line options of vornic-cli: --probe=all, --repeat[=N],
// --report=FILE, and --record-fd=FD, by which --probe=all hears from each child.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vornic/options/options.h"

namespace vornic_cli {

struct LineOptions {
    bool allProbes = false;  // --probe=all
    bool repeat = false;     // --repeat[=N]
    uint32_t boards = 0;     // its N; 0 without one
    std::string report;      // --report=FILE
    int recordFd = -1;       // --record-fd=FD

    void AddTo(vornic_options::Parser& parser);
    // After parsing: "" when the options suit the command and --probe, else
    // the complaint.
    std::string Check(std::string_view command, std::string_view probe);

  private:
    std::string m_boards, m_recordFd;
};

}  // namespace vornic_cli
