// libFuzzer entry for DecodeIntelHex: arbitrary text, a small image inside
// guard bytes, and the decoder's promises checked on every input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

#include "intel_hex.h"

namespace {
// Small enough that ordinary addresses fall outside it, so bounds are exercised.
constexpr size_t kImage = 4096;
constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xA5;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so ASan sees any read past the text.
    std::unique_ptr<char[]> text(new char[size ? size : 1]);
    if (size) std::memcpy(text.get(), data, size);

    static uint8_t storage[kGuard + kImage + kGuard];
    std::memset(storage, kGuardByte, sizeof storage);
    std::span<uint8_t> image(storage + kGuard, kImage);

    uint32_t used = 0;
    int result = DecodeIntelHex(std::string_view(text.get(), size), image, used);
    if (result != 0 && result != 1) std::abort();
    for (size_t i = 0; i < kGuard; ++i) {
        if (storage[i] != kGuardByte || storage[kGuard + kImage + i] != kGuardByte) std::abort();
    }
    return 0;
}
