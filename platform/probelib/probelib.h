// The probe library as the flash code calls it: the five CH375* calls, and the
// choice of backend (real probe or simulated one) made once at start-up.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The events a hot-plug routine receives.
inline constexpr uint32_t kDeviceArrival = 3;
inline constexpr uint32_t kDeviceRemoval = 0;

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

// Chooses the backend: "sim" (the simulated probe, configured by the fault
// option string `simFaults` and `simState`, a state file path or empty)
// or "usb" (a real probe through libusb, configured by SetUsbOptions).
// Returns 1, or 0 with the reason in *error. Call before any CH375* call; a
// later call replaces the backend (tests do so between cases).
int SelectBackend(std::string_view name, std::string_view simFaults, std::string_view simState,
                  std::string* error);

struct UsbId {
    uint16_t vendor = 0;
    uint16_t product = 0;
    friend bool operator==(const UsbId&, const UsbId&) = default;
};

// Parses "VID:PID", each one to four hex digits ("1a86:8010"). 1, or 0.
int ParseUsbId(std::string_view text, UsbId* out);
// "1a86:8010".
std::string FormatUsbId(UsbId id);

// How the usb backend finds its probe; read by the next SelectBackend("usb").
// `probe` also picks the simulated probe for the next SelectBackend("sim").
struct UsbOptions {
    std::vector<UsbId> extraIds;  // accepted besides the built-in ids (--usb-id)
    std::string probe;            // serial or bus-port (--probe); empty: the first probe
    uint32_t readTimeoutMs = 0;   // 0: the built-in read time-out
    // Finds plug events by scanning the device list, as on systems without
    // libusb hot-plug support (tests use it to run that path).
    bool scanForPlugs = false;
};
void SetUsbOptions(const UsbOptions& options);

// One attached probe as `vornic-cli list` shows it.
struct ProbeInfo {
    std::string busPort;  // "1-1.4": bus number, then the port path
    std::string serial;   // empty when the device reports none
    UsbId id;
    bool wrongMode = false;  // enumerated in a mode this tool cannot drive
};

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

// Why the last CH375OpenDevice returned -1.
enum class OpenProblem {
    None,        // the last open succeeded, or none was tried
    NotFound,    // no probe with an accepted id is attached
    NoMatch,     // probes are attached, but none is the one --probe names
    WrongMode,   // only probes in the wrong mode are attached
    Permission,  // the system refused access to the device node
    Busy,        // another program holds the probe's interface
    Failed,      // any other USB error
};
OpenProblem LastOpenProblem();

// One line for the user about `problem` (empty for None). `ruleFile` is the
// udev rule to suggest for a permission refusal.
std::string OpenProblemText(OpenProblem problem, std::string_view ruleFile);
// The udev rule file that came with the running program (installed beside it
// under lib/udev/rules.d, or in its build tree); empty when none is found.
std::string ShippedRuleFile();

// Writes every transfer from now on to the file `path` (replacing it, through a
// file of its own renamed over it), one line each: microseconds since the
// start, pipe, direction (out, in), requested and actual length, outcome (ok,
// short, empty, timeout, stall, no-device, closed, error) and the bytes in hex
// (those sent, or those received). Returns 1, or 0 with the reason.
int StartTrace(const std::string& path, std::string* error);
// Closes the trace; Shutdown() does so too.
void StopTrace();

// Waits until every hot-plug event posted so far has been delivered and its
// routine has returned. Must not be called from the notification routine.
void WaitForNotifications();

// Stops the notification thread (pending events are dropped) and releases
// the backend. Further calls fail quietly. Called by a front end at exit.
void Shutdown();

}  // namespace probelib
