// The simulated probe through the five library calls: open and presence,
// hot-plug events on the library's own thread, unplug faults, latency, and
// the state file that carries flash and protection from one run to the next.
#include "platform/probelib/sim/sim_backend.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/probelib/lifetime.h"
#include "platform/probelib/probelib.h"
#include "platform/probelib/usb/usb_select.h"

namespace {

std::mutex g_eventsMutex;
std::vector<uint32_t> g_events;
std::vector<std::thread::id> g_eventThreads;

void RecordEvent(uint32_t event) {
    std::lock_guard lock(g_eventsMutex);
    g_events.push_back(event);
    g_eventThreads.push_back(std::this_thread::get_id());
}

std::vector<uint32_t> TakeEvents() {
    probelib::WaitForNotifications();
    std::lock_guard lock(g_eventsMutex);
    g_eventThreads.clear();
    return std::exchange(g_events, {});
}

using Bytes = std::vector<uint8_t>;

int Write(uint32_t pipe, Bytes bytes, uint32_t* sent = nullptr) {
    uint32_t length = uint32_t(bytes.size());
    int result = CH375WriteEndP(0, pipe, bytes.data(), &length);
    if (sent) *sent = length;
    return result;
}

Bytes Read(uint32_t pipe, uint32_t length = 20) {
    Bytes buffer(20, 0);
    CH375ReadEndP(0, pipe, buffer.data(), &length);
    buffer.resize(length);
    return buffer;
}

class SimBackendTest : public ::testing::Test {
  protected:
    void Select(const char* faults, const std::string& state = "") {
        std::string error;
        ASSERT_EQ(1, probelib::SelectBackend("sim", faults, state, &error)) << error;
        CH375SetDeviceNotify(0, nullptr, RecordEvent);
        TakeEvents();
    }
    void TearDown() override {
        CH375SetDeviceNotify(0, nullptr, nullptr);
        probelib::WaitForNotifications();
    }
    std::filesystem::path TempState() {
        auto p = std::filesystem::temp_directory_path() /
                 ("probelib-state-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove(p);
        return p;
    }
};

}  // namespace

TEST_F(SimBackendTest, BackendChoiceIsReportedPlainly) {
    std::string error;
    EXPECT_EQ(0, probelib::SelectBackend("hid", "", "", &error));
    EXPECT_NE(std::string::npos, error.find("hid"));
    EXPECT_EQ(0, probelib::SelectBackend("sim", "nonsense", "", &error));
    EXPECT_NE(std::string::npos, error.find("nonsense"));
}

TEST_F(SimBackendTest, OnlyProbeZeroOpensAndTransfersNeedAnOpenProbe) {
    Select("");
    uint32_t sent = 99;
    EXPECT_EQ(0, Write(1, {0x81, 0x06, 0x01, 0x01}, &sent));
    EXPECT_EQ(0u, sent);
    EXPECT_EQ(-1, CH375OpenDevice(1));
    EXPECT_NE(-1, CH375OpenDevice(0));
    EXPECT_EQ(1, Write(1, {0x81, 0x06, 0x01, 0x01}, &sent));
    EXPECT_EQ(4u, sent);
    EXPECT_EQ((Bytes{0x82, 0x06, 0x01, 0x02}), Read(1));
    EXPECT_EQ(0, Write(3, {1}, &sent)) << "no pipe 3";
    CH375CloseDevice(0);
    EXPECT_TRUE(Read(1).empty());
}

TEST_F(SimBackendTest, ReadIsCutToTheLengthAsked) {
    Select("");
    ASSERT_NE(-1, CH375OpenDevice(0));
    Write(1, {0x81, 0x06, 0x01, 0x03});
    EXPECT_EQ((Bytes{0x82, 0x06}), Read(1, 2));
}

TEST_F(SimBackendTest, HotPlugEventsComeFromTheLibrarysOwnThread) {
    Select("absent");
    EXPECT_EQ(-1, CH375OpenDevice(0));
    auto sim = probelib::sim::ActiveSim();
    ASSERT_TRUE(sim);
    sim->Plug();
    sim->Plug();  // already plugged: no second event
    probelib::WaitForNotifications();
    {
        std::lock_guard lock(g_eventsMutex);
        ASSERT_EQ(1u, g_eventThreads.size());
        EXPECT_NE(std::this_thread::get_id(), g_eventThreads[0]);
    }
    EXPECT_EQ(std::vector<uint32_t>{3}, TakeEvents());
    EXPECT_NE(-1, CH375OpenDevice(0));
    sim->Unplug();
    EXPECT_EQ(std::vector<uint32_t>{0}, TakeEvents());
    EXPECT_FALSE(sim->IsOpen());
    EXPECT_EQ(-1, CH375OpenDevice(0));
}

TEST_F(SimBackendTest, UnplugAfterRemovesTheProbeMidRun) {
    Select("unplug-after:2");
    ASSERT_NE(-1, CH375OpenDevice(0));
    Write(1, {0x81, 0x01, 0x04, 0x08, 0x00, 0x00, 0x00});
    Read(1);
    Write(1, {0x81, 0x05, 0x04, 0x00, 0x00, 0x01, 0x00});
    Read(1);
    Write(1, {0x81, 0x02, 0x01, 0x02});
    EXPECT_EQ((Bytes{0x82, 0x02, 0x01, 0x02}), Read(1));
    uint32_t sent = 0;
    EXPECT_EQ(1, Write(2, Bytes(64, 0x11), &sent));
    EXPECT_EQ(1, Write(2, Bytes(64, 0x22), &sent));
    EXPECT_EQ(0, Write(2, Bytes(64, 0x33), &sent));
    EXPECT_EQ(0u, sent);
    EXPECT_EQ(std::vector<uint32_t>{0}, TakeEvents());
}

TEST_F(SimBackendTest, LatencyDelaysEveryTransfer) {
    Select("latency-us:20000");
    ASSERT_NE(-1, CH375OpenDevice(0));
    auto start = std::chrono::steady_clock::now();
    Write(1, {0x81, 0x06, 0x01, 0x01});
    Read(1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
}

TEST_F(SimBackendTest, StateFileCarriesFlashAndProtectionToTheNextRun) {
    auto state = TempState();
    Select("", state.string());
    ASSERT_NE(-1, CH375OpenDevice(0));
    for (Bytes request :
         {Bytes{0x81, 0x01, 0x04, 0x08, 0x00, 0x00, 0x00},
          Bytes{0x81, 0x05, 0x04, 0x00, 0x00, 0x00, 0x03}, Bytes{0x81, 0x02, 0x01, 0x02}}) {
        Write(1, request);
        Read(1);
    }
    Write(2, {0xA1, 0xB2, 0xC3});
    EXPECT_EQ((Bytes{0x41, 0x00, 0x00, 0x04}), Read(2));
    ASSERT_TRUE(std::filesystem::exists(state));

    Select("", state.string());
    auto sim = probelib::sim::ActiveSim();
    Bytes flash = sim->Flash();
    EXPECT_EQ((Bytes{0xA1, 0xB2, 0xC3, 0xFF}), Bytes(flash.begin(), flash.begin() + 4));
    EXPECT_FALSE(sim->ReadProtected());
    ASSERT_NE(-1, CH375OpenDevice(0));
    Write(1, {0x81, 0x06, 0x01, 0x03});
    Read(1);

    Select("", state.string());
    EXPECT_TRUE(probelib::sim::ActiveSim()->ReadProtected());
    EXPECT_EQ(0xA1, probelib::sim::ActiveSim()->Flash()[0]);
    std::filesystem::remove(state);
}

TEST_F(SimBackendTest, ForeignStateFileIsRefused) {
    auto state = TempState();
    std::ofstream(state) << "not a state";
    std::string error;
    EXPECT_EQ(0, probelib::SelectBackend("sim", "", state.string(), &error));
    EXPECT_NE(std::string::npos, error.find(state.string()));
    std::filesystem::remove(state);
}
