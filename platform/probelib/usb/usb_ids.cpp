// Matching of USB ids.
#include "platform/probelib/usb/usb_ids.h"

#include <algorithm>

namespace probelib::usb {

bool IsProbeId(UsbId id, std::span<const UsbId> extraIds) {
    return std::find(std::begin(kProbeIds), std::end(kProbeIds), id) != std::end(kProbeIds) ||
           std::find(extraIds.begin(), extraIds.end(), id) != extraIds.end();
}

bool IsWrongModeId(UsbId id) {
    return std::find(std::begin(kWrongModeIds), std::end(kWrongModeIds), id) !=
           std::end(kWrongModeIds);
}

size_t ReadBufferSize(size_t requested) {
    if (requested == 0) return kPacketSize;
    return (requested + kPacketSize - 1) / kPacketSize * kPacketSize;
}

}  // namespace probelib::usb
