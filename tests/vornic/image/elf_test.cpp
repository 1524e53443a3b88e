// ELF sources: which files are read as ELF and what they are written as, the
// files refused, and the start-address check of an image read from one.
#include <elf.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "tests/vornic/image/test_util.h"
#include "vornic/image/firmware_image.h"
#include "vornic/image/hex_to_bin.h"
#include "vornic/image/start_address.h"
#include "vornic/log/language.h"

namespace {

namespace fs = std::filesystem;
using imagetest::ReadFile;
using imagetest::WriteFile;

// Code at 0x08000000 (8 bytes), data stored at 0x08000400 (2 bytes) and run
// at 0x20000000 with a 16-byte .bss tail; program headers at offset 52.
std::string TwoSegments() { return ReadFile(fs::path(VORNIC_ELF_FILES) / "two-segments.elf"); }

constexpr size_t Program(int i, size_t field) { return 52 + 32 * i + field; }

class ElfTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_useChinese = 0;
        g_firmwareImage.Clear();
    }
    void TearDown() override { g_firmwareImage.Clear(); }
    bool Convert(const char* name) {
        return ConvertHexToBin((m_dir.path() / name).string(), m_output).Ok();
    }

    imagetest::TempDir m_dir;
    imagetest::RecordingDialog m_log;
    std::string m_output;
};

TEST_F(ElfTest, ChosenByNameOrMagicAndWrittenBesideItsSource) {
    // An ELF not named *.elf gets .bin appended: one named fw.bin is not overwritten.
    const char* cases[][2] = {
        {"app.ELF", "app.BIN"}, {"firmware", "firmware.bin"}, {"fw.bin", "fw.bin.bin"}};
    for (const auto& [source, bin] : cases) {
        WriteFile(m_dir.path() / source, TwoSegments());
        ASSERT_TRUE(Convert(source)) << source;
        EXPECT_EQ(m_output, (m_dir.path() / bin).string());
        EXPECT_EQ(ReadFile(m_dir.path() / source), TwoSegments()) << source;
    }
    EXPECT_EQ(m_log.Lines().back(), "Succeed to trans file from .ELF to .BIN.");
    EXPECT_EQ(g_firmwareImage.linkedAt, 0x08000000u);
}

TEST_F(ElfTest, BadFilesAreRefusedAndNothingIsWritten) {
    ASSERT_EQ(TwoSegments().substr(28, 4), std::string("\x34\0\0\0", 4));  // e_phoff
    struct Row {
        const char* why;
        size_t at;  // where the file is changed: `width` bytes set to `value`, or cut (width 0)
        uint32_t value;
        int width;
        const char* message = "Invalid .ELF!";
    };
    const Row rows[] = {
        {"header cut short", 40, 0, 0},
        {"program headers cut short", Program(1, 8), 0, 0},
        {"segment beyond the file's end", Program(0, 4), 0x10000, 4},
        {"huge p_filesz", Program(0, 16), 0xFFFFFF00, 4},
        {"file bytes beyond memory bytes", Program(0, 20), 4, 4},
        {"segment past 4 GiB", Program(1, 12), 0xFFFFFFFF, 4},
        {"overlapping segments", Program(1, 12), 0x08000004, 4},
        {"no loadable segment", 44, 0, 2},
        {"64-bit", EI_CLASS, ELFCLASS64, 1},
        {"big-endian", EI_DATA, ELFDATA2MSB, 1},
        {"not RISC-V", 18, EM_ARM, 2},
        {"not an executable", 16, ET_DYN, 2},
        {"segments spanning more than an image", Program(1, 12), 0x08100000, 4,
         "The file can not beyond 614400 bytes"},
    };
    for (const Row& row : rows) {
        std::string elf = TwoSegments();
        if (row.width == 0) elf.resize(row.at);
        for (int i = 0; i < row.width; ++i) elf[row.at + i] = static_cast<char>(row.value >> 8 * i);
        WriteFile(m_dir.path() / "bad.elf", elf);
        EXPECT_FALSE(Convert("bad.elf")) << row.why;
        EXPECT_EQ(m_log.Lines().back(), row.message) << row.why;
        EXPECT_FALSE(g_firmwareImage.HasImage()) << row.why;
        EXPECT_FALSE(fs::exists(m_dir.path() / "bad.bin")) << row.why;
    }
}

TEST_F(ElfTest, StartAddressMustBeWhereTheImageWasLinked) {
    struct Row {
        std::optional<uint32_t> linkedAt;
        uint32_t length;
        uint32_t start;
        const char* message;  // "" when accepted
    } rows[] = {
        {std::nullopt, 100000, kSramStart, ""},    // HEX and BIN images are not checked
        {0x00000100, 64 * 1024, kFlashStart, ""},  // the flash alias: offsets from 0
        {0x20000000, 20 * 1024, kSramStart, ""},
        {0x08000000, 64 * 1024 + 4, kFlashStart, "The file can not beyond 65536 bytes"},
        {0x20000000, 20 * 1024 + 4, kSramStart, "The file can not beyond 20480 bytes"},
        {0x00000000, 64, kSramStart,
         "Image is linked at 0x00000000 but the start address is 0x20000000"},
        // Linked above the start address: written there, it would run at the wrong place.
        {0x08001000, 64, kFlashStart,
         "Image is linked at 0x08001000 but the start address is 0x08000000"},
    };
    for (const Row& row : rows) {
        FirmwareImage image;
        image.linkedAt = row.linkedAt;
        image.length = row.length;
        const size_t lines = m_log.Lines().size();
        const Outcome outcome = CheckStartAddress(image, row.start);
        EXPECT_EQ(outcome.Ok(), *row.message == '\0') << row.message;
        EXPECT_EQ(m_log.Lines().size(), lines + (outcome.Ok() ? 0 : 1));
        if (!outcome.Ok()) {
            EXPECT_EQ(m_log.Lines().back(), row.message);
        }
    }
}

}  // namespace
