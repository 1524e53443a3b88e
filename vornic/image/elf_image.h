// ELF reader: the program in a RISC-V executable as a flat image, laid out as
// the same program's Intel HEX file would be.
#pragma once

#include <cstdint>
#include <span>

#include "vornic/outcome/outcome.h"

namespace vornic_image {

// Where the image came from: its lowest load address, and the bytes it spans
// from its origin (before padding to whole words).
struct ElfExtent {
    uint32_t lowest = 0;
    uint32_t used = 0;
};

// Reads the 32-bit little-endian RISC-V executable open on fd (fileSize bytes;
// headers read with libelf, nothing mapped) into image. The image
// holds what binutils' objcopy copies: every allocated section with file
// bytes, at its load address (the physical address of the PT_LOAD segment
// that holds it, plus its place there); without a section table, the PT_LOAD
// segments with file bytes. Memory-only bytes (.bss) are left out. Each lands
// at its load address less the origin: the lowest load address when that is
// at or above 0x08000000, else 0, so that the flash alias below keeps its
// offsets. FileInvalid for any other kind of file, a header, segment or
// section outside the file or the address space, overlapping segments or
// sections, or no PT_LOAD segment with file bytes; TooLarge when the image
// would span more than image holds. Sizes are checked against the file and
// the image before anything is read. On success the bytes of image up to
// extent->used rounded up to a whole word hold the image, zero where no
// section lands, and the rest of image is untouched; after a failure image
// holds nothing of use.
Outcome ReadElfImage(int fd, uint64_t fileSize, std::span<uint8_t> image, ElfExtent* extent);

// True when the first bytes are the ELF magic.
bool HasElfMagic(std::span<const uint8_t> start);

}  // namespace vornic_image
