// The simulated probe through the five library calls: open and pipes, and the
// unplug fault with its event.
#include "platform/probelib/sim/sim_backend.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "platform/probelib/lifetime.h"
#include "platform/probelib/probelib.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::mutex g_eventsMutex;
std::vector<uint32_t> g_events;
std::thread::id g_eventThread;

void RecordEvent(uint32_t event) {
    std::lock_guard lock(g_eventsMutex);
    g_events.push_back(event);
    g_eventThread = std::this_thread::get_id();
}

std::vector<uint32_t> TakeEvents() {
    probelib::WaitForNotifications();
    std::lock_guard lock(g_eventsMutex);
    return std::exchange(g_events, {});
}

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

// Selects the simulator and opens its probe; the requests set up a programme
// run of `length` bytes at the flash.
void Start(const char* faults, uint8_t length) {
    ASSERT_EQ(probelib::ConfigureProblem::None,
              probelib::Configure({.backend = "sim", .simFaults = faults}, nullptr));
    CH375SetDeviceNotify(0, nullptr, RecordEvent);
    TakeEvents();
    ASSERT_NE(-1, CH375OpenDevice(0));
    for (Bytes request :
         {Bytes{0x81, 0x01, 0x04, 0x08, 0x00, 0x00, 0x00},
          Bytes{0x81, 0x05, 0x04, 0x00, 0x00, 0x00, length}, Bytes{0x81, 0x02, 0x01, 0x02}}) {
        Write(1, request);
        ASSERT_EQ(4u, Read(1).size());
    }
}

}  // namespace

TEST(SimBackend, TransfersNeedAnOpenProbeZeroAndAPipe) {
    ASSERT_EQ(probelib::ConfigureProblem::None, probelib::Configure({.backend = "sim"}, nullptr));
    EXPECT_EQ(0, Write(1, {0x81, 0x06, 0x01, 0x01})) << "no probe open";
    EXPECT_EQ(-1, CH375OpenDevice(1));
    EXPECT_NE(-1, CH375OpenDevice(0));
    EXPECT_EQ(1, Write(1, {0x81, 0x06, 0x01, 0x01}));
    EXPECT_EQ((Bytes{0x82, 0x06}), Read(1, 2)) << "a read is cut to the length asked";
    EXPECT_EQ(0, Write(3, {1})) << "no pipe 3";
    CH375CloseDevice(0);
    EXPECT_TRUE(Read(1).empty());
}

// The removal comes through the hot-plug routine, on the library's own thread.
TEST(SimBackend, UnplugAfterRemovesTheProbeMidRun) {
    Start("unplug-after:2", 0xff);
    EXPECT_EQ(1, Write(2, Bytes(64, 0x11)));
    EXPECT_EQ(1, Write(2, Bytes(64, 0x22)));
    uint32_t sent = 99;
    EXPECT_EQ(0, Write(2, Bytes(64, 0x33), &sent)) << "unplugged after two data packets";
    EXPECT_EQ(0u, sent);
    EXPECT_EQ(std::vector<uint32_t>{0}, TakeEvents());
    EXPECT_NE(std::this_thread::get_id(), g_eventThread);
    CH375SetDeviceNotify(0, nullptr, nullptr);
}
