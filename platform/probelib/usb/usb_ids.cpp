// Parsing and matching of USB ids.
#include "platform/probelib/usb/usb_ids.h"

#include <algorithm>
#include <cstdio>

namespace probelib {

namespace {
// One to four hex digits, nothing else.
bool ParseHex16(std::string_view text, uint16_t* out) {
    if (text.empty() || text.size() > 4) return false;
    uint16_t value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        value = static_cast<uint16_t>(value * 16 + digit);
    }
    *out = value;
    return true;
}
}  // namespace

int ParseUsbId(std::string_view text, UsbId* out) {
    size_t colon = text.find(':');
    if (colon == std::string_view::npos) return 0;
    UsbId id;
    if (!ParseHex16(text.substr(0, colon), &id.vendor) ||
        !ParseHex16(text.substr(colon + 1), &id.product))
        return 0;
    *out = id;
    return 1;
}

std::string FormatUsbId(UsbId id) {
    char text[10];
    std::snprintf(text, sizeof text, "%04x:%04x", id.vendor, id.product);
    return text;
}

}  // namespace probelib

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
