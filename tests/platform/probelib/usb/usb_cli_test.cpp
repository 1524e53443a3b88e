// vornic-cli against emulated probes on USB: one flash whose transfers must be
// those of the same run on the simulated probe, then what only the usb path
// shows: the probe list with its wrong-mode entry, --probe choosing one of
// two, and --usb-id accepting a probe that otherwise does not open.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/platform/probelib/usb/usb_testbed.h"
#include "tests/vornic/cli/cli_process.h"

namespace {

using clitest::Result;
using clitest::Texts;
using usbtest::ProbeAt;
using usbtest::ProbeSetup;
using usbtest::UsbTestbed;
using Bytes = std::vector<uint8_t>;

Result Cli(std::vector<std::string> args) {
    args.insert(args.begin(), VORNIC_CLI_PATH);
    return clitest::RunProcess(std::move(args), 60);
}

class UsbCliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!UsbTestbed::InMockEnvironment()) GTEST_SKIP() << "runs under umockdev-wrapper";
        bed = std::make_unique<UsbTestbed>();
        dir =
            std::filesystem::temp_directory_path() / ("vornic-usb-cli-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7 + 3);
        std::ofstream(dir / "app.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    }
    void TearDown() override {
        bed.reset();
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }

    Bytes Flash(const std::string& busPort) {
        Bytes flash;
        bed->WithTarget(busPort, [&](probelib::sim::TargetModel& target) {
            flash.assign(target.Flash().begin(), target.Flash().begin() + image.size());
        });
        return flash;
    }

    std::unique_ptr<UsbTestbed> bed;
    std::filesystem::path dir;
    Bytes image = Bytes(5000);
};

// The probe --probe names takes the image, with the same transfers, lengths,
// outcomes and bytes on the wire as the simulated probe (times aside).
TEST_F(UsbCliTest, AFlashMovesTheSimulatorsBytesOnTheWire) {
    bed->Add(ProbeAt("1-1", "AAA1"), false);
    bed->Add(ProbeAt("1-2", "BBB2"), false);
    const std::string file = (dir / "app.bin").string();
    Result usb =
        Cli({"--probe=BBB2", "--lang=en", "--trace=" + (dir / "usb").string(), "flash", file});
    Result sim =
        Cli({"--simulate", "--lang=en", "--trace=" + (dir / "sim").string(), "flash", file});
    ASSERT_EQ(0, usb.status) << usb.out << usb.err;
    ASSERT_EQ(0, sim.status) << sim.out << sim.err;
    EXPECT_EQ(Texts(sim.out), Texts(usb.out));
    auto wire = [](const std::filesystem::path& path) {
        std::vector<std::string> lines;
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line.substr(line.find(' ')));
        return lines;
    };
    EXPECT_GT(wire(dir / "usb").size(), 5000u / 64);
    EXPECT_EQ(wire(dir / "sim"), wire(dir / "usb"));
    EXPECT_EQ(image, Flash("1-2"));
    EXPECT_NE(image, Flash("1-1"));
}

// The probe list with a probe in the wrong mode, and what --usb-id and --probe change.
TEST_F(UsbCliTest, WhatOnlyTheUsbPathShows) {
    const struct {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> firstLines;  // of standard output
    } rows[] = {
        {{"list"},
         0,
         {"INDEX  BUS-PORT    SERIAL                USB-ID",
          "0      1-1         VN0001                1a86:8010",
          "1      1-2         -                     1a86:8011  wrong mode (ARM)"}},
        {{"--probe=1-2", "status"}, 1, {}},
        {{"--probe=1-2", "--usb-id=1a86:8011", "status"}, 0, {}},
        {{"--probe=CCC3", "status"}, 1, {}},
    };
    bed->Add(ProbeAt("1-2", "", 0x8011), false);
    bed->Add(ProbeAt("1-1"), false);
    for (const auto& row : rows) {
        Result r = Cli(row.args);
        SCOPED_TRACE(row.args.front() + "\n" + r.out + r.err);
        EXPECT_EQ(row.status, r.status);
        std::vector<std::string> lines = Texts(r.out);
        lines.resize(std::min(lines.size(), row.firstLines.size()));
        EXPECT_EQ(row.firstLines, lines);
    }
}

}  // namespace
