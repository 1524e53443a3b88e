// What the usb backend's parts share about libusb: the context, the device
// list of one enumeration, what a device is without opening it, and the
// attached probes the user's options accept. Private to the usb backend.
#pragma once

#include <libusb.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/probelib/probe_types.h"

namespace probelib::usb {

struct ContextDeleter {
    void operator()(libusb_context* context) const { libusb_exit(context); }
};
using ContextPtr = std::unique_ptr<libusb_context, ContextDeleter>;

// Starts libusb; null, with the reason in *error, when USB cannot be reached.
ContextPtr NewContext(std::string* error);

// The device list of one enumeration, released with its references.
class DeviceList {
  public:
    explicit DeviceList(libusb_context* context);
    ~DeviceList();
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
    bool Ok() const { return m_list != nullptr; }
    std::span<libusb_device*> Devices() const { return {m_list, m_count}; }

  private:
    libusb_device** m_list = nullptr;
    size_t m_count = 0;
};

// What a device is, read without opening it (allowed inside libusb's callback).
struct Seen {
    UsbId id;
    std::string busPort;
    uint8_t address = 0;
    // Names one attachment: a device plugged in again gets a new address.
    std::string Key() const { return busPort + "#" + std::to_string(address); }
};

Seen Describe(libusb_device* device);

struct Candidate {
    libusb_device* device;  // owned by the list it came from
    Seen seen;
};

// The attached probes the user's selector accepts, in bus-port order. The
// flags (either may be null) tell what else was seen.
std::vector<Candidate> Candidates(const DeviceList& list, const UsbOptions& options, bool* anyProbe,
                                  bool* wrongMode);

// Keys of every attached device with an accepted id (for the scan).
std::vector<std::pair<std::string, Seen>> ProbeKeys(libusb_context* context,
                                                    const UsbOptions& options);

}  // namespace probelib::usb
