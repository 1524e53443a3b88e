// Decoding throughput of Intel HEX text, and the whole HEX-to-BIN conversion,
// on a full 600 KiB image.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "vornic/image/firmware_image.h"
#include "vornic/image/hex_to_bin.h"
#include "vornic/image/intel_hex.h"
#include "vornic/log/output_log.h"

using namespace vornic_image;

namespace {

void AppendRecord(std::string& out, uint8_t type, uint16_t address, const uint8_t* data, size_t n) {
    char buffer[2 * 260 + 16];
    int len = std::snprintf(buffer, sizeof buffer, ":%02X%04X%02X", static_cast<unsigned>(n),
                            address, type);
    uint8_t sum = static_cast<uint8_t>(n + (address >> 8) + address + type);
    for (size_t i = 0; i < n; ++i) {
        len +=
            std::snprintf(buffer + len, sizeof buffer - static_cast<size_t>(len), "%02X", data[i]);
        sum = static_cast<uint8_t>(sum + data[i]);
    }
    std::snprintf(buffer + len, sizeof buffer - static_cast<size_t>(len), "%02X\r\n",
                  static_cast<uint8_t>(-sum));
    out += buffer;
}

// A HEX file of `size` pseudo-random bytes at 0x08000000 in records of `perRecord` bytes.
std::string MakeHex(uint32_t size, size_t perRecord) {
    std::string out;
    std::vector<uint8_t> bytes(size);
    uint32_t x = 12345;
    for (auto& b : bytes) b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16);
    uint32_t upper = 0xFFFFFFFF;
    for (uint32_t off = 0; off < size; off += static_cast<uint32_t>(perRecord)) {
        uint32_t address = 0x08000000 + off;
        if (address >> 16 != upper) {
            upper = address >> 16;
            uint8_t base[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
            AppendRecord(out, 4, 0, base, 2);
        }
        size_t n = std::min<size_t>(perRecord, size - off);
        AppendRecord(out, 0, static_cast<uint16_t>(address), bytes.data() + off, n);
    }
    AppendRecord(out, 1, 0, nullptr, 0);
    return out;
}

void BM_DecodeIntelHex(benchmark::State& state) {
    const std::string text = MakeHex(kImageCapacity, static_cast<size_t>(state.range(0)));
    std::unique_ptr<uint8_t[]> image(new uint8_t[kImageCapacity]);
    uint32_t used = 0;
    for (auto _ : state) {
        int ok = DecodeIntelHex(text, std::span(image.get(), kImageCapacity), used);
        benchmark::DoNotOptimize(ok);
        benchmark::ClobberMemory();
        if (!ok || used != kImageCapacity) state.SkipWithError("decode failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.counters["MB/s"] = benchmark::Counter(static_cast<double>(text.size()) / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
    state.counters["text_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_DecodeIntelHex)->Arg(16)->Arg(32)->Arg(255)->Unit(benchmark::kMillisecond);

// File read, decode, .BIN write and publication, as one Execute does.
void BM_ConvertHexToBin(benchmark::State& state) {
    g_debugOutput = false;
    auto dir = std::filesystem::temp_directory_path() /
               ("vornic-image-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string text = MakeHex(kImageCapacity, 16);
    const auto hex = dir / "image.hex";
    std::ofstream(hex, std::ios::binary)
        .write(text.data(), static_cast<std::streamsize>(text.size()));
    std::string output;
    for (auto _ : state) {
        if (!ConvertHexToBin(hex.string(), output).Ok()) state.SkipWithError("conversion failed");
    }
    state.counters["MB/s"] = benchmark::Counter(static_cast<double>(text.size()) / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
    std::filesystem::remove_all(dir);
    g_firmwareImage.Clear();
}
BENCHMARK(BM_ConvertHexToBin)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
