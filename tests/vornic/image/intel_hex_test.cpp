// Decoder cases: record arithmetic, address bases, rebasing, and bounds on hostile input.
#include "vornic/image/intel_hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <numeric>
#include <vector>

#include "tests/vornic/image/test_util.h"
#include "vornic/image/firmware_image.h"

namespace {

using imagetest::Eof;
using imagetest::Linear;
using imagetest::Record;
using imagetest::Segment;

std::vector<uint8_t> Bytes(size_t n, uint8_t first = 1) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

// Decodes into a full-size image pre-filled with 0xAA, so untouched bytes are visible.
struct Decoded {
    int result = -1;
    uint32_t used = 0xDEADBEEF;
    std::vector<uint8_t> image = std::vector<uint8_t>(kImageCapacity, 0xAA);
};

Decoded Decode(const std::string& text) {
    Decoded d;
    // An exact-size heap copy, so any read past the end is caught by ASan.
    std::unique_ptr<char[]> exact(new char[text.size() ? text.size() : 1]);
    std::copy(text.begin(), text.end(), exact.get());
    d.result = DecodeIntelHex(std::string_view(exact.get(), text.size()), d.image, d.used);
    return d;
}

TEST(HexPairToByte, AcceptsBothCasesAndRejectsOthersWithoutStoring) {
    uint8_t out = 0x5A;
    EXPECT_EQ(HexPairToByte("00", out), 1);
    EXPECT_EQ(out, 0x00);
    EXPECT_EQ(HexPairToByte("fF", out), 1);
    EXPECT_EQ(out, 0xFF);
    EXPECT_EQ(HexPairToByte("a9", out), 1);
    EXPECT_EQ(out, 0xA9);
    out = 0x5A;
    for (const char* bad : {"G0", "0G", " 1", "1:",
                            "\xff"
                            "0"}) {
        EXPECT_EQ(HexPairToByte(bad, out), 0) << bad;
        EXPECT_EQ(out, 0x5A) << bad;
    }
}

TEST(DecodeIntelHex, EndOfFileAloneGivesEmptyImage) {
    Decoded d = Decode(Eof());
    EXPECT_EQ(d.result, 1);
    EXPECT_EQ(d.used, 0u);
    // The first text-length bytes are zeroed; nothing else is touched.
    EXPECT_TRUE(
        std::all_of(d.image.begin(), d.image.begin() + 13, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(d.image[13], 0xAA);
}

TEST(DecodeIntelHex, TypicalFlashFileStartsAtImageOffsetZero) {
    auto a = Bytes(16, 1), b = Bytes(16, 17), c = Bytes(5, 33);
    Decoded d = Decode(Linear(0x0800) + Record(0, 0x0000, a) + Record(0, 0x0010, b) +
                       Record(0, 0x0020, c) + Eof());
    ASSERT_EQ(d.result, 1);
    EXPECT_EQ(d.used, 37u);
    for (int i = 0; i < 37; ++i) EXPECT_EQ(d.image[i], i + 1) << i;
}

TEST(DecodeIntelHex, OriginIsTheFirstDataRecordNotTheFlashBase) {
    Decoded d =
        Decode(Linear(0x0800) + Record(0, 0x1000, {9, 8, 7}) + Record(0, 0x1010, {6}) + Eof());
    ASSERT_EQ(d.result, 1);
    EXPECT_EQ(d.image[0], 9);
    EXPECT_EQ(d.image[16], 6);
    EXPECT_EQ(d.used, 17u);
}

TEST(DecodeIntelHex, LowAddressesAreAbsolute) {
    Decoded d = Decode(Record(0, 0x0100, {1, 2}) + Eof());
    ASSERT_EQ(d.result, 1);
    EXPECT_EQ(d.image[0x100], 1);
    EXPECT_EQ(d.used, 0x102u);

    // SRAM images are at or above 0x08000000 too and rebased to their first record.
    Decoded s = Decode(Linear(0x2000) + Record(0, 0x0004, {5}) + Eof());
    ASSERT_EQ(s.result, 1);
    EXPECT_EQ(s.image[0], 5);
    EXPECT_EQ(s.used, 1u);
}

TEST(DecodeIntelHex, FirstRecordAtZeroRebasesLaterOnesByLinearBase) {
    Decoded d = Decode(Record(0, 0x0000, {1}) + Linear(0x0800) + Record(0, 0x0040, {2}) + Eof());
    ASSERT_EQ(d.result, 1);
    EXPECT_EQ(d.image[0], 1);
    EXPECT_EQ(d.image[0x40], 2);
    EXPECT_EQ(d.used, 0x41u);
}

TEST(DecodeIntelHex, UsedLengthIsTheLargestRecordEnd) {
    Decoded d = Decode(Linear(0x0800) + Record(0, 0x0000, {1}) + Record(0, 0x0100, {2, 3}) +
                       Record(0, 0x0010, {4}) + Eof());
    ASSERT_EQ(d.result, 1);
    EXPECT_EQ(d.used, 0x102u);
    EXPECT_EQ(d.image[0x10], 4);
}

TEST(DecodeIntelHex, SegmentAndLinearBasesCombine) {
    // 0x0001 * 65536 + 0x1000 * 16 + 0x0020 = 0x20020, below the flash base: absolute.
    Decoded d = Decode(Linear(0x0001) + Segment(0x1000) + Record(0, 0x0020, {0x77}) + Eof());
    ASSERT_EQ(d.result, 1);
    EXPECT_EQ(d.image[0x20020], 0x77);
    EXPECT_EQ(d.used, 0x20021u);
}

TEST(DecodeIntelHex, StartAddressRecordsAreSkippedUnknownTypesFail) {
    std::string start = Record(3, 0, {0, 0, 1, 0}) + Record(5, 0, {0x08, 0, 0, 0});
    Decoded d = Decode(Record(0, 0, {1}) + start + Eof());
    EXPECT_EQ(d.result, 1);
    EXPECT_EQ(Decode(Record(0, 0, {1}) + Record(6, 0) + Eof()).result, 0);
}

TEST(DecodeIntelHex, LowerCaseDigitsAndTextAfterEndOfFile) {
    std::string lower = Record(0, 0x00AB, {0xCD, 0xEF});
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return static_cast<char>(std::tolower(c)); });
    Decoded d = Decode(lower + Eof() + "garbage that is never read");
    ASSERT_EQ(d.result, 1);
    EXPECT_EQ(d.image[0xAB], 0xCD);
    EXPECT_EQ(d.image[0xAC], 0xEF);
}

TEST(DecodeIntelHex, RejectsMalformedText) {
    struct Case {
        std::string text;
        const char* why;
    };
    std::string good = Record(0, 0, {1, 2, 3});
    std::string badSum = good;
    badSum[badSum.size() - 3] = badSum[badSum.size() - 3] == '0' ? '1' : '0';
    std::string nonHex = good;
    nonHex[9] = 'Z';  // first data digit
    const Case cases[] = {
        {"", "empty text"},
        {":", "shorter than two characters"},
        {good + badSum + Eof(), "checksum error after a valid record"},
        {"\xEF\xBB\xBF" + good + Eof(), "byte-order mark"},
        {"\r\n" + good + Eof(), "leading blank line"},
        {":10000000\r\n" + Eof(), "line ends: CR LF only"},
        {":0300000001020", "record cut inside its data"},
        {":FF000000", "byte count runs past the end"},
        {good, "no end-of-file record"},
        {good + ":0000", "end-of-file record cut short"},
        {nonHex + Eof(), "non-hex digit in a data byte"},
        {":ZZ000001FF\r\n", "non-hex byte count"},
    };
    for (const Case& c : cases) EXPECT_EQ(Decode(c.text).result, 0) << c.why;
}

TEST(DecodeIntelHex, LineFeedOnlyFailsUnlessFirstRecordIsEndOfFile) {
    std::string lf = ":0100000001FE\n:00000001FF\n";
    EXPECT_EQ(Decode(lf).result, 0);
    EXPECT_EQ(Decode(":00000001FF\n").result, 1);
    // The end-of-file record needs no line end after it at all.
    EXPECT_EQ(Decode(":00000001FF").result, 1);
}

TEST(DecodeIntelHex, ByteCountUpTo255IsDecoded) {
    for (size_t n : {251u, 252u, 255u}) {
        auto data = Bytes(n, 3);
        Decoded d = Decode(Record(0, 0x0010, data) + Eof());
        ASSERT_EQ(d.result, 1) << n;
        EXPECT_EQ(d.used, 0x10 + n);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), d.image.begin() + 0x10)) << n;
    }
}

