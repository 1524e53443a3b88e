// libFuzzer entry for the Intel HEX decoder: arbitrary text into a small image
// inside guard bytes, nothing written outside it; the same text fed in pieces
// (as a file is read in blocks) must decode exactly as it does whole, and a
// refusal must give the same line and reason.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "vornic/image/intel_hex.h"

using namespace vornic_image;

namespace {
// Small enough that ordinary addresses fall outside it, so bounds are exercised.
constexpr size_t kImage = 4096, kGuard = 64;
uint8_t g_whole[kGuard + kImage + kGuard], g_pieces[kGuard + kImage + kGuard];

// An exact-size heap copy, so that ASan sees any read past the text.
std::unique_ptr<char[]> Exact(std::string_view text) {
    std::unique_ptr<char[]> copy(new char[text.empty() ? 1 : text.size()]);
    std::memcpy(copy.get(), text.data(), text.size());
    return copy;
}

bool GuardsIntact(const uint8_t* s) {
    for (size_t i = 0; i < kGuard; ++i)
        if (s[i] != 0xA5 || s[kGuard + kImage + i] != 0xA5) return false;
    return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The last byte chooses where the pieces are cut; the rest is the text.
    const uint8_t cuts = size > 0 ? data[--size] : 0;
    const auto text = Exact(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::string_view whole(text.get(), size);
    std::memset(g_whole, 0xA5, sizeof g_whole);
    std::memset(g_pieces, 0xA5, sizeof g_pieces);
    const std::span<uint8_t> image(g_whole + kGuard, kImage), pieces(g_pieces + kGuard, kImage);
    uint32_t used = 0;
    HexProblem problem;
    const int result = DecodeIntelHex(whole, image, used, &problem);
    if ((result != 0 && result != 1) || !GuardsIntact(g_whole)) std::abort();

    std::memset(pieces.data(), 0, size < kImage ? size : kImage);
    IntelHexDecoder decoder(pieces);
    std::string pending;
    size_t offset = 0;
    auto status = IntelHexDecoder::Status::NeedMore;
    for (unsigned piece = 1; status == IntelHexDecoder::Status::NeedMore; ++piece) {
        const size_t take = std::min<size_t>(1 + (cuts * piece * 7919u) % 97, size - offset);
        pending.append(whole.substr(offset, take));
        offset += take;
        size_t consumed = 0;
        status = decoder.Decode(std::string_view(Exact(pending).get(), pending.size()),
                                offset == size, &consumed);
        if (consumed > pending.size()) std::abort();
        pending.erase(0, consumed);
        if (status == IntelHexDecoder::Status::NeedMore && offset == size) std::abort();
    }
    if (!GuardsIntact(g_pieces) || (status == IntelHexDecoder::Status::Done) != (result == 1) ||
        decoder.UsedLength() != used || std::memcmp(image.data(), pieces.data(), kImage) != 0)
        std::abort();
    // A refusal names the same line and reason however the text was cut.
    if ((result == 0) != (problem.line != 0) || decoder.Problem().line != problem.line ||
        std::strcmp(decoder.Problem().reason, problem.reason) != 0)
        std::abort();
    return 0;
}
