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

TEST_F(UsbCliTest, AFlashMovesTheSimulatorsBytesOnTheWire) {
    bed->Add(ProbeAt("1-1"), false);
    const std::string file = (dir / "app.bin").string();
    Result usb = Cli({"--lang=en", "--trace=" + (dir / "usb.trace").string(), "flash", file});
    Result sim =
        Cli({"--simulate", "--lang=en", "--trace=" + (dir / "sim.trace").string(), "flash", file});
    ASSERT_EQ(0, usb.status) << usb.out << usb.err;
    ASSERT_EQ(0, sim.status) << sim.out << sim.err;
    EXPECT_EQ(Texts(sim.out), Texts(usb.out));
    // The same transfers, lengths, outcomes and bytes, times aside.
    auto wire = [](const std::filesystem::path& path) {
        std::vector<std::string> lines;
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line.substr(line.find(' ')));
        return lines;
    };
    EXPECT_GT(wire(dir / "usb.trace").size(), 5000u / 64);
    EXPECT_EQ(wire(dir / "sim.trace"), wire(dir / "usb.trace"));
    EXPECT_EQ(image, Flash("1-1"));
}

TEST_F(UsbCliTest, WhatOnlyTheUsbPathShows) {
    const ProbeSetup arm = ProbeAt("1-2", "", 0x8011);
    const struct {
        std::vector<ProbeSetup> probes;
        std::vector<std::string> args;
        int status;
        std::vector<std::string> firstLines;  // of standard output
        std::string flashed;                  // the probe that takes the image
    } rows[] = {
        {{}, {"list"}, 1, {}, ""},
        {{arm, ProbeAt("1-1")},
         {"list"},
         0,
         {"INDEX  BUS-PORT    SERIAL                USB-ID",
          "0      1-1         VN0001                1a86:8010",
          "1      1-2         -                     1a86:8011  wrong mode (ARM)"},
         ""},
        {{arm}, {"status"}, 1, {}, ""},
        {{arm}, {"--usb-id=1a86:8011", "status"}, 0, {}, ""},
        {{ProbeAt("1-1", "AAA1"), ProbeAt("1-2", "BBB2")}, {"--probe=BBB2", "flash"}, 0, {}, "1-2"},
        {{ProbeAt("1-1", "AAA1"), ProbeAt("1-2", "BBB2")}, {"--probe=1-1", "flash"}, 0, {}, "1-1"},
    };
    for (const auto& row : rows) {
        bed.reset();
        bed = std::make_unique<UsbTestbed>();
        for (const ProbeSetup& probe : row.probes) bed->Add(probe, false);
        std::vector<std::string> args = row.args;
        if (args.back() == "flash") args.push_back((dir / "app.bin").string());
        Result r = Cli(args);
        SCOPED_TRACE(args.front() + "\n" + r.out + r.err);
        EXPECT_EQ(row.status, r.status);
        std::vector<std::string> lines = Texts(r.out);
        lines.resize(std::min(lines.size(), row.firstLines.size()));
        EXPECT_EQ(row.firstLines, lines);
        for (size_t i = 0; i < row.probes.size() && !row.flashed.empty(); ++i) {
            const std::string& port = row.probes[i].busPort;
            EXPECT_EQ(port == row.flashed, Flash(port) == image) << port;
        }
    }
}

}  // namespace
