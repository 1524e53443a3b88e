// Conversion cases: names, branches, size limits, messages and the image's ownership.
#include "vornic/image/hex_to_bin.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/vornic/image/test_util.h"
#include "vornic/image/firmware_image.h"
#include "vornic/log/language.h"

namespace {

namespace fs = std::filesystem;
using imagetest::Eof;
using imagetest::Linear;
using imagetest::ReadFile;
using imagetest::Record;
using imagetest::WriteFile;

// 13 bytes at the flash base.
std::string SmallHex() {
    return Linear(0x0800) +
           Record(0, 0, {'h', 'e', 'l', 'l', 'o', ',', ' ', 'f', 'l', 'a', 's', 'h', '!'}) + Eof();
}

// A HEX file whose used length is exactly `length` (data record of one byte at the end).
std::string HexOfLength(uint32_t length) {
    uint32_t last = 0x08000000 + length - 1;
    return Linear(0x0800) + Record(0, 0, {0x11}) + Linear(static_cast<uint16_t>(last >> 16)) +
           Record(0, static_cast<uint16_t>(last), {0x22}) + Eof();
}

class ConvertHexToBinTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_useChinese = 0;
        g_firmwareImage.Clear();
    }
    void TearDown() override { g_firmwareImage.Clear(); }

    int Convert(const fs::path& path) { return ConvertHexToBin(path.string(), m_output).AsInt(); }

    // Leaves a good image in place, so tests can see whether a failure keeps it.
    void LoadPreviousImage() {
        WriteFile(m_dir.path() / "prev.bin", "abcd");
        ASSERT_EQ(Convert(m_dir.path() / "prev.bin"), 1);
    }

    imagetest::TempDir m_dir;
    imagetest::RecordingDialog m_log;
    std::string m_output;
};

TEST_F(ConvertHexToBinTest, WritesBinBesideSourcePaddedToWholeWords) {
    fs::path src = m_dir.path() / "app.hex";
    WriteFile(src, SmallHex());
    ASSERT_EQ(Convert(src), 1);
    fs::path bin = m_dir.path() / "app.bin";
    EXPECT_EQ(m_output, bin.string());
    EXPECT_EQ(ReadFile(bin), std::string("hello, flash!\0\0\0", 16));
    ASSERT_TRUE(g_firmwareImage.HasImage());
    EXPECT_EQ(g_firmwareImage.length, 16u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(g_firmwareImage.data.get()), 16),
              ReadFile(bin));
    EXPECT_EQ(m_log.Lines(), std::vector<std::string>{"Succeed to trans file from .HEX to .BIN."});
    EXPECT_FALSE(fs::exists(m_dir.path() / "APP.BIN"));
}

TEST_F(ConvertHexToBinTest, OutputNameKeepsTheCaseOfTheGivenName) {
    struct Case {
        const char* source;
        const char* bin;
    } cases[] = {{"APP.HEX", "APP.BIN"},
                 {"Mixed.Hex", "Mixed.Bin"},
                 {"image.hex.bin", "image.bin"},
                 {"fw.HEX.txt", "fw.BIN"}};
    for (const Case& c : cases) {
        WriteFile(m_dir.path() / c.source, SmallHex());
        ASSERT_EQ(Convert(m_dir.path() / c.source), 1) << c.source;
        EXPECT_EQ(m_output, (m_dir.path() / c.bin).string()) << c.source;
        EXPECT_TRUE(fs::exists(m_dir.path() / c.bin)) << c.source;
    }
}

TEST_F(ConvertHexToBinTest, FolderNamesDoNotChooseTheBranchOrTheCut) {
    fs::create_directory(m_dir.path() / "FW.HEX.OLD");
    fs::path src = m_dir.path() / "FW.HEX.OLD" / "app.hex";
    WriteFile(src, SmallHex());
    ASSERT_EQ(Convert(src), 1);
    EXPECT_EQ(m_output, (m_dir.path() / "FW.HEX.OLD" / "app.bin").string());

    // A .bin file in a folder named like a HEX file is taken unchanged.
    fs::path bin = m_dir.path() / "FW.HEX.OLD" / "raw.bin";
    WriteFile(bin, "12345");
    ASSERT_EQ(Convert(bin), 1);
    EXPECT_EQ(m_output, bin.string());
    EXPECT_EQ(g_firmwareImage.length, 5u);

    // No extension in the file name: rejected even though the folder has one.
    fs::path plain = m_dir.path() / "FW.HEX.OLD" / "firmware";
    WriteFile(plain, SmallHex());
    EXPECT_EQ(Convert(plain), 0);
    EXPECT_EQ(m_log.Lines().back(), "Invalid .HEX!");
}

