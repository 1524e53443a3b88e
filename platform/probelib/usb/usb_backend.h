// A real probe through libusb-1.0 as a probe library backend, and the list of
// attached probes. No libusb type leaves the backend's folder.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/probelib/backend.h"
#include "platform/probelib/probe_types.h"

namespace probelib::usb {

// Starts libusb, the backend's event and hot-plug threads. Null, with the
// reason in *error, when USB cannot be reached.
std::shared_ptr<Backend> MakeUsbBackend(const UsbOptions& options, std::string* error);

// Every attached device with an accepted or a wrong-mode id, ordered by bus-port.
int ListUsbProbes(const UsbOptions& options, std::vector<ProbeInfo>* out, std::string* error);

}  // namespace probelib::usb
