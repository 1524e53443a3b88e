// Naming and choosing a probe among the attached ones: its bus-port name, its
// serial number, and whether it is the one the user asked for.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace probelib::usb {

// "1-1.4": the bus number, then the port path from the root hub.
std::string FormatBusPort(uint8_t bus, std::span<const uint8_t> ports);
// Orders "1-2" before "1-10" and "1-1" before "1-1.4".
bool BusPortLess(std::string_view a, std::string_view b);
// The selector names a probe by its bus-port or its serial number; an empty
// one takes any probe.
bool MatchesSelector(std::string_view selector, std::string_view busPort, std::string_view serial);
// The serial number the kernel read from the device (no access to the device
// node needed); empty when it has none. `devicesDir` is the sysfs folder of
// USB devices, /sys/bus/usb/devices on a running system.
std::string ReadSerial(std::string_view devicesDir, std::string_view busPort);

inline constexpr std::string_view kSysfsUsbDevices = "/sys/bus/usb/devices";

}  // namespace probelib::usb
