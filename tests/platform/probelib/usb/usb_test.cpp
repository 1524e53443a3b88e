// The usb backend through real libusb against emulated probes: what only a bus
// shows: stall clearing, a read in flight ended by its time-out, a close or a
// removal, hot-plug events of the chosen probe alone, and why an open failed;
// then vornic-cli as a process: one flash whose transfers must be those of the
// same run on the simulated probe, and what only the usb path shows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/probelib/lifetime.h"
#include "platform/probelib/probelib.h"
#include "platform/probelib/usb/open_problem.h"
#include "tests/platform/probelib/usb/usb_testbed.h"
#include "tests/support/process.h"

namespace {

using testproc::Result;
using testproc::Texts;
using usbtest::FieldProbeAt;
using usbtest::ProbeAt;
using usbtest::ProbeSetup;
using usbtest::UsbTestbed;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const Bytes kQuery = {0x81, 0x06, 0x01, 0x01}, kReset = {0x81, 0x0B, 0x01, 0x00};

std::mutex g_eventsMutex;
std::condition_variable g_eventsChanged;
std::vector<uint32_t> g_events;
void RecordEvent(uint32_t event) {
    std::lock_guard lock(g_eventsMutex);
    g_events.push_back(event);
    g_eventsChanged.notify_all();
}
std::vector<uint32_t> Events() {
    std::lock_guard lock(g_eventsMutex);
    return g_events;
}

// Waits until the events delivered so far satisfy `ready`; false after 5 s.
template <typename Predicate>
bool WaitForEvents(Predicate ready) {
    std::unique_lock lock(g_eventsMutex);
    return g_eventsChanged.wait_for(lock, 5s, [&] { return ready(g_events); });
}

int Write(uint32_t pipe, Bytes frame) {
    uint32_t length = static_cast<uint32_t>(frame.size());
    return CH375WriteEndP(0, pipe, frame.data(), &length);
}

// One request on pipe 1 and its reply (empty when none came).
Bytes Exchange(const Bytes& request) {
    Bytes reply(20, 0);
    uint32_t length = 20;
    if (!Write(1, request) || !CH375ReadEndP(0, 1, reply.data(), &length)) return {};
    reply.resize(length);
    return reply;
}

class UsbBackendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!UsbTestbed::InMockEnvironment()) GTEST_SKIP() << "runs under umockdev-wrapper";
    }
    // Releases the usb backend (and its libusb context) before the devices go.
    void TearDown() override {
        CH375SetDeviceNotify(0, nullptr, nullptr);
        probelib::WaitForNotifications();
        probelib::Configure({.backend = "sim", .simFaults = "absent"}, nullptr);
        bed.reset();
    }

    // Puts `probes` on a new bus and selects the usb backend on it.
    void Start(const std::vector<ProbeSetup>& probes, std::string selector = "",
               uint32_t readTimeoutMs = 400, bool scan = false) {
        TearDown();
        bed = std::make_unique<UsbTestbed>();
        for (const ProbeSetup& probe : probes) bed->Add(probe, false);
        {
            std::lock_guard lock(g_eventsMutex);
            g_events.clear();
        }
        probelib::BackendChoice choice;
        choice.probe = std::move(selector);
        choice.readTimeoutMs = readTimeoutMs;
        choice.scanForPlugs = scan;
        ASSERT_EQ(probelib::ConfigureProblem::None, probelib::Configure(choice, nullptr));
        CH375SetDeviceNotify(0, nullptr, RecordEvent);
    }

    std::unique_ptr<UsbTestbed> bed;
};

// A read the probe does not answer ends by a stall, its time-out, a close or a
// removal, without touching the caller's buffer; then the probe is usable
// again (a stalled endpoint is cleared first).
TEST_F(UsbBackendTest, AReadWithoutReplyEnds) {
    enum class End { Stall, TimeOut, Close, Removal };
    for (End end : {End::Stall, End::TimeOut, End::Close, End::Removal}) {
        SCOPED_TRACE(static_cast<int>(end));
        ProbeSetup silent;
        silent.faults = "no-reply:ReadProtect";
        Start({silent}, "", end == End::TimeOut ? 300 : 0);  // 0: the built-in 5 s
        ASSERT_NE(-1, CH375OpenDevice(0));
        if (end == End::Stall) bed->StallNext("1-1", 0x81);
        ASSERT_EQ(1, Write(1, kQuery));
        Bytes reply(20, 0xAA);
        uint32_t length = 20;
        int result = -1;
        const auto start = Clock::now();
        std::thread reader([&] { result = CH375ReadEndP(0, 1, reply.data(), &length); });
        ASSERT_TRUE(bed->WaitSubmitted("1-1", 0x81, 1));
        if (end == End::Close) CH375CloseDevice(0);
        if (end == End::Removal) bed->Remove("1-1");
        reader.join();
        const auto took = Clock::now() - start;
        EXPECT_EQ(0, result);
        EXPECT_EQ(0u, length);
        EXPECT_EQ(Bytes(20, 0xAA), reply);
        EXPECT_LT(took, 2500ms);
        EXPECT_TRUE(end != End::TimeOut || took >= 250ms);
        if (end == End::Removal) {
            EXPECT_TRUE(WaitForEvents([](const auto& events) { return events.size() == 1; }));
            continue;
        }
        ASSERT_TRUE(end != End::Close || CH375OpenDevice(0) != -1) << "it opens again";
        EXPECT_EQ((Bytes{0x82, 0x0B, 0x01, 0x01}), Exchange(kReset));
    }
}

