// Enumerating and describing USB devices through libusb.
#include "platform/probelib/usb/usb_devices.h"

#include <algorithm>

#include "platform/probelib/usb/device_match.h"
#include "platform/probelib/usb/usb_ids.h"

namespace probelib::usb {

ContextPtr NewContext(std::string* error) {
    libusb_context* context = nullptr;
    int rc = libusb_init(&context);
    if (rc != 0) {
        if (error)
            *error = std::string("cannot reach USB devices (libusb: ") + libusb_strerror(rc) +
                     "); is /dev/bus/usb there?";
        return {};
    }
    return ContextPtr(context);
}

DeviceList::DeviceList(libusb_context* context) {
    ssize_t count = libusb_get_device_list(context, &m_list);
    m_count = count < 0 ? 0 : static_cast<size_t>(count);
    if (count < 0) m_list = nullptr;
}

DeviceList::~DeviceList() {
    if (m_list != nullptr) libusb_free_device_list(m_list, 1);
}

Seen Describe(libusb_device* device) {
    Seen seen;
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) == 0)
        seen.id = UsbId{descriptor.idVendor, descriptor.idProduct};
    uint8_t ports[8];
    int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    seen.busPort = FormatBusPort(libusb_get_bus_number(device),
                                 std::span<const uint8_t>(ports, depth < 0 ? 0 : depth));
    seen.address = libusb_get_device_address(device);
    return seen;
}

std::vector<Candidate> Candidates(const DeviceList& list, const UsbOptions& options, bool* anyProbe,
                                  bool* wrongMode) {
    std::vector<Candidate> result;
    for (libusb_device* device : list.Devices()) {
        Seen seen = Describe(device);
        if (IsProbeId(seen.id, options.extraIds)) {
            if (anyProbe) *anyProbe = true;
            if (MatchesSelector(options.probe, seen.busPort,
                                ReadSerial(kSysfsUsbDevices, seen.busPort)))
                result.push_back({device, std::move(seen)});
        } else if (IsWrongModeId(seen.id) && wrongMode) {
            *wrongMode = true;
        }
    }
    std::stable_sort(result.begin(), result.end(), [](const Candidate& a, const Candidate& b) {
        return BusPortLess(a.seen.busPort, b.seen.busPort);
    });
    return result;
}

std::vector<std::pair<std::string, Seen>> ProbeKeys(libusb_context* context,
                                                    const UsbOptions& options) {
    std::vector<std::pair<std::string, Seen>> keys;
    DeviceList list(context);
    for (libusb_device* device : list.Devices()) {
        Seen seen = Describe(device);
        if (IsProbeId(seen.id, options.extraIds)) keys.emplace_back(seen.Key(), seen);
    }
    return keys;
}

}  // namespace probelib::usb
