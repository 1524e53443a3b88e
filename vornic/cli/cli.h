// The command line of vornic-cli: parsing and running one command through
// the headless dialog.
#pragma once

#include <span>
#include <string_view>

namespace vornic_cli {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Runs the command line (without the program name); returns the exit status.
int RunCli(std::span<const std::string_view> args);

}  // namespace vornic_cli
