// What vornic-cli prints besides the log's own lines: the pane's text on
// standard output, the progress bar and the summary line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "vornic/cli/cli_parse.h"
#include "vornic/outcome/outcome.h"

namespace vornic_cli {

// Prints the pane's lines as they are appended, without the CR of CR LF.
void PrintPaneText(std::string_view text, std::FILE* stream = stdout);

// The bar of bytes sent, drawn on standard error.
class ProgressBar {
  public:
    explicit ProgressBar(bool shown) : m_shown(shown) {}
    // Draws the bar on standard error when shown; a line end once all is sent.
    void Update(uint32_t sent, uint32_t total);

  private:
    bool m_shown;
};

// The summary line: what was sent on success, else the step that failed and why.
void PrintSummary(const Options& o, const Report& report, bool download);

}  // namespace vornic_cli
