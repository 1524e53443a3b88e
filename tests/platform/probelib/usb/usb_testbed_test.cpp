// The emulated probe bus's own behaviour under plain libusb, where the usb backend's tests
// would not show a fault plainly: reads that wait for a later write, event-loop wake-ups, libusb's
// cached device list, and re-added devices.
#include "tests/platform/probelib/usb/usb_testbed.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using usbtest::ProbeAt;
using usbtest::ProbeSetup;
using usbtest::UsbTestbed;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint16_t kVid = 0x1a86, kPid = 0x8010;
const Bytes kReadProtectQuery = {0x81, 0x06, 0x01, 0x01};

struct HandleClose {
    void operator()(libusb_device_handle* h) const { libusb_close(h); }
};
using Handle = std::unique_ptr<libusb_device_handle, HandleClose>;

struct DeviceUnref {
    void operator()(libusb_device* d) const { libusb_unref_device(d); }
};
using DevicePtr = std::unique_ptr<libusb_device, DeviceUnref>;

// One asynchronous bulk transfer with its buffer; must have completed before it goes away.
struct Transfer {
    libusb_transfer* t = libusb_alloc_transfer(0);
    Bytes buffer;
    bool done = false;

    Transfer(libusb_device_handle* h, uint8_t endpoint, Bytes data, unsigned timeoutMs)
        : buffer(std::move(data)) {
        libusb_fill_bulk_transfer(t, h, endpoint, buffer.data(), int(buffer.size()),
                                  &Transfer::Done, this, timeoutMs);
    }
    ~Transfer() { libusb_free_transfer(t); }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    static void LIBUSB_CALL Done(libusb_transfer* t) {
        static_cast<Transfer*>(t->user_data)->done = true;
    }
};

std::string PortPath(libusb_device* d) {
    uint8_t ports[8];
    const int n = libusb_get_port_numbers(d, ports, sizeof ports);
    std::string out;
    for (int i = 0; i < n; ++i) out += (i ? "." : "") + std::to_string(ports[i]);
    return out;
}

class UsbTestbedTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!UsbTestbed::InMockEnvironment()) GTEST_SKIP() << "needs umockdev-wrapper";
        bed = std::make_unique<UsbTestbed>();
    }
    void TearDown() override {
        if (ctx) libusb_exit(ctx);
        bed.reset();
    }

    // libusb caches the device list from its start and then follows uevents only, so devices
    // added without an announcement have to be in place before this.
    void StartLibusb() { ASSERT_EQ(0, libusb_init(&ctx)); }

    // Runs libusb's event handling until done() or the limit.
    bool Pump(const std::function<bool()>& done, std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        while (!done()) {
            if (Clock::now() > end) return false;
            timeval tv{0, 10000};
            libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
        }
        return true;
    }

    DevicePtr FindProbe(const std::string& portPath = "1") {
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(ctx, &list);
        DevicePtr found;
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor desc;
            if (libusb_get_device_descriptor(list[i], &desc) != 0) continue;
            if (desc.idVendor == kVid && desc.idProduct == kPid && PortPath(list[i]) == portPath)
                found.reset(libusb_ref_device(list[i]));
        }
        libusb_free_device_list(list, 1);
        return found;
    }

    Handle OpenClaimed(const std::string& portPath = "1") {
        DevicePtr dev = FindProbe(portPath);
        EXPECT_TRUE(dev) << "no probe at port " << portPath;
        if (!dev) return nullptr;
        libusb_device_handle* raw = nullptr;
        EXPECT_EQ(0, libusb_open(dev.get(), &raw));
        Handle h(raw);
        if (h) {
            EXPECT_EQ(0, libusb_claim_interface(h.get(), 0));
        }
        return h;
    }

    int Write(libusb_device_handle* h, uint8_t ep, Bytes data) {
        int done = 0;
        const int r = libusb_bulk_transfer(h, ep, data.data(), int(data.size()), &done, 1000);
        return r == 0 ? done : r;
    }
    Bytes Read(libusb_device_handle* h, uint8_t ep, int* rc, unsigned timeoutMs = 1000) {
        Bytes buffer(20);
        int done = 0;
        *rc = libusb_bulk_transfer(h, ep, buffer.data(), int(buffer.size()), &done, timeoutMs);
        buffer.resize(size_t(done));
        return buffer;
    }

    std::unique_ptr<UsbTestbed> bed;
    libusb_context* ctx = nullptr;
};

