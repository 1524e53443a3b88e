// libFuzzer entry for the ELF reader: arbitrary bytes as a file (a memfd, read
// the way a firmware file is) into a small image inside guard bytes. Checked
// on every input: nothing is written outside the image's span, and the image
// is the same whatever the buffer held before.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "vornic/image/elf_image.h"

using namespace vornic_image;

namespace {
// Small enough that ordinary segment spans exceed it, so the size check runs.
constexpr size_t kImage = 64 * 1024, kGuard = 64;
uint8_t g_buffer[kGuard + kImage + kGuard], g_clean[kImage], g_filled[kGuard + kImage + kGuard];

Outcome Read(int fd, size_t size, uint8_t fill, ElfExtent* extent) {
    std::memset(g_buffer, fill, sizeof g_buffer);
    std::memset(g_filled, fill, sizeof g_filled);
    return ReadElfImage(fd, size, std::span(g_buffer + kGuard, kImage), extent);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = ::memfd_create("fuzz.elf", MFD_CLOEXEC);
    if (fd < 0 || ::ftruncate(fd, 0) != 0) std::abort();
    if (size > 0 && ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
    ElfExtent extent, again;
    const Outcome read = Read(fd, size, 0xCC, &extent);
    const bool tooLarge = read == Reason::TooLarge;
    if (read.Ok()  ? extent.used == 0 || extent.used > kImage
        : tooLarge ? extent.used <= kImage
                   : read != Reason::FileInvalid)
        std::abort();
    // Written: on success the image's span up to a whole word; nothing when
    // too large; after any other failure, anything inside the image.
    const size_t span = read.Ok() ? (extent.used + 3) & ~size_t{3} : tooLarge ? 0 : kImage;
    if (std::memcmp(g_buffer, g_filled, kGuard) != 0 ||
        std::memcmp(g_buffer + kGuard + span, g_filled + kGuard + span, kImage + kGuard - span))
        std::abort();
    if (!read.Ok()) return 0;
    std::memcpy(g_clean, g_buffer + kGuard, span);
    if (!Read(fd, size, 0x00, &again).Ok() || again.used != extent.used ||
        std::memcmp(g_clean, g_buffer + kGuard, span) != 0)
        std::abort();
    return 0;
}
