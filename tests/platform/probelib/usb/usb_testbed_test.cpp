// Drives the emulated probe bus with plain libusb: enumeration and topology, claiming, bulk
// request/reply, pending reads and their cancellation, removal, hot-plug, stalls and unplug.
#include "usb_testbed.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using usbtest::DeviceSpec;
using usbtest::UsbTestbed;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint16_t kVid = 0x1a86, kPid = 0x8010;
const Bytes kReadProtectQuery = {0x81, 0x06, 0x01, 0x01};

DeviceSpec Spec(const std::string& busPort, const std::string& serial = "VN0001",
                const std::string& faults = "") {
    DeviceSpec s;
    s.busPort = busPort;
    s.serial = serial;
    s.faults = faults;
    return s;
}

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

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

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

TEST_F(UsbTestbedTest, EnumerationGivesIdsBusPortPathsAndSerials) {
    bed->Add(Spec("1-1", "VN0001"), false);
    bed->Add(Spec("1-2", "VN0002"), false);
    bed->Add(Spec("1-5.4", "VN0054"), false);
    bed->Add(Spec("1-3", ""), false);
    StartLibusb();

    const std::map<std::string, std::string> expected = {
        {"1", "VN0001"}, {"2", "VN0002"}, {"5.4", "VN0054"}, {"3", ""}};
    for (const auto& [ports, serial] : expected) {
        SCOPED_TRACE("port path " + ports);
        DevicePtr dev = FindProbe(ports);
        ASSERT_TRUE(dev);
        EXPECT_EQ(1, libusb_get_bus_number(dev.get()));
        EXPECT_EQ(LIBUSB_SPEED_FULL, libusb_get_device_speed(dev.get()));

        libusb_device_descriptor desc;
        ASSERT_EQ(0, libusb_get_device_descriptor(dev.get(), &desc));
        EXPECT_EQ(serial.empty() ? 0 : 3, desc.iSerialNumber);
        libusb_config_descriptor* config = nullptr;
        ASSERT_EQ(0, libusb_get_active_config_descriptor(dev.get(), &config));
        ASSERT_EQ(1, config->bNumInterfaces);
        const libusb_interface_descriptor& alt = config->interface[0].altsetting[0];
        ASSERT_EQ(4, alt.bNumEndpoints);
        std::vector<int> eps;
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(LIBUSB_TRANSFER_TYPE_BULK, alt.endpoint[i].bmAttributes & 3);
            EXPECT_EQ(64, alt.endpoint[i].wMaxPacketSize);
            eps.push_back(alt.endpoint[i].bEndpointAddress);
        }
        EXPECT_EQ((std::vector<int>{0x01, 0x81, 0x02, 0x82}), eps);
        libusb_free_config_descriptor(config);

        std::string sysName = "1-" + ports;
        std::string attr = ReadFile("/sys/bus/usb/devices/" + sysName + "/serial");
        EXPECT_EQ(serial.empty() ? "" : serial + "\n", attr);

        if (!serial.empty()) {
            libusb_device_handle* raw = nullptr;
            ASSERT_EQ(0, libusb_open(dev.get(), &raw));
            Handle h(raw);
            unsigned char text[64] = {};
            const int n =
                libusb_get_string_descriptor_ascii(h.get(), desc.iSerialNumber, text, sizeof text);
            ASSERT_GT(n, 0);
            EXPECT_EQ(serial, std::string(reinterpret_cast<char*>(text), size_t(n)));
        }
    }
}

