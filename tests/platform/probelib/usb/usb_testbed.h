// An emulated probe on an emulated USB bus: umockdev sysfs entries plus a usbfs ioctl handler
// that feeds bulk transfers to a simulated TargetModel, for tests that drive libusb.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/probelib/sim/target_model.h"

namespace usbtest {

struct ProbeSetup {
    std::string busPort = "1-1";    // a port of the root hub: "1-N"
    std::string serial = "VN0001";  // empty: no sysfs serial attribute
    uint16_t vid = 0x1a86, pid = 0x8010;
    std::string faults;  // TargetModel fault string, e.g. "no-reply:ReadProtect"
    bool busy = false;   // another program holds interface 0
    // The layout probes have in the field: device class EF/02/01, interface 0
    // with the pipes, interfaces 1-2 a serial port the kernel's cdc_acm holds.
    bool serialPort = false;
    uint16_t bcdDevice = 0x0100;
    std::string driverOn0;  // a kernel driver bound to interface 0
    std::vector<uint8_t> endpoints = {0x01, 0x81, 0x02, 0x82};  // interface 0's, all bulk
};

inline ProbeSetup ProbeAt(std::string busPort, std::string serial = "VN0001",
                          uint16_t pid = 0x8010) {
    ProbeSetup setup;
    setup.busPort = std::move(busPort), setup.serial = std::move(serial), setup.pid = pid;
    return setup;
}

// A probe as it enumerates in its RISC-V mode, with the serial many carry.
inline ProbeSetup FieldProbeAt(std::string busPort, uint16_t bcdDevice = 0x0205) {
    ProbeSetup setup = ProbeAt(std::move(busPort), "0001A0000000");
    setup.serialPort = true;
    setup.bcdDevice = bcdDevice;
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

    // Adds the device; announce sends an "add" uevent, which libusb hot-plug reports.
    void Add(const ProbeSetup& setup, bool announce);
    // Sends a "remove" uevent; pending and later URBs on the device fail with ENODEV.
    void Remove(const std::string& busPort);
    void WithTarget(const std::string& busPort,
                    const std::function<void(probelib::sim::TargetModel&)>& f);
    // URBs submitted on an endpoint address (0x01, 0x81, ...) since Add.
    uint32_t Submitted(const std::string& busPort, uint8_t endpoint);
    // Waits until exactly `count` URBs were submitted on the endpoint; false after 5 s.
    bool WaitSubmitted(const std::string& busPort, uint8_t endpoint, uint32_t count);
    // The next transfer on the endpoint stalls, and every one after it until a CLEAR_HALT.
    void StallNext(const std::string& busPort, uint8_t endpoint);
    // The kernel driver bound to interface 0 now ("" for none).
    std::string DriverOn0(const std::string& busPort);

    struct State;  // in usb_testbed.cpp

  private:
    std::unique_ptr<State> m_state;
};

}  // namespace usbtest