// Hot-plug callbacks, or the scan where libusb has none: the chosen probe's
// removal and arrival, once each; another probe's are not reported.
TEST_F(UsbBackendTest, OnlyTheChosenProbesPlugEventsAreDelivered) {
    for (bool scan : {false, true}) {
        SCOPED_TRACE(scan ? "scan" : "hot-plug");
        Start({ProbeAt("1-1", "AAA1"), ProbeAt("1-2", "BBB2")}, "BBB2", 400, scan);
        ASSERT_NE(-1, CH375OpenDevice(0));
        EXPECT_FALSE(Exchange(kQuery).empty());
        EXPECT_EQ(1u, bed->Submitted("1-2", 0x01));
        EXPECT_EQ(0u, bed->Submitted("1-1", 0x01));
        bed->Remove("1-1");
        bed->Remove("1-2");
        ASSERT_TRUE(WaitForEvents([](const auto& events) { return !events.empty(); }));
        EXPECT_EQ(0, Write(1, kQuery)) << "a transfer to a removed probe fails";
        CH375CloseDevice(0);
        bed->Add(ProbeAt("1-1", "AAA1"), true);
        bed->Add(ProbeAt("1-2", "BBB2"), true);
        ASSERT_TRUE(WaitForEvents(
            [](const auto& events) { return !events.empty() && events.back() == 3; }));
        probelib::WaitForNotifications();
        EXPECT_EQ((std::vector<uint32_t>{0, 3}), Events());
        ASSERT_NE(-1, CH375OpenDevice(0));
        EXPECT_FALSE(Exchange(kQuery).empty());
    }
}

TEST_F(UsbBackendTest, OpenChoosesByBusPortOrSerialAndSaysWhyItFailed) {
    using probelib::OpenProblem;
    const ProbeSetup wrongMode = ProbeAt("1-1", "", 0x8011);
    ProbeSetup busy = ProbeAt("1-3");
    busy.busy = true;
    const std::vector<ProbeSetup> two = {ProbeAt("1-10", "TEN"), ProbeAt("1-2", "")};
    ProbeSetup odd = FieldProbeAt("1-4", 0x0210);
    odd.endpoints = {0x81, 0x02};  // a layout without the pipes
    const std::vector<ProbeSetup> field = {FieldProbeAt("1-5"), FieldProbeAt("1-6", 0x0210)};
    const struct {
        std::vector<ProbeSetup> probes;
        std::string selector;
        OpenProblem problem;
        std::string opened;  // bus-port and serial of the probe opened
    } rows[] = {
        {{}, "", OpenProblem::NotFound, ""},
        {{wrongMode}, "", OpenProblem::WrongMode, ""},
        {{wrongMode, ProbeAt("1-2", "OURS")}, "ELSE", OpenProblem::NoMatch, ""},
        {{busy}, "", OpenProblem::Busy, ""},
        {two, "", OpenProblem::None, "1-2 "},  // 1-2 comes before 1-10
        {two, "1-10", OpenProblem::None, "1-10 TEN"},
        {two, "TEN", OpenProblem::None, "1-10 TEN"},
        // The field's layout: the serial port stays with cdc_acm; probes share a serial.
        {field, "", OpenProblem::None, "1-5 0001A0000000"},
        {field, "1-6", OpenProblem::None, "1-6 0001A0000000"},
        {{odd}, "", OpenProblem::Layout, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.selector + " " + row.opened);
        Start(row.probes, row.selector);
        EXPECT_EQ(row.opened.empty(), CH375OpenDevice(0) == -1);
        EXPECT_EQ(row.problem, probelib::LastOpenProblem());
        probelib::ProbeInfo info;
        if (probelib::LastOpenedProbe(&info)) info.busPort += " " + info.serial;
        EXPECT_EQ(row.opened, info.busPort);
    }
    EXPECT_NE(std::string::npos, probelib::OpenProblemText(OpenProblem::Layout, {}, false)
                                     .find("it has 0x81 bulk in, 0x02 bulk out"));
    // A kernel driver on interface 0 is detached for the session and given back at its end.
    ProbeSetup bound = FieldProbeAt("1-7");
    bound.driverOn0 = "some_driver";
    Start({bound});
    ASSERT_NE(-1, CH375OpenDevice(0));
    EXPECT_EQ("", bed->DriverOn0("1-7"));
    EXPECT_FALSE(Exchange(kQuery).empty());
    CH375CloseDevice(0);
    EXPECT_EQ("some_driver", bed->DriverOn0("1-7"));
}

