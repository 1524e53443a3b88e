// The flat firmware image (flash bytes by image offset) and the process-wide image.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace vornic_image {

// Size of every image buffer, and the largest image accepted (600 KiB).
inline constexpr uint32_t kImageCapacity = 614400;

struct FirmwareImage {
    // kImageCapacity bytes; byte i (below length) is the flash byte at offset i
    // from the image origin. Null when there is no image.
    std::unique_ptr<uint8_t[]> data;
    // Used length: the bytes of data that make up the image (<= kImageCapacity).
    uint32_t length = 0;
    // Where the image says it was linked: the lowest load address of an ELF,
    // or the first data address of a HEX file whose first data lies at or
    // above 0x08000000. None for BIN sources and for HEX data that starts
    // below (the flash alias, whose offsets are flash offsets).
    std::optional<uint32_t> linkedAt;

    bool HasImage() const { return data != nullptr; }
    // The image bytes; empty when there is no image.
    std::span<const uint8_t> Bytes() const {
        return data ? std::span<const uint8_t>(data.get(), length) : std::span<const uint8_t>();
    }
    void Clear() {
        data.reset();
        length = 0;
        linkedAt.reset();
    }
};

// The process-wide image, written to the chip by the programme/verify engine.
// Ownership rule: only ConvertHexToBin changes it (it discards the old image
// first and publishes a new one only on success). ConvertHexToBin must not be
// called while a download job reads the image: the caller that starts jobs
// refuses a conversion while one runs, so the engine may read data and length
// without a lock for its whole run.
extern FirmwareImage g_firmwareImage;

}  // namespace vornic_image
