// Fault injection of the simulated probe, chosen by a short option string
// such as "protected,no-reply:ReadProtect,latency-us:200".
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

namespace probelib::sim {

// Stands for the status frames of the data pipe in the per-command faults.
inline constexpr int kDataStatusFault = 0x100;

// Stands for one command with one payload byte (e.g. ReadProtect/1, the query only).
inline constexpr int PayloadFaultKey(int command, int payload) {
    return 0x10000 | (command << 8) | payload;
}

struct Faults {
    bool startProtected = false;  // protected: read protection on at start
    bool absent = false;          // absent: no probe plugged in at start
    std::set<int> noReply;        // no-reply:CMD: the reply never comes
    std::set<int> refuse;         // refuse:CMD: not carried out, the reply carries result 0
    std::set<int> badMarker;      // bad-marker:CMD: the reply's marker is wrong
    std::set<int> badEcho;        // bad-echo:CMD: the reply echoes another command
    // stall:CMD: no reply comes (the command is also in noReply) and the read
    // waiting for it ends by a stall of the endpoint.
    std::set<int> stall;
    uint32_t unplugAfter = 0;  // unplug-after:N: removed after N data packets (0 never)
    uint32_t shortWrite = 0;   // short-write:N: the N-th data packet is only half taken
    uint32_t latencyUs = 0;    // latency-us:N: every transfer takes N microseconds
    // swap-after:MS: MS after each job the probe is removed, and MS later a
    // fresh one (new serial, erased target) arrives (0 never).
    uint32_t swapAfterMs = 0;
    uint32_t probes = 1;       // probes:N: SIM0 ... SIM{N-1} on the simulated bus
    bool probesGiven = false;  // probes:N was given (state files then get a .SIMk suffix)
};

inline constexpr uint32_t kMaxSimProbes = 16;

// Parses a comma-separated list. CMD is a command name (SetAddress,
// SelectOperation, SetLength, ReadProtect, SoftReset), a code (6, 0x0B) or
// "data" for the data pipe's status frames; CMD/P narrows a command to
// the requests whose one-byte payload is P (ReadProtect/1: the query only).
// An item may end in @SIMk: it then applies to simulated probe k only, and
// *out gets the faults of probe `probe` (the items without a suffix and those
// aimed at it). Returns 1, or 0 with the reason.
int ParseFaults(std::string_view text, Faults* out, std::string* error, uint32_t probe = 0);

// Every fault with its value's range, for vornic-cli --help-faults.
std::string FaultsHelpText();

}  // namespace probelib::sim
