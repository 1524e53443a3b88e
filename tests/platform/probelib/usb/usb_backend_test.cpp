// The usb backend through real libusb against emulated probes: exchanges on
// both pipes, failed transfers that leave the caller's buffer alone, time-outs,
// stalls, removal, closing mid-transfer, hot-plug, and choosing one probe of
// several; then the probe link's own arrival and removal handling on top.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/controls/control_ids.h"
#include "platform/controls/headless_dialog.h"
#include "platform/probelib/probelib.h"
#include "tests/platform/probelib/usb/usb_testbed.h"
#include "vornic/log/language.h"
#include "vornic/log/output_log.h"
#include "vornic/probe/probe_link.h"

namespace {

using usbtest::ProbeAt;
using usbtest::ProbeSetup;
using usbtest::UsbTestbed;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const Bytes kQuery = {0x81, 0x06, 0x01, 0x01};
const Bytes kSoftReset = {0x81, 0x0B, 0x01, 0x00};

// The hot-plug routine is a plain function: events go into one list.
std::mutex g_eventsMutex;
std::vector<uint32_t> g_events;
void RecordEvent(uint32_t event) {
    std::lock_guard lock(g_eventsMutex);
    g_events.push_back(event);
}

template <typename Predicate>
bool WaitFor(Predicate ready, std::chrono::milliseconds limit = 3000ms) {
    auto deadline = Clock::now() + limit;
    while (!ready()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

class UsbBackendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!UsbTestbed::InMockEnvironment()) GTEST_SKIP() << "runs under umockdev-wrapper";
        bed = std::make_unique<UsbTestbed>();
        std::lock_guard lock(g_eventsMutex);
        g_events.clear();
    }

    void TearDown() override {
        CH375SetDeviceNotify(0, nullptr, nullptr);
        probelib::WaitForNotifications();
        // Releases the usb backend (and its libusb context) before the devices go.
        probelib::SelectBackend("sim", "absent", "", nullptr);
        bed.reset();
    }

    void Use(std::string probe = "", uint32_t readTimeoutMs = 400, bool scan = false) {
        probelib::UsbOptions options;
        options.probe = std::move(probe);
        options.readTimeoutMs = readTimeoutMs;
        options.scanForPlugs = scan;
        probelib::SetUsbOptions(options);
        std::string error;
        ASSERT_EQ(1, probelib::SelectBackend("usb", "", "", &error)) << error;
        CH375SetDeviceNotify(0, nullptr, RecordEvent);
    }

    // One request on pipe 1 and its 20-byte reply (empty when none came).
    Bytes Exchange(const Bytes& request) {
        Bytes frame = request;
        uint32_t length = static_cast<uint32_t>(frame.size());
        CH375WriteEndP(0, 1, frame.data(), &length);
        if (length != frame.size()) return {};
        Bytes reply(20, 0);
        length = 20;
        if (CH375ReadEndP(0, 1, reply.data(), &length) == 0) return {};
        reply.resize(length);
        return reply;
    }

    std::vector<uint32_t> Events() {
        std::lock_guard lock(g_eventsMutex);
        return g_events;
    }

    std::unique_ptr<UsbTestbed> bed;
};