TEST_F(ConvertHexToBinTest, MissingSourceIsNotCreatedAndKeepsThePreviousImage) {
    LoadPreviousImage();
    fs::path missing = m_dir.path() / "typo.hex";
    EXPECT_EQ(Convert(missing), 0);
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_EQ(m_output, "");
    EXPECT_EQ(m_log.Lines().back(), "Not choose file" + missing.string());
    EXPECT_TRUE(g_firmwareImage.HasImage());

    // A folder is not a firmware file either.
    EXPECT_EQ(Convert(m_dir.path()), 0);
    EXPECT_EQ(m_log.Lines().back(), "Not choose file" + m_dir.path().string());

    // Nor is a FIFO, and opening one must not wait for a writer.
    fs::path fifo = m_dir.path() / "pipe.hex";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(Convert(fifo), 0);
    EXPECT_EQ(m_log.Lines().back(), "Not choose file" + fifo.string());
    EXPECT_TRUE(g_firmwareImage.HasImage());
}

TEST_F(ConvertHexToBinTest, EmptySourceIsReportedAndKeepsThePreviousImage) {
    LoadPreviousImage();
    fs::path empty = m_dir.path() / "empty.hex";
    WriteFile(empty, "");
    EXPECT_EQ(Convert(empty), 0);
    EXPECT_EQ(m_log.Lines().back(), "Invalid file" + empty.string());
    EXPECT_TRUE(g_firmwareImage.HasImage());
}

TEST_F(ConvertHexToBinTest, FailureAfterSuccessLeavesNoImage) {
    LoadPreviousImage();
    fs::path bad = m_dir.path() / "bad.hex";
    WriteFile(bad, ":0100000001FE\n:00000001FF\n");  // LF line ends
    m_output = "stale";
    EXPECT_EQ(Convert(bad), 0);
    EXPECT_EQ(m_log.Lines().back(), "Invalid .HEX!");
    EXPECT_EQ(m_output, "");
    EXPECT_FALSE(g_firmwareImage.HasImage());
    EXPECT_EQ(g_firmwareImage.length, 0u);
    EXPECT_FALSE(fs::exists(m_dir.path() / "bad.bin"));
}

TEST_F(ConvertHexToBinTest, CapacityIsTheLargestImage) {
    fs::path exact = m_dir.path() / "exact.hex";
    WriteFile(exact, HexOfLength(kImageCapacity));
    ASSERT_EQ(Convert(exact), 1);
    EXPECT_EQ(g_firmwareImage.length, kImageCapacity);
    EXPECT_EQ(g_firmwareImage.data[kImageCapacity - 1], 0x22);
    EXPECT_EQ(fs::file_size(m_dir.path() / "exact.bin"), kImageCapacity);

    fs::path over = m_dir.path() / "over.hex";
    WriteFile(over, HexOfLength(kImageCapacity + 1));
    EXPECT_EQ(Convert(over), 0);
    EXPECT_EQ(m_log.Lines().back(), "The file can not beyond 614400 bytes");
    EXPECT_FALSE(g_firmwareImage.HasImage());

    // A .BIN source is bounded the same way, not copied past the buffer.
    fs::path bigBin = m_dir.path() / "big.bin";
    WriteFile(bigBin, std::string(kImageCapacity + 1, 'x'));
    EXPECT_EQ(Convert(bigBin), 0);
    EXPECT_EQ(m_log.Lines().back(), "The file can not beyond 614400 bytes");
    WriteFile(bigBin, std::string(kImageCapacity, 'x'));
    EXPECT_EQ(Convert(bigBin), 1);
}

