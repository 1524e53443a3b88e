// The image reader: HEX records, files converted to the .BIN written beside them,
// bad ELF files, the start address check, and objcopy as the reference for ELF.
#include <elf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "platform/controls/headless_dialog.h"
#include "tests/support/process.h"
#include "tests/vornic/image/hex_records.h"
#include "vornic/image/firmware_image.h"
#include "vornic/image/hex_to_bin.h"
#include "vornic/image/intel_hex.h"
#include "vornic/image/start_address.h"
#include "vornic/log/language.h"
#include "vornic/log/output_log.h"

using namespace vornic_image;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

using hextest::Record, hextest::Linear, hextest::kEnd;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

TEST(DecodeIntelHex, RecordsTable) {
    const struct {
        std::string text;
        uint32_t used;
        std::vector<std::pair<uint32_t, uint8_t>> bytes = {};  // image offset, byte
    } rows[] = {
        {":00000001FF", 0},  // no line end after the last record
        {Record(0, 0x10, Bytes(255, 3)) + kEnd, 0x10F, {{0x10, 3}, {0x10E, 3}, {0x10F, 0}}},
        // Flash addresses count from the first record; a hole is zero.
        {Linear(0x800) + Record(0, 0x1000, {9, 8}) + Record(0, 0x1010, {6}) + kEnd,
         17,
         {{0, 9}, {2, 0}, {16, 6}}},
        {Record(0, 0x100, {2, 3}) + Record(0, 0x10, {4}) + kEnd, 0x102, {{0x10, 4}, {0x101, 3}}},
        {Record(0, 0, {1}) + Linear(0x800) + Record(0, 0x40, {2}) + kEnd, 0x41, {{0x40, 2}}},
        {Linear(1) + Record(2, 0, {0x10, 0}) + Record(0, 0x20, {0x77}) + kEnd,
         0x20021,
         {{0x20020, 0x77}}},
        // Below the origin: not written, and the end saturates.
        {Linear(0x800) + Record(0, 0x1000, {1}) + Record(0, 0xFF8, Bytes(16, 5)) + kEnd,
         0xFFFFFFFF,
         {{1, 0}}},
        {Record(3, 0, {0, 0, 1, 0}) + Record(5, 0, {8, 0, 0, 0}) + ":0200ab00cdef97\r\n" + kEnd +
             "junk",
         0xAD,
         {{0xAC, 0xEF}}},  // LF line ends, alone or mixed with CR LF.
        {":0100000001FE\n" + kEnd, 1, {{0, 1}}},
        {Linear(0x800) + ":0100000001FE\n" + Record(0, 1, {2}) + ":00000001FF\n",
         2,
         {{0, 1}, {1, 2}}},
        {":0100000001FE\n\n:00000001FF", 1, {{0, 1}}},  // two characters, as ever
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        std::vector<uint8_t> image(kImageCapacity, 0xAA);
        uint32_t used = 0;
        ASSERT_EQ(1, DecodeIntelHex(row.text, image, used));
        EXPECT_EQ(row.used, used);
        for (auto [at, byte] : row.bytes) EXPECT_EQ(byte, image[at]) << at;
    }
    const struct {
        std::string text;
        uint32_t line;
        const char* reason;
    } bad[] = {
        {Record(0, 0, {1}) + Record(6, 0) + kEnd, 2, "unknown record type"},
        {Record(0, 0, {1}) + ":0100000001FF\r\n" + kEnd, 2, "bad checksum"},
        {"\xEF\xBB\xBF" + kEnd, 1, "no ':' at the start of the line"},
        {"\r\n" + kEnd, 1, "no ':' at the start of the line"},
        {":0300000001020", 1, "odd number of digits"},
        {":02000004080\n" + kEnd, 1, "odd number of digits"},
        {":FF000000", 1, "byte count beyond the line"},
        {":0300000001FE\n" + kEnd, 1, "byte count beyond the line"},
        {":0100000001FE00\r\n" + kEnd, 1, "line longer than its byte count"},
        {Record(0, 0, {1}), 2, "no end-of-file record"},
        {std::string(), 1, "no end-of-file record"},
        {":0100000001GE\r\n" + kEnd, 1, "not a hex digit"},
        {Record(0, 0, {1}) + ":0100000001FE\r" + kEnd, 2, "line end CR without LF"},
        {":0100000001FE\n\r" + kEnd, 1, "line end LF CR"},
        {":00000004FC\r\n" + kEnd, 1, "address record not of its standard length"},
    };
    for (const auto& row : bad) {
        SCOPED_TRACE(row.text);
        std::vector<uint8_t> image(64);
        uint32_t used = 0;
        HexProblem problem;
        EXPECT_EQ(0, DecodeIntelHex(row.text, image, used, &problem));
        EXPECT_EQ(row.line, problem.line);
        EXPECT_STREQ(row.reason, problem.reason);
    }
    // Files shaped as other tools write them, with LF line ends: the same
    // image as the same records with CR LF.
    int files = 0;
    for (const auto& entry : fs::directory_iterator(VORNIC_LF_HEX_DIR)) {
        SCOPED_TRACE(entry.path());
        const std::string lf = ReadFile(entry.path());
        std::string crlf;
        for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
        std::vector<uint8_t> image(kImageCapacity), expected(kImageCapacity);
        uint32_t used = 0, expectedUsed = 0;
        ASSERT_EQ(1, DecodeIntelHex(crlf, expected, expectedUsed));
        EXPECT_EQ(1, DecodeIntelHex(lf, image, used));
        EXPECT_EQ(expectedUsed, used);
        EXPECT_TRUE(expectedUsed > 0 && image == expected);
        ++files;
    }
    EXPECT_EQ(4, files);
}

