// The probe library's life beside the five calls: the wire trace, the
// notification thread, the end of a job and of the library, the probe last
// opened, and the probes attached to the bus, real or simulated.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/probelib/probe_types.h"

namespace probelib {

// Every attached probe, ours and those in the wrong mode, ordered by bus-port.
// Returns 1, or 0 with the reason when USB cannot be reached at all.
int ListProbes(const UsbOptions& options, std::vector<ProbeInfo>* out, std::string* error);

// The simulated probes a fault option string puts on the simulated bus
// (probes:N, less those absent at start), as `list` shows them: serial SIMk,
// bus-port sim-k. Returns 1, or 0 with the reason when the string is bad.
int ListSimProbes(std::string_view simFaults, std::vector<ProbeInfo>* out, std::string* error);

// The probe the last successful CH375OpenDevice opened, even if it has been
// closed or removed since. 1, or 0 when none was opened.
int LastOpenedProbe(ProbeInfo* out);

// Tells the backend that a front end's job (one board) has ended. The
// simulator's swap-after fault starts its clock here; a real probe ignores it.
void JobEnded();

// Writes every transfer from now on to the file `path` (replacing it, through a
// file of its own renamed over it), one line each: microseconds since the
// start, pipe, direction (out, in), requested and actual length, outcome (ok,
// short, empty, timeout, stall, no-device, closed, error) and the bytes in hex
// (those sent, or those received). Returns 1, or 0 with the reason.
int StartTrace(const std::string& path, std::string* error);
// Why a trace could not be started at path, without touching it: a name that
// is not a regular file (a FIFO is never opened, so never waited on) or a
// folder that cannot be written; in Chinese or in English. Empty when
// StartTrace may go ahead.
std::string TraceTargetProblem(const std::string& path, bool chinese);
// Closes the trace; Shutdown() does so too.
void StopTrace();

// The first file the library could not write since the start, as a sentence
// naming it and why: a line of the trace, or the simulator's state file.
// Empty when every write got there. Still answers after Shutdown().
std::string WriteFailure();

// Waits until every hot-plug event posted so far has been delivered and its
// routine has returned. Must not be called from the notification routine.
void WaitForNotifications();

// Stops the notification thread (pending events are dropped) and releases
// the backend. Further calls fail quietly. Called by a front end at exit.
void Shutdown();

}  // namespace probelib
