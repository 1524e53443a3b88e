// Cross-check: the .BIN written for each example HEX file equals binutils'
// `objcopy -I ihex -O binary` output, apart from our padding to whole words.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "hex_to_bin.h"
#include "test_util.h"

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

}  // namespace