// Code at 0x08000000 (8 bytes), data stored at 0x08000400 (2 bytes) and run at
// 0x20000000 with a .bss tail; program header i's field at Program(i, field).
std::string TwoSegments() { return ReadFile(fs::path(VORNIC_ELF_FILES) / "two-segments.elf"); }
constexpr size_t Program(int i, size_t field) { return 52 + 32 * i + field; }
// Those bytes with `width` bytes at `at` set to `value`, or cut at `at` (width 0).
std::string Elf(size_t at, uint32_t value, int width) {
    std::string elf = TwoSegments();
    if (width == 0) elf.resize(at);
    for (int i = 0; i < width; ++i) elf[at + i] = static_cast<char>(value >> 8 * i);
    return elf;
}

// Each conversion in a folder of its own, its log lines collected.
class Convert : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/vornic-image-XXXXXX";
        ASSERT_TRUE(mkdtemp(name));
        dir = name;
        g_useChinese = 0, g_debugOutput = false;
        g_firmwareImage.Clear();
        dialog.SetAppendObserver([this](int, std::string_view text) {
            text.remove_prefix(text.find(">> ") + 3);
            lines.emplace_back(text.substr(0, text.find('\r')));
        });
        controls::SetMainDialog(&dialog);
    }
    void TearDown() override { controls::SetMainDialog(nullptr), fs::remove_all(dir); }
    bool Run(const fs::path& path) { return ConvertHexToBin(path.string(), output).Ok(); }
    std::string Last() const { return lines.empty() ? "" : lines.back(); }
    fs::path dir;
    controls::HeadlessDialog dialog{controls::HeadlessDialog::UiThread::Creator};
    std::vector<std::string> lines;
    std::string output;
};

const std::string kHello = Linear(0x800) + Record(0, 0, {'h', 'e', 'l', 'l', 'o', '!'}) + kEnd;

