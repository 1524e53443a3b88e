// The probe library as the flash code calls it: the five CH375* calls, and the
// choice of backend (real probe or simulated one) made once at start-up. The
// types they share with the backends are in probe_types.h, the library's
// lifetime (trace, notifications, shut-down) in lifetime.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/probelib/probe_types.h"

// Hot-plug routine: kDeviceArrival or kDeviceRemoval.
using CH375NotifyRoutine = void (*)(uint32_t event);

// Opens probe `index`; returns a handle value, or -1 when no probe could be opened.
int32_t CH375OpenDevice(uint32_t index);
void CH375CloseDevice(uint32_t index);
// Sends *length bytes on `pipe` (1 or 2); on return *length holds the count sent.
// Returns 1 on success, 0 on failure.
int CH375WriteEndP(uint32_t index, uint32_t pipe, void* buffer, uint32_t* length);
// Reads at most *length bytes from `pipe` into buffer; on return *length holds
// the count read (0 when nothing came). Returns 1 when bytes came, 0 otherwise.
int CH375ReadEndP(uint32_t index, uint32_t pipe, void* buffer, uint32_t* length);
// Registers (or, with a null routine, cancels) the hot-plug routine; it is
// called on the library's own notification thread. `deviceId` is unused.
int CH375SetDeviceNotify(uint32_t index, const char* deviceId, CH375NotifyRoutine routine);

namespace probelib {

// How the last CH375WriteEndP or CH375ReadEndP of the calling thread ended,
// beside its 1 or 0: why a transfer failed, for the callers that tell a
// removed probe from a stalled endpoint or a silent one.
enum class TransferResult : uint8_t {
    Done,       // every byte written; a read that brought bytes
    NoDevice,   // the probe is gone (or none is configured)
    Stalled,    // the endpoint stalled
    TimedOut,   // nothing (more) came or went in time
    Cancelled,  // the device was not open, or was closed meanwhile
    Short,      // a write that moved only part, a read that brought an empty packet
    Failed,     // a bad argument, or any other failure
};
TransferResult LastTransfer();

// Why the last CH375OpenDevice returned -1.
OpenProblem LastOpenProblem();

// Parses "VID:PID", each one to four hex digits ("1a86:8010"). 1, or 0.
int ParseUsbId(std::string_view text, UsbId* out);
// "1a86:8010".
std::string FormatUsbId(UsbId id);

// Everything the library is set up with, given at once by a front end.
struct BackendChoice {
    // "sim" (the simulated probe and target) or "usb" (a real probe through libusb).
    std::string backend = "usb";
    std::string simFaults{};  // the simulator's fault option string (--simulate=FAULTS)
    std::string simState{};   // the simulated target's state file; empty: none
    // Serial or bus-port of the probe to drive, simulated or real (--probe);
    // empty: the first one.
    std::string probe{};
    std::vector<UsbId> extraIds{};  // USB ids accepted besides the built-in ones
    std::string trace{};            // the wire trace's file (see StartTrace); empty: none
    uint32_t readTimeoutMs = 0;     // usb: 0 for the built-in read time-out
    // usb: finds plug events by scanning the device list, as on systems
    // without libusb hot-plug support (tests use it to run that path).
    bool scanForPlugs = false;
    bool chinese = false;  // the library's own messages (trace, simulator state) in Chinese
};

// Which part of a BackendChoice could not be had. After a failure the
// backend in place before (none at start-up) stays.
enum class ConfigureProblem {
    None,
    Trace,    // the trace file cannot be written
    Choice,   // an unknown backend name, a bad fault string or state file
    NoUsb,    // USB cannot be reached
    ShutDown  // the library has been shut down
};

// Starts the trace the choice names (or stops a running one) and puts the
// chosen backend in place. Returns ConfigureProblem::None, or the part that
// failed with the reason in *error. Call before any CH375* call; a later call
// replaces the backend (tests do so between cases).
ConfigureProblem Configure(const BackendChoice& choice, std::string* error);

}  // namespace probelib