TEST_F(ConvertHexToBinTest, HexTextLongerThanOneReadBlock) {
    // 614400 bytes in 16-byte records: 1.7 MB of text, so records straddle
    // the ends of the 1 MiB blocks the file is read in.
    std::vector<uint8_t> bytes(kImageCapacity);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
    std::string text;
    for (uint32_t off = 0; off < bytes.size(); off += 16) {
        if (off % 0x10000 == 0) text += Linear(static_cast<uint16_t>(0x0800 + (off >> 16)));
        text += Record(0, static_cast<uint16_t>(off),
                       std::vector<uint8_t>(bytes.begin() + off, bytes.begin() + off + 16));
    }
    WriteFile(m_dir.path() / "big.hex", text + Eof() + "text after the end is never read");
    ASSERT_GT(text.size(), 1u << 20);
    ASSERT_EQ(Convert(m_dir.path() / "big.hex"), 1);
    EXPECT_EQ(ReadFile(m_dir.path() / "big.bin"), std::string(bytes.begin(), bytes.end()));
}

TEST_F(ConvertHexToBinTest, OddLengthsArePaddedWithZeros) {
    fs::path src = m_dir.path() / "five.hex";
    WriteFile(src, Record(0, 0, {1, 2, 3, 4, 5}) + Eof());
    ASSERT_EQ(Convert(src), 1);
    EXPECT_EQ(ReadFile(m_dir.path() / "five.bin"), std::string("\1\2\3\4\5\0\0\0", 8));
    EXPECT_EQ(g_firmwareImage.length, 8u);
}

TEST_F(ConvertHexToBinTest, ExistingBinIsReplaced) {
    WriteFile(m_dir.path() / "app.bin", std::string(1000, 'o'));
    WriteFile(m_dir.path() / "app.hex", SmallHex());
    ASSERT_EQ(Convert(m_dir.path() / "app.hex"), 1);
    EXPECT_EQ(fs::file_size(m_dir.path() / "app.bin"), 16u);
}

TEST_F(ConvertHexToBinTest, BinNameThatCannotBeOpenedIsReported) {
    fs::create_directory(m_dir.path() / "app.bin");
    WriteFile(m_dir.path() / "app.hex", SmallHex());
    EXPECT_EQ(Convert(m_dir.path() / "app.hex"), 0);
    EXPECT_EQ(m_log.Lines().back(), "Fail to open .BIN:" + (m_dir.path() / "app.bin").string());
    EXPECT_FALSE(g_firmwareImage.HasImage());
}

TEST_F(ConvertHexToBinTest, BinSourceIsTakenUnchangedWithoutMessages) {
    fs::path src = m_dir.path() / "RAW.BIN";
    WriteFile(src, std::string("\x01\x02\x03\x04\x05", 5));
    ASSERT_EQ(Convert(src), 1);
    EXPECT_EQ(m_output, src.string());
    EXPECT_EQ(g_firmwareImage.length, 5u);
    EXPECT_EQ(g_firmwareImage.data[4], 5);
    EXPECT_TRUE(m_log.Lines().empty());
}

TEST_F(ConvertHexToBinTest, PathBytesAreData) {
    // Spaces, '%' and non-ASCII bytes in names reach the file system and the log unchanged.
    fs::path src = m_dir.path() / "固件 %s 100%.hex";
    WriteFile(src, SmallHex());
    ASSERT_EQ(Convert(src), 1);
    EXPECT_EQ(m_output, (m_dir.path() / "固件 %s 100%.bin").string());
    fs::path missing = m_dir.path() / "%n%n.hex";
    EXPECT_EQ(Convert(missing), 0);
    EXPECT_EQ(m_log.Lines().back(), "Not choose file" + missing.string());
}

TEST_F(ConvertHexToBinTest, ChineseMessages) {
    g_useChinese = 1;
    fs::path missing = m_dir.path() / "none.hex";
    EXPECT_EQ(Convert(missing), 0);
    WriteFile(m_dir.path() / "ok.hex", SmallHex());
    EXPECT_EQ(Convert(m_dir.path() / "ok.hex"), 1);
    g_useChinese = 0;
    std::vector<std::string> expected = {"未选择文件" + missing.string(), ".HEX已成功转成.BIN格式"};
    EXPECT_EQ(m_log.Lines(), expected);
}

TEST(BinNameForHex, CutsTheFileNameOnly) {
    EXPECT_EQ(BinNameForHex("/a/FW.HEX.OLD/app.hex"), "/a/FW.HEX.OLD/app.bin");
    EXPECT_EQ(BinNameForHex("APP.HEX"), "APP.BIN");
    EXPECT_EQ(BinNameForHex("/a.hex/raw.bin"), "");
}

}  // namespace
