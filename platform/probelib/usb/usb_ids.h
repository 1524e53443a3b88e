// What identifies the probe on USB: the ids it is driven under, the ids of the
// mode it cannot be driven in, its interface, endpoints and time-outs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/probelib/probe_types.h"

namespace probelib::usb {

// The probe in its RISC-V mode. The udev rule in packaging/ lists the same ids.
inline constexpr UsbId kProbeIds[] = {kProbeUsbId};
// The same probe enumerated in its ARM mode: recognised only to tell the user.
inline constexpr UsbId kWrongModeIds[] = {{0x1a86, 0x8011}, {0x1a86, 0x8012}};

inline constexpr int kInterface = 0;
inline constexpr uint32_t kPacketSize = 64;

// A write is one packet of at most 64 bytes; a probe that takes none for a
// second is not going to.
inline constexpr unsigned kWriteTimeoutMs = 1000;
// A read waits for the probe's answer. The slowest answer comes after the
// target has erased its whole flash (erase-all, and disabling read
// protection, which erases the flash before the probe replies): a fraction of
// a second on the chip, so five seconds is ample and still ends a read on a
// probe that will never answer.
inline constexpr unsigned kReadTimeoutMs = 5000;

// Pipe 1 is endpoint 1, pipe 2 endpoint 2; 0 for any other pipe.
inline constexpr uint8_t OutEndpoint(uint32_t pipe) {
    return pipe == 1 || pipe == 2 ? static_cast<uint8_t>(pipe) : 0;
}
inline constexpr uint8_t InEndpoint(uint32_t pipe) {
    return pipe == 1 || pipe == 2 ? static_cast<uint8_t>(0x80 | pipe) : 0;
}

bool IsProbeId(UsbId id, std::span<const UsbId> extraIds);
bool IsWrongModeId(UsbId id);

// Bytes to ask the device for when the caller wants `requested`: whole packets,
// so that a reply longer than the caller's buffer is taken, not an overflow.
size_t ReadBufferSize(size_t requested);

}  // namespace probelib::usb