TEST_F(Convert, FilesTable) {
    const std::string big = "The file can not beyond 614400 bytes", invalid = "Invalid .HEX!",
                      hexOk = "Succeed to trans file from .HEX to .BIN.",
                      elfOk = "Succeed to trans file from .ELF to .BIN.", badElf = "Invalid .ELF!";
    fs::create_directory(dir / "FW.HEX.OLD");
    fs::create_directory(dir / "taken.bin");
    fs::create_symlink(dir / "app.hex", dir / "app.bin");  // replaced, not written through
    // The largest image in 16-byte records: 1.7 MB of text, read in 1 MiB blocks.
    std::string bytes(kImageCapacity, '\0'), full;
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + (i >> 9));
    for (uint32_t at = 0; at < bytes.size(); at += 16) {
        if (at % 0x10000 == 0) full += Linear(static_cast<uint16_t>(0x800 + (at >> 16)));
        full += Record(0, static_cast<uint16_t>(at), Bytes(&bytes[at], &bytes[at] + 16));
    }
    const struct {
        const char* name;
        std::optional<std::string> content;  // none: the name is not written
        std::string message;                 // the last line logged
        const char* written = "";            // the image file named, "" on failure
    } rows[] = {
        {"app.hex", kHello, hexOk, "app.bin"},
        {"Mixed.HeX.txt", kHello, hexOk, "Mixed.BiN"},
        {"FW.HEX.OLD/app.hex", kHello, hexOk, "FW.HEX.OLD/app.bin"},
        {"FW.HEX.OLD/raw.bin", "12345", "", "FW.HEX.OLD/raw.bin"},
        // An ELF not named *.elf gets .bin appended: one named fw.bin is kept.
        {"app.ELF", TwoSegments(), elfOk, "app.BIN"},
        {"firmware", TwoSegments(), elfOk, "firmware.bin"},
        {"fw.bin", TwoSegments(), elfOk, "fw.bin.bin"},
        {"固件 %s.hex", kHello, hexOk, "固件 %s.bin"},
        {"huge.bin", std::string(kImageCapacity + 1, 'x'), big},
        {"full.hex", full + kEnd, hexOk, "full.bin"},
        {"over.hex", full + Record(0, 0x6000, {1}) + kEnd, big},  // one byte more
        {"FW.HEX.OLD/firmware", kHello, invalid},
        {"bad.hex", ":0100000001FE\n\r:00000001FF\n\r", invalid},
        {"RAW.BIN", std::string(kImageCapacity, 'x'), "", "RAW.BIN"},
        {"empty.hex", "", "Invalid file/empty.hex", ""},
        {"taken.hex", kHello, "Fail to open .BIN:/taken.bin"},
        {"bad.elf", Elf(40, 0, 0), badElf},                       // header cut short
        {"bad.elf", Elf(Program(1, 8), 0, 0), badElf},            // program headers cut short
        {"bad.elf", Elf(Program(0, 4), 0x10000, 4), badElf},      // segment beyond the file's end
        {"bad.elf", Elf(Program(0, 16), 0xFFFFFF00, 4), badElf},  // huge p_filesz
        {"bad.elf", Elf(Program(0, 20), 4, 4), badElf},  // more file bytes than memory bytes
        {"bad.elf", Elf(Program(1, 12), 0xFFFFFFFF, 4), badElf},  // segment past 4 GiB
        {"bad.elf", Elf(Program(1, 12), 0x08000004, 4), badElf},  // overlapping segments
        {"bad.elf", Elf(44, 0, 2), badElf},                       // no loadable segment
        {"bad.elf", Elf(EI_CLASS, ELFCLASS64, 1), badElf},        // 64-bit
        {"bad.elf", Elf(EI_DATA, ELFDATA2MSB, 1), badElf},        // big-endian
        {"bad.elf", Elf(18, EM_ARM, 2), badElf},                  // not RISC-V
        {"bad.elf", Elf(16, ET_DYN, 2), badElf},                  // not an executable
        {"bad.elf", Elf(Program(1, 12), 0x08100000, 4), big},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.name << " #" << &row - rows);
        if (row.content) WriteFile(dir / row.name, *row.content);
        lines.clear();
        const bool ok = Run(dir / row.name);
        EXPECT_EQ(*row.written != '\0', ok);
        std::string message = row.message;
        if (size_t at = message.find('/'); at != std::string::npos) message.insert(at, dir);
        EXPECT_EQ(message, Last());
        EXPECT_EQ(ok ? (dir / row.written).string() : "", output);
        EXPECT_EQ(ok, g_firmwareImage.HasImage());  // a failure leaves no older image
        const std::string image(g_firmwareImage.Bytes().begin(), g_firmwareImage.Bytes().end());
        // The image is what was written, and the source is left as it was.
        EXPECT_TRUE(!ok || (ReadFile(output) == image &&
                            (!row.content || *row.content == ReadFile(dir / row.name))));
    }
    EXPECT_EQ(std::string("hello!\0\0", 8), ReadFile(dir / "app.bin"));  // whole words
    EXPECT_EQ(bytes, ReadFile(dir / "full.bin"));
    EXPECT_FALSE(fs::exists(dir / "bad.bin"));
    for (const auto& entry : fs::directory_iterator(dir))  // no temporary file is left
        EXPECT_EQ(std::string::npos, entry.path().string().find(".tmp")) << entry.path();
}

// Why a file cannot be read is told apart; a name's control bytes are shown
// escaped while the file is opened by its real name.
TEST_F(Convert, FileKindsTable) {
    fs::create_directory(dir / "folder.hex");
    ASSERT_EQ(0, mkfifo((dir / "fifo.hex").c_str(), 0600));  // no writer: must not block
    fs::create_symlink("/dev/zero", dir / "zero.hex");
    WriteFile(dir / "locked.hex", kHello);
    fs::permissions(dir / "locked.hex", fs::perms::none);
    WriteFile(dir / "a\nb\x01.hex", kHello);
    const bool root = geteuid() == 0;  // reads every file whatever its mode
    const struct {
        std::string name;
        Reason reason;
        std::string message;
    } rows[] = {
        {"folder.hex", Reason::NotRegularFile, "Not choose file/folder.hex"},
        {"fifo.hex", Reason::NotRegularFile, "Not choose file/fifo.hex"},
        {"zero.hex", Reason::NotRegularFile, "Not choose file/zero.hex"},
        {"locked.hex", root ? Reason::None : Reason::NoPermission,
         root ? "Succeed to trans file from .HEX to .BIN." : "Not choose file/locked.hex"},
        {std::string(5052, 'n') + ".hex", Reason::NameTooLong, "Not choose file/nnnnnnnn"},
        {"missing\t\x7f.hex", Reason::FileMissing, "Not choose file/missing\\t\\x7f.hex"},
        {"a\nb\x01.hex", Reason::None, "Succeed to trans file from .HEX to .BIN."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message);
        lines.clear();
        EXPECT_EQ(Outcome(row.reason), ConvertHexToBin((dir / row.name).string(), output));
        std::string message = row.message;
        if (size_t at = message.find('/'); at != std::string::npos) message.insert(at, dir);
        EXPECT_EQ(message, Last().substr(0, message.size()));  // a long line is cut
    }
    EXPECT_EQ(ReadFile(dir / "a\nb\x01.bin").substr(0, 6), "hello!");
}

