// vornic-cli against emulated probes on USB, compared with the same runs on
// the simulated probe: a flash and a verify, a probe removed mid-programme,
// `list` with a probe in the wrong mode, --probe with two probes attached,
// --probe=all with three, and the explanation of a failed open; then the
// window over the same probe.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
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

// An Intel HEX file of `size` bytes of a pattern at offset 0.
Bytes WriteHex(const std::filesystem::path& path, size_t size) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
    std::ofstream out(path, std::ios::binary);
    for (size_t offset = 0; offset < size; offset += 16) {
        size_t n = std::min<size_t>(16, size - offset);
        Bytes record = {static_cast<uint8_t>(n), static_cast<uint8_t>(offset >> 8),
                        static_cast<uint8_t>(offset), 0};
        record.insert(record.end(), data.begin() + offset, data.begin() + offset + n);
        uint8_t sum = 0;
        for (uint8_t b : record) sum = static_cast<uint8_t>(sum + b);
        record.push_back(static_cast<uint8_t>(-sum));
        out << ':';
        for (uint8_t b : record) {
            const char* hex = "0123456789ABCDEF";
            out << hex[b >> 4] << hex[b & 15];
        }
        out << "\r\n";
    }
    out << ":00000001FF\r\n";
    return data;
}

class UsbCliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!UsbTestbed::InMockEnvironment()) GTEST_SKIP() << "runs under umockdev-wrapper";
        bed = std::make_unique<UsbTestbed>();
        dir = std::filesystem::temp_directory_path() /
              ("vornic-usb-cli-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        bed.reset();
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }

    Bytes Flash(const std::string& busPort, size_t size) {
        Bytes flash;
        bed->WithTarget(busPort, [&](probelib::sim::TargetModel& target) {
            auto all = target.Flash();
            flash.assign(all.begin(), all.begin() + std::min(size, all.size()));
        });
        return flash;
    }

    std::unique_ptr<UsbTestbed> bed;
    std::filesystem::path dir;
};

TEST_F(UsbCliTest, FlashAndVerifyLogTheSimulatorsLines) {
    bed->Add(ProbeAt("1-1"), false);
    Bytes image = WriteHex(dir / "usb.hex", 5000);
    WriteHex(dir / "sim.hex", 5000);

    const std::string usbTrace = (dir / "usb.trace").string(),
                      simTrace = (dir / "sim.trace").string();
    Result usb = Cli({"--lang=en", "--trace=" + usbTrace, "flash", (dir / "usb.hex").string()});
    Result sim = Cli(
        {"--simulate", "--lang=en", "--trace=" + simTrace, "flash", (dir / "sim.hex").string()});
    ASSERT_EQ(0, usb.status) << usb.out << usb.err;
    ASSERT_EQ(0, sim.status) << sim.out << sim.err;
    EXPECT_EQ(Texts(sim.out), Texts(usb.out));
    // The same transfers, lengths, outcomes and bytes on the wire, times aside.
    auto wire = [](const std::string& path) {
        std::vector<std::string> lines;
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line.substr(line.find(' ')));
        return lines;
    };
    EXPECT_GT(wire(usbTrace).size(), 5000u / 64);
    EXPECT_EQ(wire(simTrace), wire(usbTrace));
    EXPECT_EQ("Succeed to set soft-reset!", Texts(usb.out).back());
    EXPECT_EQ(image, Flash("1-1", image.size()));

    Result verify = Cli({"--lang=en", "verify", (dir / "usb.hex").string()});
    Result simVerify = Cli({"--simulate", "--lang=en", "verify", (dir / "sim.hex").string()});
    EXPECT_EQ(0, verify.status) << verify.out << verify.err;
    EXPECT_EQ(1, simVerify.status) << "a fresh simulated target does not hold the image";

    // The same bytes, changed on the target: the verify must fail.
    bed->WithTarget("1-1", [](probelib::sim::TargetModel& target) {
        Bytes other(64, 0x00);
        target.LoadFlash(other);
    });
    Result mismatch = Cli({"--lang=en", "verify", (dir / "usb.hex").string()});
    EXPECT_EQ(1, mismatch.status);
    EXPECT_EQ(Texts(simVerify.out), Texts(mismatch.out));
}

TEST_F(UsbCliTest, RemovalMidProgrammeEndsTheJobAsOnTheSimulator) {
    bed->Add(ProbeAt("1-1", "VN0001", "unplug-after:40"), false);
    WriteHex(dir / "usb.hex", 8192);
    WriteHex(dir / "sim.hex", 8192);
    Result usb = Cli({"--lang=en", "flash", (dir / "usb.hex").string()});
    Result sim =
        Cli({"--simulate=unplug-after:40", "--lang=en", "flash", (dir / "sim.hex").string()});
    ASSERT_FALSE(usb.killed) << "vornic-cli hung after the removal";
    EXPECT_EQ(1, usb.status) << usb.err;
    EXPECT_EQ(1, sim.status);
    std::vector<std::string> usbLines = Texts(usb.out), simLines = Texts(sim.out);
    // The removal's own close line comes from the hot-plug thread and may
    // miss the end of the run; every line before it is the same.
    const std::string closeLine = "Succeed to close device!";
    std::erase(usbLines, closeLine);
    std::erase(simLines, closeLine);
    EXPECT_EQ(simLines, usbLines);
    EXPECT_EQ("Fail to programme!", usbLines.back());
}