TEST_F(UsbTestbedTest, OpenClaimAndRequestReply) {
    bed->Add({}, false);
    StartLibusb();
    DevicePtr dev = FindProbe();
    ASSERT_TRUE(dev);
    libusb_device_handle* raw = nullptr;
    ASSERT_EQ(0, libusb_open(dev.get(), &raw));
    Handle h(raw);
    EXPECT_EQ(0, libusb_kernel_driver_active(h.get(), 0));
    EXPECT_EQ(LIBUSB_ERROR_NOT_FOUND, libusb_detach_kernel_driver(h.get(), 0));
    ASSERT_EQ(0, libusb_claim_interface(h.get(), 0));

    EXPECT_EQ(4, Write(h.get(), 0x01, kReadProtectQuery));
    int rc = -1;
    Bytes reply = Read(h.get(), 0x81, &rc);
    ASSERT_EQ(0, rc);
    ASSERT_GE(reply.size(), 4u);
    EXPECT_EQ(0x82, reply[0]);
    EXPECT_EQ(0x06, reply[1]);
    EXPECT_EQ(1u, bed->Submitted("1-1", 0x01));
    EXPECT_EQ(1u, bed->Submitted("1-1", 0x81));
    EXPECT_EQ(0u, bed->Submitted("1-1", 0x02));

    EXPECT_EQ(0, libusb_release_interface(h.get(), 0));
}

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

TEST_F(UsbTestbedTest, NoReplyLeavesTheReadPendingUntilCancelOrTimeout) {
    bed->Add(Spec("1-1", "VN0001", "no-reply:ReadProtect"), false);
    StartLibusb();
    Handle h = OpenClaimed();
    ASSERT_TRUE(h);
    EXPECT_EQ(4, Write(h.get(), 0x01, kReadProtectQuery));

    Transfer in(h.get(), 0x81, Bytes(20), 0);
    ASSERT_EQ(0, libusb_submit_transfer(in.t));
    Pump([&] { return in.done; }, std::chrono::milliseconds(150));
    ASSERT_FALSE(in.done);
    ASSERT_EQ(0, libusb_cancel_transfer(in.t));
    ASSERT_TRUE(Pump([&] { return in.done; }, std::chrono::seconds(2)));
    EXPECT_EQ(LIBUSB_TRANSFER_CANCELLED, in.t->status);
    EXPECT_EQ(0, in.t->actual_length);

    int rc = 0;
    const auto start = Clock::now();
    EXPECT_TRUE(Read(h.get(), 0x81, &rc, 200).empty());
    EXPECT_EQ(LIBUSB_ERROR_TIMEOUT, rc);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(190));

    // The link still works after both cancellations.
    bed->WithTarget("1-1", [](probelib::sim::TargetModel& m) { EXPECT_FALSE(m.InDataPhase()); });
    EXPECT_EQ(0, libusb_release_interface(h.get(), 0));
}

TEST_F(UsbTestbedTest, ReadsLeftPendingByAClosedHandleDoNotEatLaterReplies) {
    bed->Add(Spec("1-1"), false);
    StartLibusb();
    {
        Handle h = OpenClaimed();
        ASSERT_TRUE(h);
        Transfer in(h.get(), 0x81, Bytes(20), 0);
        ASSERT_EQ(0, libusb_submit_transfer(in.t));
        Pump([&] { return in.done; }, std::chrono::milliseconds(20));
        ASSERT_FALSE(in.done);
        h.reset();  // closed with the read still submitted, as after a crash of the host side
    }
    Handle h = OpenClaimed();
    ASSERT_TRUE(h);
    EXPECT_EQ(4, Write(h.get(), 0x01, kReadProtectQuery));
    int rc = -1;
    Bytes reply = Read(h.get(), 0x81, &rc);
    ASSERT_EQ(0, rc);
    EXPECT_EQ(0x06, reply.at(1));
}

TEST_F(UsbTestbedTest, RemoveFailsPendingAndLaterTransfersWithNoDevice) {
    bed->Add({}, false);
    StartLibusb();
    Handle h = OpenClaimed();
    ASSERT_TRUE(h);
    Transfer in(h.get(), 0x82, Bytes(20), 0);
    ASSERT_EQ(0, libusb_submit_transfer(in.t));
    Pump([&] { return in.done; }, std::chrono::milliseconds(50));
    ASSERT_FALSE(in.done);

    bed->Remove("1-1");
    ASSERT_TRUE(Pump([&] { return in.done; }, std::chrono::seconds(2)));
    EXPECT_EQ(LIBUSB_TRANSFER_NO_DEVICE, in.t->status);

    EXPECT_EQ(LIBUSB_ERROR_NO_DEVICE, Write(h.get(), 0x01, kReadProtectQuery));
    EXPECT_EQ("", ReadFile("/sys/bus/usb/devices/1-1/serial"));
}