TEST_F(UsbTestbedTest, ReadWaitsForTheReplyOfALaterWrite) {
    bed->Add({}, false);
    StartLibusb();
    Handle h = OpenClaimed();
    ASSERT_TRUE(h);
    Transfer in(h.get(), 0x81, Bytes(20), 2000);
    ASSERT_EQ(0, libusb_submit_transfer(in.t));
    Pump([&] { return in.done; }, std::chrono::milliseconds(100));
    EXPECT_FALSE(in.done) << "nothing was pending, the probe NAKs";

    EXPECT_EQ(4, Write(h.get(), 0x01, kReadProtectQuery));
    ASSERT_TRUE(Pump([&] { return in.done; }, std::chrono::seconds(2)));
    ASSERT_EQ(LIBUSB_TRANSFER_COMPLETED, in.t->status);
    ASSERT_GE(in.t->actual_length, 2);
    EXPECT_EQ(0x82, in.buffer[0]);
    EXPECT_EQ(0x06, in.buffer[1]);
}

TEST_F(UsbTestbedTest, CompletionFromAnotherThreadWakesABlockedEventLoop) {
    bed->Add(ProbeAt("1-1"), false);
    StartLibusb();
    Handle h = OpenClaimed();
    ASSERT_TRUE(h);
    Transfer in(h.get(), 0x81, Bytes(20), 0);
    ASSERT_EQ(0, libusb_submit_transfer(in.t));

    int completed = 0;
    Clock::time_point woke;
    std::thread events([&] {
        // No time-out: only the descriptor turning writable can end this.
        while (!completed) libusb_handle_events_completed(ctx, &completed);
        woke = Clock::now();
    });
    in.t->callback = [](libusb_transfer* t) { *static_cast<int*>(t->user_data) = 1; };
    in.t->user_data = &completed;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto stalled = Clock::now();
    bed->StallNext("1-1", 0x81);
    events.join();
    EXPECT_EQ(LIBUSB_TRANSFER_STALL, in.t->status);
    EXPECT_LT(woke - stalled, std::chrono::milliseconds(500));
}

TEST_F(UsbTestbedTest, UnannouncedAddIsNotSeenByARunningContext) {
    StartLibusb();
    bed->Add(ProbeAt("1-3"), false);
    Pump([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_FALSE(FindProbe("3")) << "libusb only learns of new devices from uevents";
}

TEST_F(UsbTestbedTest, ReAddAfterRemoveIsAFreshDevice) {
    bed->Add(ProbeAt("1-1", "VN0001", "protected"), false);
    const std::string first = bed->DevNode("1-1");
    EXPECT_THROW(bed->Add({}, false), std::logic_error);
    bed->Remove("1-1");
    bed->Add({}, true);
    EXPECT_NE(first, bed->DevNode("1-1"));
    bed->WithTarget("1-1", [](probelib::sim::TargetModel& m) { EXPECT_FALSE(m.ReadProtected()); });
    EXPECT_THROW(bed->Add(ProbeAt("2-1"), false), std::invalid_argument);
    EXPECT_THROW(bed->Add(ProbeAt("1-1.2"), false), std::logic_error) << "1-1 is no hub";
    EXPECT_THROW(bed->Add(ProbeAt("1-5", "VN0001", "bogus"), false), std::invalid_argument);
}

}  // namespace