TEST_F(Convert, StartAddressMustBeWhereTheImageWasLinked) {
    const struct {
        std::optional<uint32_t> linkedAt;  // none: a BIN image or HEX data below the flash
        uint32_t length, start;
        const char* message;  // "" when accepted
    } starts[] = {
        {std::nullopt, 20 * 1024, kSramStart, ""},
        {std::nullopt, 64 * 1024 + 256, kFlashStart, "The file can not beyond 65536 bytes"},
        {0x100, 64 * 1024, kFlashStart, ""},  // the flash alias: offsets from 0
        {0x08000000, 64 * 1024 + 4, kFlashStart, "The file can not beyond 65536 bytes"},
        {0x20000000, 20 * 1024 + 4, kSramStart, "The file can not beyond 20480 bytes"},
        {0x08001000, 64, kFlashStart, "Image is linked at 0x08001000 but the start address is"},
        {0x08000000, 64, kSramStart, "Image is linked at 0x08000000 but the start address is"},
    };
    for (const auto& row : starts) {
        FirmwareImage image;
        image.linkedAt = row.linkedAt, image.length = row.length;
        lines.clear();
        EXPECT_EQ(*row.message == '\0', CheckStartAddress(image, row.start).Ok()) << row.message;
        EXPECT_EQ(row.message, Last().substr(0, std::strlen(row.message)));
    }
    // A HEX file is linked where its first data is, when that is in flash or above.
    const std::pair<std::string, std::optional<uint32_t>> hexes[] = {
        {Linear(0x800) + Record(0, 0x8000, {1}) + Record(0, 0x8010, {2}) + kEnd, 0x08008000},
        {Linear(0x2000) + Record(0, 0, {1}) + kEnd, 0x20000000},
        {Record(0, 0x100, {1}) + kEnd, std::nullopt},  // the flash alias
    };
    for (const auto& [text, linkedAt] : hexes) {
        WriteFile(dir / "linked.hex", text);
        ASSERT_TRUE(Run(dir / "linked.hex"));
        EXPECT_EQ(linkedAt, g_firmwareImage.linkedAt);
    }
}

// An ELF gives the same .BIN as the HEX objcopy makes of it: the
// examples, one in the flash alias below 0x08000000, and one whose first
// segment holds the ELF headers, as GNU ld lays out a program by default.
TEST_F(Convert, ElfConvertsLikeItsObjcopyHex) {
    const std::string objcopy = "/usr/bin/objcopy";
    if (!fs::exists(objcopy)) GTEST_SKIP() << "objcopy not installed";
    for (const auto& entry : fs::directory_iterator(VORNIC_EXAMPLES_DIR))
        if (entry.path().extension() == ".elf")
            fs::copy_file(entry.path(), dir / entry.path().filename());
    for (const char* name : {"headers-in-segment.elf", "two-segments.elf"})
        fs::copy_file(fs::path(VORNIC_ELF_FILES) / name, dir / name);
    std::string alias = TwoSegments();
    alias.replace(Program(0, 12), 4, "\x00\x01\0\0", 4);  // code at 0x100
    alias.replace(Program(1, 12), 4, "\x00\x05\0\0", 4);  // data at 0x500
    WriteFile(dir / "alias.elf", alias);
    const std::vector<fs::directory_entry> elves(fs::directory_iterator(dir), {});
    for (const fs::directory_entry& entry : elves) {
        const std::string elf = entry.path().string(), hex = elf + ".hex";
        ASSERT_TRUE(Run(elf)) << elf;
        const std::string bin = ReadFile(output);
        ASSERT_EQ(
            0,
            testproc::RunProcess({objcopy, "-I", "elf32-little", "-O", "ihex", elf, hex}).status);
        ASSERT_TRUE(Run(hex));
        EXPECT_EQ(bin, ReadFile(output)) << elf;
    }
    EXPECT_EQ(5u, elves.size());
}

}  // namespace
