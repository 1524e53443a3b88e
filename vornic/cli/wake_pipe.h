// The one pipe the loops of --repeat and --probe=all wait on: Ctrl-C
// (SIGINT) and SIGTERM, probe arrivals and the end of a job each put one byte
// into it, so the loop learns of each by an event, from any thread.
#pragma once

#include <string>

namespace vornic_cli::wake {

inline constexpr char kInterrupt = 'i';
inline constexpr char kArrival = 'a';
inline constexpr char kJobEnded = 'j';

// Creates the pipe and routes SIGINT and SIGTERM into it. 1, or 0 when no
// pipe could be made. Later calls do nothing.
int Open();
// The end to poll for reading.
int Fd();
// Puts an event into the pipe; safe in a signal handler. An event that finds
// the pipe full is dropped (the loop has thousands waiting already).
void Post(char event);
// The events waiting, oldest first, without blocking.
std::string Take();

}  // namespace vornic_cli::wake