TEST_F(UsbBackendTest, ExchangesOnTheCommandAndDataPipes) {
    bed->Add(ProbeAt("1-1"), false);
    Use();
    EXPECT_EQ(-1, CH375OpenDevice(1)) << "only device index 0 exists";
    ASSERT_NE(-1, CH375OpenDevice(0));
    EXPECT_EQ(probelib::OpenProblem::None, probelib::LastOpenProblem());

    Bytes reply = Exchange(kQuery);
    ASSERT_GE(reply.size(), 4u);
    EXPECT_EQ(0x82, reply[0]);
    EXPECT_EQ(0x06, reply[1]);
    EXPECT_EQ(0x02, reply[3]) << "a fresh target is unprotected";

    // A programme run of 64 bytes at 0x08000000: the data goes on pipe 2 and
    // its statuses come back there.
    ASSERT_FALSE(Exchange({0x81, 0x01, 0x04, 0x08, 0x00, 0x00, 0x00}).empty());
    ASSERT_FALSE(Exchange({0x81, 0x05, 0x04, 0x00, 0x00, 0x00, 0x40}).empty());
    ASSERT_FALSE(Exchange({0x81, 0x02, 0x01, 0x01}).empty());  // erase-all
    Bytes select = Exchange({0x81, 0x02, 0x01, 0x02});
    ASSERT_GE(select.size(), 4u);
    EXPECT_EQ(0x02, select[3]);
    Bytes packet(64);
    for (size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<uint8_t>(i * 3);
    uint32_t length = 64;
    EXPECT_EQ(1, CH375WriteEndP(0, 2, packet.data(), &length));
    EXPECT_EQ(64u, length);
    EXPECT_EQ(1u, bed->Submitted("1-1", 0x02));
    Bytes status(20, 0);
    length = 20;
    EXPECT_EQ(1, CH375ReadEndP(0, 2, status.data(), &length));
    EXPECT_EQ(0x41, status[0]);
    bed->WithTarget("1-1", [&](probelib::sim::TargetModel& target) {
        EXPECT_TRUE(std::equal(packet.begin(), packet.end(), target.Flash().begin()));
    });
    CH375CloseDevice(0);
    length = 4;
    Bytes frame = kQuery;
    EXPECT_EQ(0, CH375WriteEndP(0, 1, frame.data(), &length));
    EXPECT_EQ(0u, length) << "a write after the close moves nothing";
}

TEST_F(UsbBackendTest, KernelDriverIsDetachedForTheSessionAndGivenBack) {
    ProbeSetup setup = ProbeAt("1-1");
    setup.kernelDriver = "cdc_acm";
    bed->Add(setup, false);
    Use();
    ASSERT_NE(-1, CH375OpenDevice(0));
    EXPECT_EQ("", bed->BoundDriver("1-1"));
    EXPECT_FALSE(Exchange(kQuery).empty());
    CH375CloseDevice(0);
    EXPECT_EQ("cdc_acm", bed->BoundDriver("1-1"));
    EXPECT_EQ(1u, bed->DriverReattached("1-1"));
}

TEST_F(UsbBackendTest, UnansweredReadTimesOutAndLeavesTheBufferAlone) {
    bed->Add(ProbeAt("1-1", "VN0001", "no-reply:ReadProtect"), false);
    Use("", 300);
    ASSERT_NE(-1, CH375OpenDevice(0));
    Bytes frame = kQuery;
    uint32_t length = 4;
    EXPECT_EQ(1, CH375WriteEndP(0, 1, frame.data(), &length));
    Bytes reply(20, 0xAA);
    length = 20;
    auto start = Clock::now();
    EXPECT_EQ(0, CH375ReadEndP(0, 1, reply.data(), &length));
    auto waited = Clock::now() - start;
    EXPECT_EQ(0u, length);
    EXPECT_EQ(Bytes(20, 0xAA), reply);
    EXPECT_GE(waited, 250ms);
    EXPECT_LT(waited, 2500ms);
    // The probe is still usable for the next command.
    Bytes reset = Exchange(kSoftReset);
    ASSERT_GE(reset.size(), 4u);
    EXPECT_EQ(0x0B, reset[1]);
}

TEST_F(UsbBackendTest, StalledEndpointIsClearedBeforeItsNextTransfer) {
    bed->Add(ProbeAt("1-1"), false);
    Use();
    ASSERT_NE(-1, CH375OpenDevice(0));
    bed->StallNext("1-1", 0x81);
    Bytes frame = kQuery;
    uint32_t length = 4;
    CH375WriteEndP(0, 1, frame.data(), &length);
    Bytes reply(20, 0x55);
    length = 20;
    EXPECT_EQ(0, CH375ReadEndP(0, 1, reply.data(), &length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ(Bytes(20, 0x55), reply);
    EXPECT_EQ(0u, bed->ClearHalts("1-1", 0x81));

    Bytes again = Exchange(kQuery);
    ASSERT_GE(again.size(), 4u);
    EXPECT_EQ(0x82, again[0]);
    EXPECT_EQ(1u, bed->ClearHalts("1-1", 0x81));
    EXPECT_EQ(0u, bed->ClearHalts("1-1", 0x01)) << "only the stalled endpoint is cleared";
}

TEST_F(UsbBackendTest, RemovalFailsTransfersAndArrivalIsReported) {
    bed->Add(ProbeAt("1-1"), false);
    Use();
    ASSERT_NE(-1, CH375OpenDevice(0));
    bed->Remove("1-1");
    ASSERT_TRUE(WaitFor([&] { return !Events().empty(); }));
    EXPECT_EQ(std::vector<uint32_t>{0}, Events());
    Bytes frame = kQuery;
    uint32_t length = 4;
    EXPECT_EQ(0, CH375WriteEndP(0, 1, frame.data(), &length));
    EXPECT_EQ(0u, length);
    CH375CloseDevice(0);

    bed->Add(ProbeAt("1-1"), true);
    ASSERT_TRUE(WaitFor([&] { return Events().size() == 2; }));
    EXPECT_EQ((std::vector<uint32_t>{0, 3}), Events());
    ASSERT_NE(-1, CH375OpenDevice(0));
    EXPECT_FALSE(Exchange(kQuery).empty());
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(2u, Events().size()) << "one event per plug";
}

// Where libusb has no hot-plug support the device list is scanned instead:
// the same events, once each, for the chosen probe only.
TEST_F(UsbBackendTest, ScanningFindsTheSameEvents) {
    bed->Add(ProbeAt("1-1", "AAA1"), false);
    bed->Add(ProbeAt("1-2", "BBB2"), false);
    Use("BBB2", 400, true);
    ASSERT_NE(-1, CH375OpenDevice(0));
    bed->Remove("1-1");
    bed->Remove("1-2");
    ASSERT_TRUE(WaitFor([&] { return !Events().empty(); }));
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(std::vector<uint32_t>{0}, Events());
    CH375CloseDevice(0);

    bed->Add(ProbeAt("1-1", "AAA1"), true);
    bed->Add(ProbeAt("1-2", "BBB2"), true);
    ASSERT_TRUE(WaitFor([&] { return Events().size() == 2; }));
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ((std::vector<uint32_t>{0, 3}), Events());
    ASSERT_NE(-1, CH375OpenDevice(0));
    EXPECT_FALSE(Exchange(kQuery).empty());
    EXPECT_EQ(1u, bed->Submitted("1-2", 0x01));
}

TEST_F(UsbBackendTest, CloseWhileAReadIsInFlightEndsItAtOnce) {
    bed->Add(ProbeAt("1-1", "VN0001", "no-reply:ReadProtect"), false);
    Use("", 0);  // the built-in read time-out, far longer than this test waits
    ASSERT_NE(-1, CH375OpenDevice(0));
    Bytes frame = kQuery;
    uint32_t length = 4;
    CH375WriteEndP(0, 1, frame.data(), &length);

    std::atomic<bool> returned{false};
    int result = -1;
    uint32_t readLength = 20;
    Bytes reply(20, 0xAA);
    std::thread reader([&] {
        result = CH375ReadEndP(0, 1, reply.data(), &readLength);
        returned = true;
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(returned);
    auto start = Clock::now();
    CH375CloseDevice(0);
    auto closing = Clock::now() - start;
    reader.join();
    EXPECT_LT(closing, 1000ms);
    EXPECT_EQ(0, result);
    EXPECT_EQ(0u, readLength);
    EXPECT_EQ(Bytes(20, 0xAA), reply);

    length = 20;
    EXPECT_EQ(0, CH375ReadEndP(0, 1, reply.data(), &length));
    EXPECT_EQ(0u, length);
    // And the probe opens again.
    EXPECT_NE(-1, CH375OpenDevice(0));
}

TEST_F(UsbBackendTest, ManyThreadsTransferingWhileTheProbeCloses) {
    bed->Add(ProbeAt("1-1"), false);
    Use("", 200);
    ASSERT_NE(-1, CH375OpenDevice(0));
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int i = 0; i < 3; ++i) {
        workers.emplace_back([&] {
            while (!stop) {
                Bytes frame = kQuery;
                uint32_t length = 4;
                CH375WriteEndP(0, 1, frame.data(), &length);
                Bytes reply(20);
                length = 20;
                CH375ReadEndP(0, 1, reply.data(), &length);
                EXPECT_LE(length, 20u);
            }
        });
    }
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(20ms);
        CH375CloseDevice(0);
        std::this_thread::sleep_for(5ms);
        CH375OpenDevice(0);
    }
    stop = true;
    for (auto& worker : workers) worker.join();
}

TEST_F(UsbBackendTest, OnlyTheChosenProbesEventsAreDelivered) {
    bed->Add(ProbeAt("1-1", "AAA1"), false);
    bed->Add(ProbeAt("1-2", "BBB2"), false);
    Use("BBB2");
    ASSERT_NE(-1, CH375OpenDevice(0));
    EXPECT_FALSE(Exchange(kQuery).empty());
    EXPECT_EQ(1u, bed->Submitted("1-2", 0x01));
    EXPECT_EQ(0u, bed->Submitted("1-1", 0x01));

    bed->Remove("1-1");
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(Events().empty()) << "another probe's removal";
    bed->Remove("1-2");
    ASSERT_TRUE(WaitFor([&] { return Events().size() == 1; }));
    bed->Add(ProbeAt("1-1", "AAA1"), true);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(std::vector<uint32_t>{0}, Events()) << "another probe's arrival";
    bed->Add(ProbeAt("1-2", "BBB2"), true);
    ASSERT_TRUE(WaitFor([&] { return Events().size() == 2; }));
    EXPECT_EQ((std::vector<uint32_t>{0, 3}), Events());
}

TEST_F(UsbBackendTest, BusPortPicksAProbeAndTheFirstIsTheDefault) {
    bed->Add(ProbeAt("1-10", "TEN"), false);
    bed->Add(ProbeAt("1-2", "TWO"), false);
    Use();
    ASSERT_NE(-1, CH375OpenDevice(0));
    EXPECT_FALSE(Exchange(kQuery).empty());
    EXPECT_EQ(1u, bed->Submitted("1-2", 0x01)) << "1-2 comes before 1-10";
    CH375CloseDevice(0);

    Use("1-10");
    ASSERT_NE(-1, CH375OpenDevice(0));
    EXPECT_FALSE(Exchange(kQuery).empty());
    EXPECT_EQ(1u, bed->Submitted("1-10", 0x01));
}

// Each Use() starts a fresh libusb, which sees the devices added before it.
TEST_F(UsbBackendTest, OpenFailuresSayWhy) {
    Use();
    EXPECT_EQ(-1, CH375OpenDevice(0));
    EXPECT_EQ(probelib::OpenProblem::NotFound, probelib::LastOpenProblem());

    bed->Add(ProbeAt("1-1", "", "", 0x8011), false);
    Use();
    EXPECT_EQ(-1, CH375OpenDevice(0));
    EXPECT_EQ(probelib::OpenProblem::WrongMode, probelib::LastOpenProblem());

    bed->Add(ProbeAt("1-2", "OURS"), false);
    Use("SOMEONE-ELSE");
    EXPECT_EQ(-1, CH375OpenDevice(0));
    EXPECT_EQ(probelib::OpenProblem::NoMatch, probelib::LastOpenProblem());
    Use("OURS");
    EXPECT_NE(-1, CH375OpenDevice(0));
    EXPECT_EQ(probelib::OpenProblem::None, probelib::LastOpenProblem());
}

TEST_F(UsbBackendTest, ListShowsEveryProbeInBusPortOrder) {
    bed->Add(ProbeAt("1-10", "TEN"), false);
    bed->Add(ProbeAt("1-2", "", "", 0x8012), false);
    bed->Add(ProbeAt("1-1", "ONE"), false);
    bed->Add(ProbeAt("1-3", "OTHER", "", 0x1234), false);  // not a probe
    std::vector<probelib::ProbeInfo> probes;
    std::string error;
    ASSERT_EQ(1, probelib::ListProbes({}, &probes, &error)) << error;
    ASSERT_EQ(3u, probes.size());
    EXPECT_EQ("1-1", probes[0].busPort);
    EXPECT_EQ("ONE", probes[0].serial);
    EXPECT_FALSE(probes[0].wrongMode);
    EXPECT_EQ("1-2", probes[1].busPort);
    EXPECT_EQ("", probes[1].serial);
    EXPECT_TRUE(probes[1].wrongMode);
    EXPECT_EQ((probelib::UsbId{0x1a86, 0x8012}), probes[1].id);
    EXPECT_EQ("1-10", probes[2].busPort);

    probelib::UsbOptions extra;
    extra.extraIds.push_back({0x1a86, 0x1234});
    ASSERT_EQ(1, probelib::ListProbes(extra, &probes, &error));
    EXPECT_EQ(4u, probes.size()) << "--usb-id adds an accepted id";
}

// The probe link on top of the usb backend, as the window and vornic-cli run it.
class UsbLinkTest : public UsbBackendTest {
  protected:
    void StartLink() {
        g_useChinese = 1;
        g_debugOutput = false;
        g_logCounter = 0;
        g_deviceHandle = -1;
        probelib::UsbOptions options;
        probelib::SetUsbOptions(options);
        std::string error;
        ASSERT_EQ(1, probelib::SelectBackend("usb", "", "", &error)) << error;
        dialog = std::make_unique<controls::HeadlessDialog>();
        controls::SetMainDialog(dialog.get());
        dialog->SetHandler(IDC_OPEN_DEVICE, OnOpenCloseDevice);
        dialog->SetText(IDC_OPEN_DEVICE, "打开设备");
        StartUpProbeLink();
    }
    void TearDown() override {
        UsbBackendTest::TearDown();
        controls::SetMainDialog(nullptr);
        dialog.reset();
    }
    std::string Pane() { return dialog ? dialog->GetText(IDC_OUTPUT) : ""; }
    std::unique_ptr<controls::HeadlessDialog> dialog;
};

TEST_F(UsbLinkTest, ArrivalOpensTheProbeAndRemovalClosesIt) {
    StartLink();
    EXPECT_EQ(-1, g_deviceHandle.load());
    EXPECT_EQ("", Pane());

    bed->Add(ProbeAt("1-1"), true);
    ASSERT_TRUE(WaitFor([] { return g_deviceHandle.load() != -1; }));
    probelib::WaitForNotifications();
    EXPECT_NE(std::string::npos, Pane().find("打开设备成功!"));
    EXPECT_EQ("检测到设备已连接", dialog->GetText(IDC_LINK_STATUS));
    EXPECT_EQ("关闭设备", dialog->GetText(IDC_OPEN_DEVICE));

    bed->Remove("1-1");
    ASSERT_TRUE(WaitFor([] { return g_deviceHandle.load() == -1; }));
    probelib::WaitForNotifications();
    EXPECT_NE(std::string::npos, Pane().find("关闭设备成功!"));
    EXPECT_EQ("等待设备连接...", dialog->GetText(IDC_LINK_STATUS));
    EXPECT_EQ("打开设备", dialog->GetText(IDC_OPEN_DEVICE));
}

}  // namespace
