// vornic-cli run as a process: log lines on standard output, exit statuses,
// and the simulated target carried from one run to the next.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli_process.h"

namespace {

using clitest::Result;
using clitest::Texts;

Result RunCliProcess(std::vector<std::string> args) {
    args.insert(args.begin(), VORNIC_CLI_PATH);
    return clitest::RunProcess(std::move(args));
}

class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("vornic-cli-test-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
        hex = (dir / "app.hex").string();
        state = (dir / "target.state").string();
        // 40 bytes at 0x0000 as three records, CR LF line ends.
        std::ofstream f(hex, std::ios::binary);
        f << ":100000000102030405060708090A0B0C0D0E0F1068\r\n"
             ":100010001112131415161718191A1B1C1D1E1F2058\r\n"
             ":080020002122232425262728B4\r\n"
             ":00000001FF\r\n";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::filesystem::path dir;
    std::string hex, state;
};

TEST_F(CliTest, FlashLogsTheWindowsLinesInOrder) {
    Result r = RunCliProcess({"--simulate", "--lang=en", "flash", hex});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ((std::vector<std::string>{
                  "Succeed to open device!", "Succeed to trans file from .HEX to .BIN.",
                  "Succeed to clear-all!", "Programme address is affirmed!",
                  "Programme length is affirmed!", "Begin to programme and verify...",
                  "Succeed to programme!", "Succeed to verify!", "Succeed to set soft-reset!"}),
              Texts(r.out));
    EXPECT_EQ(std::string::npos, r.out.find('\r'));
    EXPECT_NE(std::string::npos, r.err.find("40 bytes")) << r.err;
    EXPECT_TRUE(std::filesystem::exists(dir / "app.bin"));
}

TEST_F(CliTest, FlashThenVerifyThroughTheStateFile) {
    Result verifyBlank =
        RunCliProcess({"--simulate", "--sim-state=" + state, "--quiet", "verify", hex});
    EXPECT_EQ(1, verifyBlank.status);
    EXPECT_TRUE(verifyBlank.err.empty()) << verifyBlank.err;

    Result flash = RunCliProcess({"--simulate", "--sim-state=" + state, "flash", hex});
    ASSERT_EQ(0, flash.status) << flash.out;
    Result verify = RunCliProcess({"--simulate", "--sim-state=" + state, "verify", hex});
    EXPECT_EQ(0, verify.status) << verify.out;
    auto lines = Texts(verify.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("校验成功!", lines.back());
    EXPECT_EQ(std::string::npos, verify.out.find("全部擦除"));
}

TEST_F(CliTest, IfChangedSkipsEraseAndProgrammeWhenTheImageIsThere) {
    const std::string simState = "--sim-state=" + state;
    Result first =
        RunCliProcess({"--simulate", simState, "--lang=en", "flash", "--if-changed", hex});
    ASSERT_EQ(0, first.status) << first.out;
    EXPECT_NE(std::string::npos, first.out.find("Succeed to clear-all!"));
    EXPECT_EQ(std::string::npos, first.out.find("skipped"));

    Result second =
        RunCliProcess({"--simulate", simState, "--lang=en", "flash", "--if-changed", hex});
    EXPECT_EQ(0, second.status) << second.out;
    auto lines = Texts(second.out);
    EXPECT_EQ(std::string::npos, second.out.find("clear-all"));
    EXPECT_EQ(std::string::npos, second.out.find("Begin to programme"));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ("Succeed to verify!", lines[lines.size() - 3]);
    EXPECT_NE(std::string::npos, lines[lines.size() - 2].find("skipped"));
    EXPECT_EQ("Succeed to set soft-reset!", lines.back());
}

TEST_F(CliTest, ExitStatuses) {
    EXPECT_EQ(0, RunCliProcess({"--help"}).status);
    EXPECT_EQ(2, RunCliProcess({}).status);
    EXPECT_EQ(2, RunCliProcess({"--simulate", "frobnicate"}).status);
    EXPECT_EQ(2, RunCliProcess({"--simulate", "flash"}).status);
    EXPECT_EQ(2, RunCliProcess({"--simulate", "--lang=fr", "status"}).status);
    EXPECT_EQ(2, RunCliProcess({"--simulate", "flash", hex, "--address=0x1234"}).status);
    EXPECT_EQ(2, RunCliProcess({"--simulate", "status", "--no-erase"}).status);

    EXPECT_EQ(2, RunCliProcess({"--usb-id=1a86", "list"}).status);
    EXPECT_EQ(2, RunCliProcess({"--usb-id=1a86:80100", "list"}).status);
    EXPECT_EQ(2, RunCliProcess({"--probe=", "status"}).status);
    EXPECT_EQ(2, RunCliProcess({"list", "extra"}).status);

    // No probe on this machine's USB (the emulated-device tests cover one).
    Result noProbe = RunCliProcess({"status"});
    EXPECT_EQ(1, noProbe.status);
    EXPECT_NE(std::string::npos, noProbe.err.find("probe"));

    EXPECT_EQ(0, RunCliProcess({"--simulate", "status"}).status);
    Result prot = RunCliProcess({"--simulate=protected", "--lang=en", "flash", hex});
    EXPECT_EQ(1, prot.status);
    EXPECT_EQ("Please disable read-protect at first...", Texts(prot.out).back());
    EXPECT_EQ(1, RunCliProcess({"--simulate=absent", "reset"}).status);
    EXPECT_EQ(0, RunCliProcess({"--simulate", "reset"}).status);
    EXPECT_EQ(0, RunCliProcess({"--simulate", "unprotect"}).status);
    EXPECT_EQ(
        1,
        RunCliProcess({"--simulate", "--lang=en", "flash", (dir / "missing.hex").string()}).status);
    EXPECT_FALSE(std::filesystem::exists(dir / "missing.hex"));
}

TEST_F(CliTest, ConvertNeedsNoProbe) {
    Result r = RunCliProcess({"--lang=en", "convert", hex});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(std::vector<std::string>{"Succeed to trans file from .HEX to .BIN."}, Texts(r.out));
    EXPECT_EQ(40u, std::filesystem::file_size(dir / "app.bin"));
}

}  // namespace