// A small image inside a larger buffer of canaries: nothing may land outside it.
TEST(DecodeIntelHex, NeverWritesOutsideTheImageBuffer) {
    std::vector<uint8_t> storage(64, 0xCC);
    std::span<uint8_t> image(storage.data() + 16, 16);
    uint32_t used = 0;

    // Text longer than the buffer: the zero-fill stops at the buffer's end.
    std::string text = Record(0, 0, {1}) + Record(0, 14, {2, 3, 4, 5}) + Eof();
    EXPECT_EQ(DecodeIntelHex(text, image, used), 1);
    EXPECT_EQ(used, 18u);  // the extent is reported, so a size check rejects it
    EXPECT_EQ(image[0], 1);
    EXPECT_EQ(image[14], 0);  // the record that does not fit is not clipped in
    for (size_t i = 0; i < 16; ++i) EXPECT_EQ(storage[i], 0xCC) << i;
    for (size_t i = 32; i < 64; ++i) EXPECT_EQ(storage[i], 0xCC) << i;
}

TEST(DecodeIntelHex, AddressesBelowTheFirstRecordWrapAndAreNotWritten) {
    // First record at 0x08001000, next at 0x08000000: offset wraps to 0xFFFFF000.
    Decoded d = Decode(Linear(0x0800) + Record(0, 0x1000, {1}) + Record(0, 0x0000, {2}) + Eof());
    EXPECT_EQ(d.result, 1);
    EXPECT_GT(d.used, kImageCapacity);
    // An end past 2^32 saturates instead of wrapping to a small length.
    Decoded w =
        Decode(Linear(0x0800) + Record(0, 0x1000, {1}) + Record(0, 0x0FF8, Bytes(16)) + Eof());
    EXPECT_EQ(w.result, 1);
    EXPECT_EQ(w.used, 0xFFFFFFFFu);
    EXPECT_EQ(w.image[0], 1);
    EXPECT_EQ(w.image[1], 0);
}

TEST(DecodeIntelHex, ZeroLengthDataRecordSetsTheOrigin) {
    Decoded d = Decode(Linear(0x0800) + Record(0, 0x0100) + Record(0, 0x0104, {7}) + Eof());
    ASSERT_EQ(d.result, 1);
    EXPECT_EQ(d.image[4], 7);
    EXPECT_EQ(d.used, 5u);
}

}  // namespace
