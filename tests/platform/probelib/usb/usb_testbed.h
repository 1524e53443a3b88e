// An emulated probe on an emulated USB bus: umockdev sysfs entries plus a usbfs ioctl handler
// that feeds bulk transfers to a simulated TargetModel, for tests that drive libusb.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "platform/probelib/sim/target_model.h"

namespace usbtest {

struct ProbeSetup {
    std::string busPort = "1-1";  // sysfs name; libusb reports bus 1 and the port path from it
    uint16_t vid = 0x1a86, pid = 0x8010;
    std::string serial = "VN0001";  // empty: no serial string and no sysfs serial attribute
    std::string faults;             // TargetModel fault string, e.g. "no-reply:ReadProtect"
    std::string kernelDriver;       // a kernel driver bound to interface 0 (empty: none)
};

// A probe at `busPort` with the given serial (empty: none), faults and product id.
inline ProbeSetup ProbeAt(std::string busPort, std::string serial = "VN0001",
                          std::string faults = "", uint16_t pid = 0x8010) {
    ProbeSetup setup;
    setup.busPort = std::move(busPort);
    setup.serial = std::move(serial);
    setup.faults = std::move(faults);
    setup.pid = pid;
    return setup;
}

// Only useful in a process started under umockdev-wrapper (see InMockEnvironment); destroy
// libusb contexts before the testbed. All methods may be called from any thread (the ioctl
// servicing runs on umockdev's own thread), but not from inside a WithTarget callback. Methods
// taking a busPort throw std::logic_error for a port that was never added.
class UsbTestbed {
  public:
    static bool InMockEnvironment();

    UsbTestbed();
    ~UsbTestbed();
    UsbTestbed(const UsbTestbed&) = delete;
    UsbTestbed& operator=(const UsbTestbed&) = delete;

    // Adds the device (sysfs entry, any missing parent hubs, and the /dev/bus/usb/001/DDD node
    // with its ioctl handler). With announce=true an "add" uevent follows so that libusb
    // hot-plug reports an arrival (without it, only a libusb context started afterwards sees
    // the device). Throws std::invalid_argument for a bad busPort or fault string,
    // std::logic_error when the port is taken, std::runtime_error when umockdev fails.
    void Add(const ProbeSetup& setup, bool announce);
    // Sends a "remove" uevent and removes the device; pending and later URBs on it fail
    // with ENODEV. The device's model stays readable through WithTarget until re-added.
    void Remove(const std::string& busPort);
    // Runs f with the device's model under the harness lock.
    void WithTarget(const std::string& busPort,
                    const std::function<void(probelib::sim::TargetModel&)>& f);
    // URBs handled on an endpoint address (0x01, 0x81, ...) since Add.
    uint32_t Submitted(const std::string& busPort, uint8_t endpoint);
    // The next transfer on the endpoint (or the one pending there) completes with a stall
    // (-EPIPE); the endpoint then stalls every URB until a USBDEVFS_CLEAR_HALT.
    void StallNext(const std::string& busPort, uint8_t endpoint);
    uint32_t ClearHalts(const std::string& busPort, uint8_t endpoint);

    // The kernel driver bound to interface 0 now (empty: none), and how often
    // one was bound again after a program had detached it.
    std::string BoundDriver(const std::string& busPort);
    uint32_t DriverReattached(const std::string& busPort);

    // The devnode path of a device, e.g. "/dev/bus/usb/001/002".
    std::string DevNode(const std::string& busPort);

    struct State;  // implementation, in usb_testbed.cpp

  private:
    std::unique_ptr<State> m_state;
};

}  // namespace usbtest