TEST_F(UsbTestbedTest, HotplugReportsArrivalAndDeparture) {
    ASSERT_NE(0, libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG));
    StartLibusb();
    struct Seen {
        std::vector<std::pair<libusb_hotplug_event, std::string>> events;
    } seen;
    auto callback = [](libusb_context*, libusb_device* d, libusb_hotplug_event e,
                       void* user) -> int {
        static_cast<Seen*>(user)->events.emplace_back(e, PortPath(d));
        return 0;
    };
    libusb_hotplug_callback_handle cb;
    ASSERT_EQ(0, libusb_hotplug_register_callback(
                     ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                     LIBUSB_HOTPLUG_ENUMERATE, kVid, kPid, LIBUSB_HOTPLUG_MATCH_ANY, callback,
                     &seen, &cb));
    EXPECT_TRUE(seen.events.empty());

    using std::chrono::microseconds;
    std::vector<long long> arrivals, departures, addCalls;
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const size_t before = seen.events.size();
        // Timed from the call: the uevent is its last step, and libusb's udev thread may
        // have taken it before the call returns.
        auto start = Clock::now();
        bed->Add(Spec("1-2"), true);
        addCalls.push_back(std::chrono::duration_cast<microseconds>(Clock::now() - start).count());
        ASSERT_TRUE(Pump([&] { return seen.events.size() > before; }, std::chrono::seconds(5)));
        arrivals.push_back(std::chrono::duration_cast<microseconds>(Clock::now() - start).count());
        EXPECT_EQ(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, seen.events[before].first);
        EXPECT_EQ("2", seen.events[before].second);
        {
            Handle h = OpenClaimed("2");
            ASSERT_TRUE(h);
            EXPECT_EQ(4, Write(h.get(), 0x01, kReadProtectQuery));
        }

        start = Clock::now();
        bed->Remove("1-2");
        ASSERT_TRUE(Pump([&] { return seen.events.size() > before + 1; }, std::chrono::seconds(5)));
        departures.push_back(
            std::chrono::duration_cast<microseconds>(Clock::now() - start).count());
        EXPECT_EQ(LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, seen.events[before + 1].first);
        EXPECT_FALSE(FindProbe("2"));
    }
    EXPECT_EQ(10u, seen.events.size()) << "one arrival and one departure per round";
    libusb_hotplug_deregister_callback(ctx, cb);

    auto show = [](const char* what, std::vector<long long> v) {
        std::sort(v.begin(), v.end());
        std::printf(
            "Add/Remove call to libusb hot-plug callback, %s: min %lld us, median %lld us, max "
            "%lld us\n",
            what, v.front(), v[v.size() / 2], v.back());
    };
    show("arrival", arrivals);
    show("departure", departures);
    show("(of which the Add call itself)", addCalls);
}

