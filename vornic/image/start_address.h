// Whether an image may be written at the chosen start address: an image that
// knows where it was linked (one read from an ELF) must begin there and fit
// the memory behind it.
#pragma once

#include <cstdint>

#include "vornic/image/firmware_image.h"
#include "vornic/probe/outcome.h"

// The target's memories: flash (also seen from address 0) and SRAM.
inline constexpr uint32_t kFlashStart = 0x08000000;
inline constexpr uint32_t kFlashSize = 64 * 1024;
inline constexpr uint32_t kSramStart = 0x20000000;
inline constexpr uint32_t kSramSize = 20 * 1024;

// Ok for an image without a link address (HEX, BIN). Otherwise the image's
// origin (its lowest load address; 0x08000000 for one linked below that,
// whose offsets are flash offsets) must be startAddress, or AddressMismatch
// with a log line naming both; and its length must fit the memory at
// startAddress, or TooLarge with the size message naming that memory's size.
Outcome CheckStartAddress(const FirmwareImage& image, uint32_t startAddress);
