// Whether an image may be written at the chosen start address: it must fit
// the memory there, and an image that knows where it was linked (an ELF, or
// HEX data in flash or above) must begin there.
#pragma once

#include <cstdint>
#include <optional>

#include "vornic/image/firmware_image.h"
#include "vornic/outcome/outcome.h"

namespace vornic_image {

// The target's memories: flash (also seen from address 0) and SRAM.
inline constexpr uint32_t kFlashStart = 0x08000000;
inline constexpr uint32_t kFlashSize = 64 * 1024;
inline constexpr uint32_t kSramStart = 0x20000000;
inline constexpr uint32_t kSramSize = 20 * 1024;

// The memories of each part an image can be written to, by start address.
struct PartMemory {
    const char* part;
    uint32_t start;
    uint32_t size;
};
inline constexpr PartMemory kPartMemories[] = {
    {"CH32V103", kFlashStart, kFlashSize},
    {"CH32V103", kSramStart, kSramSize},
};

// The size of the memory at startAddress; none when no memory starts there.
std::optional<uint32_t> MemorySizeAt(uint32_t startAddress);

// The image's origin (its link address; 0x08000000 for one linked below
// that, whose offsets are flash offsets) must be startAddress, or
// AddressMismatch with a log line naming both; images without a link address
// (BIN, HEX data starting below 0x08000000) are not placed. Its length must
// fit the memory at startAddress, or TooLarge with the size message naming
// that memory's size.
Outcome CheckStartAddress(const FirmwareImage& image, uint32_t startAddress);

}  // namespace vornic_image
