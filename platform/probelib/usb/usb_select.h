// How the usb backend is told which probe to drive (accepted ids, --probe,
// time-outs), the attached probes as `list` shows them, and why an open failed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/probelib/usb/open_problem.h"

namespace probelib {

struct UsbId {
    uint16_t vendor = 0;
    uint16_t product = 0;
    friend bool operator==(const UsbId&, const UsbId&) = default;
};

// The probe in its RISC-V mode, the id both backends report it under.
inline constexpr UsbId kProbeUsbId = {0x1a86, 0x8010};

// Parses "VID:PID", each one to four hex digits ("1a86:8010"). 1, or 0.
int ParseUsbId(std::string_view text, UsbId* out);
// "1a86:8010".
std::string FormatUsbId(UsbId id);

// How the usb backend finds its probe (Configure builds it from a BackendChoice).
struct UsbOptions {
    std::vector<UsbId> extraIds;  // accepted besides the built-in ids (--usb-id)
    std::string probe;            // serial or bus-port (--probe); empty: the first probe
    uint32_t readTimeoutMs = 0;   // 0: the built-in read time-out
    // Finds plug events by scanning the device list, as on systems without
    // libusb hot-plug support (tests use it to run that path).
    bool scanForPlugs = false;
};

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

// Why the last CH375OpenDevice returned -1.
OpenProblem LastOpenProblem();

}  // namespace probelib
