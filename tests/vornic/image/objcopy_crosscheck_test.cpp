// Cross-checks with binutils: the .BIN written for each example HEX file
// equals `objcopy -I ihex -O binary` output, apart from our padding to whole
// words; an ELF converts to the same .BIN and image as the HEX file
// `objcopy -O ihex` makes of it.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/vornic/image/test_util.h"
#include "vornic/image/firmware_image.h"
#include "vornic/image/hex_to_bin.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// Runs a program found on PATH with the given arguments; returns its exit
// status, or -1 when it could not be started.
int RunProgram(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ObjcopyCrossCheck, ExampleHexFilesMatch) {
    if (RunProgram({"objcopy", "--version"}) != 0) GTEST_SKIP() << "objcopy not installed";
    imagetest::TempDir dir;
    imagetest::RecordingDialog log;
    int checked = 0;
    for (const auto& entry : fs::directory_iterator(VORNIC_EXAMPLES_DIR)) {
        if (entry.path().extension() != ".hex") continue;
        fs::path hex = dir.path() / entry.path().filename();
        fs::copy_file(entry.path(), hex);
        std::string output;
        ASSERT_TRUE(ConvertHexToBin(hex.string(), output).Ok()) << hex;
        fs::path reference = dir.path() / (entry.path().stem().string() + ".objcopy");
        ASSERT_EQ(
            RunProgram({"objcopy", "-I", "ihex", "-O", "binary", hex.string(), reference.string()}),
            0);

        std::string ours = imagetest::ReadFile(output);
        std::string theirs = imagetest::ReadFile(reference);
        ASSERT_EQ(ours.size(), (theirs.size() + 3) / 4 * 4) << hex;
        EXPECT_EQ(ours.substr(0, theirs.size()), theirs) << hex;
        EXPECT_EQ(ours.substr(theirs.size()), std::string(ours.size() - theirs.size(), '\0'))
            << hex;
        ++checked;
    }
    EXPECT_GE(checked, 4);
}

TEST(ObjcopyCrossCheck, ElfConvertsLikeItsHex) {
    if (RunProgram({"objcopy", "--version"}) != 0) GTEST_SKIP() << "objcopy not installed";
    imagetest::TempDir dir;
    imagetest::RecordingDialog log;
    // Besides the examples: data stored after a gap behind the code, run in
    // SRAM, with a .bss tail; the same moved into the flash alias below
    // 0x08000000; and code at 0x08001000 in a segment that starts with the
    // ELF headers at 0x08000000, as GNU ld lays out a program by default.
    const fs::path files = VORNIC_ELF_FILES;
    fs::copy_file(files / "two-segments.elf", dir.path() / "two-segments.elf");
    fs::copy_file(files / "headers-in-segment.elf", dir.path() / "headers-in-segment.elf");
    std::string alias = imagetest::ReadFile(files / "two-segments.elf");
    alias.replace(52 + 12, 4, "\x00\x01\0\0", 4);       // code at 0x100
    alias.replace(52 + 32 + 12, 4, "\x00\x05\0\0", 4);  // data at 0x500
    imagetest::WriteFile(dir.path() / "alias.elf", alias);
    for (const auto& entry : fs::directory_iterator(VORNIC_EXAMPLES_DIR))
        if (entry.path().extension() == ".elf")
            fs::copy_file(entry.path(), dir.path() / entry.path().filename());
    const std::vector<fs::directory_entry> elves(fs::directory_iterator(dir.path()), {});
    for (const auto& entry : elves) {
        const std::string elf = entry.path().string();
        std::string output;
        ASSERT_TRUE(ConvertHexToBin(elf, output).Ok()) << elf;
        const std::string bin = imagetest::ReadFile(output);
        const auto bytes = [] {
            return std::vector<uint8_t>(g_firmwareImage.Bytes().begin(),
                                        g_firmwareImage.Bytes().end());
        };
        const std::vector<uint8_t> image = bytes();
        const std::string hex = elf.substr(0, elf.size() - 4) + ".hex";
        ASSERT_EQ(RunProgram({"objcopy", "-I", "elf32-little", "-O", "ihex", elf, hex}), 0);
        ASSERT_TRUE(ConvertHexToBin(hex, output).Ok()) << hex;
        EXPECT_EQ(imagetest::ReadFile(output), bin) << elf;
        EXPECT_EQ(bytes(), image) << elf;
    }
    EXPECT_EQ(elves.size(), 5u);
    g_firmwareImage.Clear();
}

}  // namespace