Result Cli(std::vector<std::string> args) {
    args.insert(args.begin(), VORNIC_CLI_PATH);
    return testproc::RunProcess(std::move(args), 60);
}

// vornic-cli as a process on the emulated bus.
class UsbCliTest : public UsbBackendTest {
  protected:
    void SetUp() override {
        UsbBackendTest::SetUp();
        if (IsSkipped()) return;
        bed = std::make_unique<UsbTestbed>();
        dir =
            std::filesystem::temp_directory_path() / ("vornic-usb-cli-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7 + 3);
        std::ofstream(dir / "app.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    }
    void TearDown() override {
        UsbBackendTest::TearDown();
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }

    bool Flashed(const std::string& busPort) {
        bool same = false;
        bed->WithTarget(busPort, [&](probelib::sim::TargetModel& target) {
            same = std::equal(image.begin(), image.end(), target.Flash().begin());
        });
        return same;
    }

    std::filesystem::path dir;
    Bytes image = Bytes(5000);
};

// The probe --probe names takes the image, with the same transfers, lengths,
// outcomes and bytes on the wire as the simulated probe (times aside); on the
// single-interface testbed and on the field's layout, with a kernel driver
// on interface 0 that the open detaches and says so in the trace.
TEST_F(UsbCliTest, AFlashMovesTheSimulatorsBytesOnTheWire) {
    ProbeSetup field = FieldProbeAt("1-2");
    field.driverOn0 = "some_driver";
    for (bool fieldLayout : {false, true}) {
        SCOPED_TRACE(fieldLayout ? "field layout" : "one interface");
        bed.reset();
        bed = std::make_unique<UsbTestbed>();
        bed->Add(fieldLayout ? FieldProbeAt("1-1") : ProbeAt("1-1", "AAA1"), false);
        bed->Add(fieldLayout ? field : ProbeAt("1-2", "BBB2"), false);
        const std::string file = (dir / "app.bin").string();
        Result usb = Cli({fieldLayout ? "--probe=1-2" : "--probe=BBB2", "--lang=en",
                          "--trace=" + (dir / "usb").string(), "flash", file});
        Result sim =
            Cli({"--simulate", "--lang=en", "--trace=" + (dir / "sim").string(), "flash", file});
        ASSERT_EQ(0, usb.status) << usb.out << usb.err;
        ASSERT_EQ(0, sim.status) << sim.out << sim.err;
        EXPECT_EQ(Texts(sim.out), Texts(usb.out));
        std::vector<std::string> notes;
        auto wire = [&notes](const std::filesystem::path& path) {
            std::vector<std::string> lines;
            std::ifstream in(path);
            for (std::string line; std::getline(in, line);)
                if (line.rfind("# usb: ", 0) == 0)
                    notes.push_back(line);
                else
                    lines.push_back(line.substr(line.find(' ')));
            return lines;
        };
        EXPECT_EQ(wire(dir / "sim"), wire(dir / "usb"));
        EXPECT_EQ(
            std::vector<std::string>{
                fieldLayout ? "# usb: opened 1-2, claimed interface 0, its kernel driver "
                              "detached until the close"
                            : "# usb: opened 1-2, claimed interface 0 (no kernel driver on it)"},
            notes);
        EXPECT_TRUE(Flashed("1-2"));
        EXPECT_FALSE(Flashed("1-1"));
        EXPECT_EQ(fieldLayout ? "some_driver" : "", bed->DriverOn0("1-2"));
    }
}

// The probe list with a probe in the wrong mode, and what --usb-id and --probe change.
TEST_F(UsbCliTest, WhatOnlyTheUsbPathShows) {
    const struct {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> firstLines;  // of standard output
    } rows[] = {
        {{"list", "--lang=en"},
         0,
         {"INDEX  BUS-PORT    SERIAL                USB-ID",
          "0      1-1         VN0001                1a86:8010",
          "1      1-2         -                     1a86:8011  wrong mode (ARM)",
          "2      1-3         0001A0000000          1a86:8010",
          "3      1-4         0001A0000000          1a86:8010",
          "note: 2 probes carry the serial 0001A0000000; --probe=BUS-PORT tells them apart"}},
        {{"--probe=1-2", "status"}, 1, {}},
        {{"--probe=1-2", "--usb-id=1a86:8011", "status"}, 0, {}},
    };
    bed->Add(ProbeAt("1-2", "", 0x8011), false);
    bed->Add(ProbeAt("1-1"), false);
    bed->Add(FieldProbeAt("1-3"), false);
    bed->Add(FieldProbeAt("1-4", 0x0210), false);
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
