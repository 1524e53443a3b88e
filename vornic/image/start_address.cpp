// The start-address check: where the image was linked, and whether it fits.
#include "vornic/image/start_address.h"

#include "vornic/log/language.h"
#include "vornic/log/output_log.h"

namespace vornic_image {

std::optional<uint32_t> MemorySizeAt(uint32_t startAddress) {
    for (const PartMemory& memory : kPartMemories)
        if (memory.start == startAddress) return memory.size;
    return std::nullopt;
}

Outcome CheckStartAddress(const FirmwareImage& image, uint32_t startAddress) {
    if (image.linkedAt) {
        const uint32_t lowest = *image.linkedAt;
        const uint32_t origin = lowest < kFlashStart ? kFlashStart : lowest;
        if (origin != startAddress) {
            LogMessage(Tr("映像链接地址0x%08X与编程地址0x%08X不符",
                          "Image is linked at 0x%08X but the start address is 0x%08X"),
                       lowest, startAddress);
            return Reason::AddressMismatch;
        }
    }
    const uint32_t size = MemorySizeAt(startAddress).value_or(0);
    if (image.length > size) {
        LogMessage(Tr("文件不能超过%d字节", "The file can not beyond %d bytes"),
                   static_cast<int>(size));
        return Reason::TooLarge;
    }
    return {};
}

}  // namespace vornic_image
