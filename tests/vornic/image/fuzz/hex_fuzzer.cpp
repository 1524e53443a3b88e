// libFuzzer entry for the Intel HEX decoder: arbitrary text, a small image
// inside guard bytes, and the decoder's promises checked on every input; the
// same text fed in pieces (as a file is read in blocks) must decode exactly as
// it does whole.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "vornic/image/intel_hex.h"

namespace {
// Small enough that ordinary addresses fall outside it, so bounds are exercised.
constexpr size_t kImage = 4096;
constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xA5;

void CheckGuards(const uint8_t* storage) {
    for (size_t i = 0; i < kGuard; ++i) {
        if (storage[i] != kGuardByte || storage[kGuard + kImage + i] != kGuardByte) std::abort();
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The last byte chooses where the pieces are cut; the rest is the text.
    const uint8_t cuts = size > 0 ? data[size - 1] : 0;
    if (size > 0) --size;
    // An exact-size copy, so ASan sees any read past the text.
    std::unique_ptr<char[]> text(new char[size ? size : 1]);
    if (size) std::memcpy(text.get(), data, size);
    const std::string_view whole(text.get(), size);

    static uint8_t storage[kGuard + kImage + kGuard];
    std::memset(storage, kGuardByte, sizeof storage);
    std::span<uint8_t> image(storage + kGuard, kImage);
    uint32_t used = 0;
    const int result = DecodeIntelHex(whole, image, used);
    if (result != 0 && result != 1) std::abort();
    CheckGuards(storage);

    static uint8_t pieceStorage[kGuard + kImage + kGuard];
    std::memset(pieceStorage, kGuardByte, sizeof pieceStorage);
    std::span<uint8_t> pieceImage(pieceStorage + kGuard, kImage);
    std::memset(pieceImage.data(), 0, size < kImage ? size : kImage);
    IntelHexDecoder decoder(pieceImage);
    std::string pending;
    size_t offset = 0;
    IntelHexDecoder::Status status = IntelHexDecoder::Status::NeedMore;
    for (unsigned piece = 1; status == IntelHexDecoder::Status::NeedMore; ++piece) {
        const size_t length = 1 + (cuts * piece * 7919u) % 97;
        const size_t take = length < size - offset ? length : size - offset;
        // An exact-size copy of what is held, again for ASan.
        pending.append(whole.substr(offset, take));
        offset += take;
        std::unique_ptr<char[]> held(new char[pending.size() ? pending.size() : 1]);
        std::memcpy(held.get(), pending.data(), pending.size());
        size_t consumed = 0;
        status =
            decoder.Decode(std::string_view(held.get(), pending.size()), offset == size, &consumed);
        if (consumed > pending.size()) std::abort();
        pending.erase(0, consumed);
        if (status == IntelHexDecoder::Status::NeedMore && offset == size) std::abort();
    }
    CheckGuards(pieceStorage);
    if ((status == IntelHexDecoder::Status::Done) != (result == 1)) std::abort();
    if (decoder.UsedLength() != used) std::abort();
    if (std::memcmp(image.data(), pieceImage.data(), kImage) != 0) std::abort();
    return 0;
}
