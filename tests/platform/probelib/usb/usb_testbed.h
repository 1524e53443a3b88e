// An emulated probe on an emulated USB bus: umockdev sysfs entries plus a usbfs ioctl handler
// that feeds bulk transfers to a simulated TargetModel, for tests that drive libusb.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/probelib/sim/target_model.h"

namespace usbtest {

struct ProbeSetup {
    std::string busPort = "1-1";  // a port of the root hub: "1-N"
    uint16_t vid = 0x1a86, pid = 0x8010;
    std::string serial = "VN0001";  // empty: no sysfs serial attribute
    std::string faults;             // TargetModel fault string, e.g. "no-reply:ReadProtect"
    bool busy = false;              // another program holds interface 0
};

inline ProbeSetup ProbeAt(std::string busPort, std::string serial = "VN0001",
                          uint16_t pid = 0x8010) {
    ProbeSetup setup;
    setup.busPort = std::move(busPort);
    setup.serial = std::move(serial);
    setup.pid = pid;
    return setup;
}

// Only useful in a process started under umockdev-wrapper (see InMockEnvironment); destroy
// libusb contexts before the testbed. Add and Remove belong to one thread; the rest may be
// called from any.
class UsbTestbed {
  public:
    static bool InMockEnvironment();

    UsbTestbed();
    ~UsbTestbed();
    UsbTestbed(const UsbTestbed&) = delete;
    UsbTestbed& operator=(const UsbTestbed&) = delete;

    // Adds the device; with announce an "add" uevent follows, so that libusb hot-plug reports
    // an arrival (without it, only a libusb context started afterwards sees the device).
    void Add(const ProbeSetup& setup, bool announce);
    // Sends a "remove" uevent; pending and later URBs on the device fail with ENODEV.
    void Remove(const std::string& busPort);
    // Runs f with the model of the latest device at busPort, under the testbed's lock.
    void WithTarget(const std::string& busPort,
                    const std::function<void(probelib::sim::TargetModel&)>& f);
    // URBs submitted on an endpoint address (0x01, 0x81, ...) since Add.
    uint32_t Submitted(const std::string& busPort, uint8_t endpoint);
    // The next transfer on the endpoint completes with a stall (-EPIPE); the endpoint then
    // stalls every URB until a USBDEVFS_CLEAR_HALT.
    void StallNext(const std::string& busPort, uint8_t endpoint);

    struct State;  // in usb_testbed.cpp

  private:
    std::unique_ptr<State> m_state;
};

}  // namespace usbtest
