// The probe library's vocabulary, shared by its calls, its backends and the
// front ends: the usb ids a probe is known by, how the usb backend is told
// which probe to drive, the attached probes as `list` shows them, why an open
// failed, and the events a hot-plug routine receives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The events a hot-plug routine receives.
inline constexpr uint32_t kDeviceArrival = 3;
inline constexpr uint32_t kDeviceRemoval = 0;

namespace probelib {

struct UsbId {
    uint16_t vendor = 0;
    uint16_t product = 0;
    friend bool operator==(const UsbId&, const UsbId&) = default;
};

// The probe in its RISC-V mode, the id both backends report it under.
inline constexpr UsbId kProbeUsbId = {0x1a86, 0x8010};

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

// Why the last CH375OpenDevice returned -1.
enum class OpenProblem {
    None,        // the last open succeeded, or none was tried
    NotFound,    // no probe with an accepted id is attached
    NoMatch,     // probes are attached, but none is the one --probe names
    WrongMode,   // only probes in the wrong mode are attached
    Permission,  // the system refused access to the device node
    Busy,        // another program holds the probe's interface
    Layout,      // the probe's interface 0 lacks the bulk endpoints downloads use
    Failed,      // any other USB error
};

}  // namespace probelib