TEST_F(UsbTestbedTest, CompletionFromAnotherThreadWakesABlockedEventLoop) {
    bed->Add(Spec("1-1"), false);
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
    bed->Add(Spec("1-3"), false);
    Pump([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_FALSE(FindProbe("3")) << "libusb only learns of new devices from uevents";
}

TEST_F(UsbTestbedTest, StallHoldsUntilClearHalt) {
    bed->Add({}, false);
    StartLibusb();
    Handle h = OpenClaimed();
    ASSERT_TRUE(h);

    bed->StallNext("1-1", 0x01);
    EXPECT_EQ(LIBUSB_ERROR_PIPE, Write(h.get(), 0x01, kReadProtectQuery));
    EXPECT_EQ(LIBUSB_ERROR_PIPE, Write(h.get(), 0x01, kReadProtectQuery)) << "still halted";
    bed->WithTarget("1-1", [](probelib::sim::TargetModel& m) {
        Bytes none(20);
        EXPECT_EQ(0u, m.Read(1, none)) << "stalled writes never reach the probe";
    });
    EXPECT_EQ(0u, bed->ClearHalts("1-1", 0x01));
    ASSERT_EQ(0, libusb_clear_halt(h.get(), 0x01));
    EXPECT_EQ(1u, bed->ClearHalts("1-1", 0x01));
    EXPECT_EQ(4, Write(h.get(), 0x01, kReadProtectQuery));

    // A stall of a read that is already waiting ends it at once.
    Transfer in(h.get(), 0x82, Bytes(20), 0);
    ASSERT_EQ(0, libusb_submit_transfer(in.t));
    Pump([&] { return in.done; }, std::chrono::milliseconds(50));
    ASSERT_FALSE(in.done);
    bed->StallNext("1-1", 0x82);
    ASSERT_TRUE(Pump([&] { return in.done; }, std::chrono::seconds(2)));
    EXPECT_EQ(LIBUSB_TRANSFER_STALL, in.t->status);
    ASSERT_EQ(0, libusb_clear_halt(h.get(), 0x82));

    int rc = -1;
    Bytes reply = Read(h.get(), 0x81, &rc);
    ASSERT_EQ(0, rc) << "the reply to the write after the clear";
    EXPECT_EQ(0x06, reply.at(1));
    EXPECT_EQ(3u, bed->Submitted("1-1", 0x01));
}

TEST_F(UsbTestbedTest, UnplugFaultRemovesTheDeviceAfterTheNthDataPacket) {
    bed->Add(Spec("1-1", "VN0001", "unplug-after:2"), false);
    StartLibusb();
    Handle h = OpenClaimed();
    ASSERT_TRUE(h);
    auto command = [&](Bytes request) {
        EXPECT_EQ(int(request.size()), Write(h.get(), 0x01, request));
        int rc = -1;
        Bytes reply = Read(h.get(), 0x81, &rc);
        return rc == 0 && reply.size() >= 4 ? reply[3] : -1;
    };
    ASSERT_EQ(1, command({0x81, 0x01, 0x04, 0x08, 0x00, 0x00, 0x00}));  // address: flash
    ASSERT_EQ(1, command({0x81, 0x05, 0x04, 0x00, 0x00, 0x04, 0x00}));  // length 1024
    ASSERT_EQ(2, command({0x81, 0x02, 0x01, 0x02}));                    // programme

    EXPECT_EQ(64, Write(h.get(), 0x02, Bytes(64, 0x11)));
    EXPECT_EQ(64, Write(h.get(), 0x02, Bytes(64, 0x22))) << "the packet that unplugs completes";
    EXPECT_EQ(LIBUSB_ERROR_NO_DEVICE, Write(h.get(), 0x02, Bytes(64, 0x33)));
    bed->WithTarget("1-1", [](probelib::sim::TargetModel& m) {
        EXPECT_TRUE(m.UnplugRequested());
        EXPECT_EQ(2u, m.DataPackets());
    });
    const auto end = Clock::now() + std::chrono::seconds(2);
    while (ReadFile("/sys/bus/usb/devices/1-1/serial") != "" && Clock::now() < end)
        Pump([] { return false; }, std::chrono::milliseconds(10));
    EXPECT_EQ("", ReadFile("/sys/bus/usb/devices/1-1/serial")) << "sysfs entry removed";
}

TEST_F(UsbTestbedTest, ReAddAfterRemoveIsAFreshDevice) {
    bed->Add(Spec("1-1", "VN0001", "protected"), false);
    const std::string first = bed->DevNode("1-1");
    EXPECT_THROW(bed->Add({}, false), std::logic_error);
    bed->Remove("1-1");
    bed->Add({}, true);
    EXPECT_NE(first, bed->DevNode("1-1"));
    bed->WithTarget("1-1", [](probelib::sim::TargetModel& m) { EXPECT_FALSE(m.ReadProtected()); });
    EXPECT_THROW(bed->Add(Spec("2-1"), false), std::invalid_argument);
    EXPECT_THROW(bed->Add(Spec("1-1.2"), false), std::logic_error) << "1-1 is no hub";
    EXPECT_THROW(bed->Add(Spec("1-5", "VN0001", "bogus"), false), std::invalid_argument);
}

}  // namespace