TEST_F(UsbCliTest, ListShowsProbesAndTheWrongMode) {
    Result none = Cli({"list"});
    EXPECT_EQ(1, none.status);
    EXPECT_NE(std::string::npos, none.err.find("no probe is attached")) << none.err;

    bed->Add(ProbeAt("1-2", "", "", 0x8011), false);
    bed->Add(ProbeAt("1-1", "VN0001"), false);
    Result list = Cli({"list"});
    EXPECT_EQ(0, list.status) << list.err;
    std::vector<std::string> lines = Texts(list.out);
    ASSERT_EQ(4u, lines.size()) << list.out;
    EXPECT_EQ("INDEX  BUS-PORT    SERIAL                USB-ID", lines[0]);
    EXPECT_EQ("0      1-1         VN0001                1a86:8010", lines[1]);
    EXPECT_EQ("1      1-2         -                     1a86:8011  wrong mode (ARM)", lines[2]);
    EXPECT_EQ(0u, lines[3].rfind("note: the probe is in its ARM mode", 0)) << lines[3];
    EXPECT_NE(std::string::npos, lines[3].find("RISC-V mode"));
}

TEST_F(UsbCliTest, ProbeOptionPicksOneOfTwo) {
    bed->Add(ProbeAt("1-1", "AAA1"), false);
    bed->Add(ProbeAt("1-2", "BBB2"), false);
    Bytes image = WriteHex(dir / "app.hex", 300);
    Bytes before = Flash("1-1", image.size());

    Result bySerial = Cli({"--probe=BBB2", "--lang=en", "flash", (dir / "app.hex").string()});
    EXPECT_EQ(0, bySerial.status) << bySerial.out << bySerial.err;
    EXPECT_EQ(image, Flash("1-2", image.size()));
    EXPECT_EQ(before, Flash("1-1", image.size())) << "the other probe is left alone";

    Result byPort = Cli({"--probe=1-1", "--lang=en", "flash", (dir / "app.hex").string()});
    EXPECT_EQ(0, byPort.status) << byPort.out << byPort.err;
    EXPECT_EQ(image, Flash("1-1", image.size()));

    Result nobody = Cli({"--probe=CCC3", "--lang=en", "status"});
    EXPECT_EQ(1, nobody.status);
    EXPECT_NE(std::string::npos, nobody.err.find("--probe")) << nobody.err;
    EXPECT_EQ(std::vector<std::string>{"No device connection detected!"}, Texts(nobody.out));
}

TEST_F(UsbCliTest, EveryProbeAtOnce) {
    bed->Add(ProbeAt("1-1", "AAA1"), false);
    bed->Add(ProbeAt("1-2", ""), false);  // no serial: it goes by its bus-port
    bed->Add(ProbeAt("1-3", "CCC3"), false);
    Bytes image = WriteHex(dir / "app.hex", 3000);
    Result r = Cli({"--probe=all", "--lang=en", "flash", (dir / "app.hex").string()});
    EXPECT_EQ(0, r.status) << r.out << r.err;
    for (const char* port : {"1-1", "1-2", "1-3"}) EXPECT_EQ(image, Flash(port, image.size()));
    for (const char* name : {"[AAA1] ", "[1-2] ", "[CCC3] "})
        EXPECT_NE(std::string::npos, r.out.find(std::string(name) + "0007#")) << name << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\n3 boards: 3 passed, 0 failed\n")) << r.out;
}

TEST_F(UsbCliTest, AFailedOpenIsExplained) {
    bed->Add(ProbeAt("1-1", "", "", 0x8012), false);
    Result r = Cli({"--lang=en", "status"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("ARM mode")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("RISC-V")) << r.err;

    Result extra = Cli({"--usb-id=1a86:8012", "--lang=en", "status"});
    EXPECT_EQ(0, extra.status) << "--usb-id makes it an accepted probe: " << extra.err;
}

TEST_F(UsbCliTest, TheWindowFlashesThroughTheRealProbePath) {
    bed->Add(ProbeAt("1-1"), false);
    Bytes image = WriteHex(dir / "app.hex", 700);
    const std::string shot = (dir / "window.png").string();
    Result r = clitest::RunProcess(
        {VORNIC_PATH, "-platform", "offscreen", "--lang=en", "--screenshot=" + shot,
         "--screenshot-click=1006", (dir / "app.hex").string()},
        60);
    ASSERT_FALSE(r.killed);
    EXPECT_EQ(0, r.status) << r.err;
    // Every log line also goes to standard error.
    EXPECT_NE(std::string::npos, r.err.find(">> Succeed to open device!")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(">> Succeed to set soft-reset!")) << r.err;
    EXPECT_TRUE(std::filesystem::exists(shot));
    EXPECT_EQ(image, Flash("1-1", image.size()));
}

TEST_F(UsbCliTest, TheWindowSaysWhyTheProbeDidNotOpen) {
    bed->Add(ProbeAt("1-1", "", "", 0x8011), false);
    Result r = clitest::RunProcess({VORNIC_PATH, "-platform", "offscreen", "--lang=en",
                                    "--screenshot=" + (dir / "window.png").string()},
                                   60);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("vornic: the probe is in its ARM mode")) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("Succeed to open device!"));
}

}  // namespace
