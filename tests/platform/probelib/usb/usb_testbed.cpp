// The emulated probe bus: umockdev sysfs entries and a usbfs ioctl handler that serves the
// URBs libusb submits from a simulated TargetModel per device.
#include "tests/platform/probelib/usb/usb_testbed.h"

#include <fcntl.h>
#include <glib-object.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <span>
#include <stdexcept>
#include <vector>

#include "platform/posix/posix_io.h"

namespace usbtest {
namespace {

using probelib::sim::TargetModel;
using Bytes = std::vector<uint8_t>;

struct Unref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T>
using Ref = std::unique_ptr<T, Unref>;

// The probe's /dev node is a FIFO that the harness keeps full, so that libusb's poll() for
// POLLOUT on the usbfs descriptor blocks; reading one page out of it makes the descriptor
// writable, which is how usbfs says "an URB can be reaped". A plain file would always be
// ready and make libusb's event loop spin on REAPURBNDELAY.
constexpr size_t kPipePage = 4096;
constexpr uint8_t kMaxPacket = 64;

// The device descriptor (USB 1.10), then configuration 1: interface 0 with its bulk endpoints
// (0x01/0x81 pipe 1, 0x02/0x82 pipe 2); with a serial port, the device class says "interface
// association" and a CDC ACM function follows as interfaces 1 (control, 0x83) and 2 (data,
// 0x04/0x84).
Bytes Descriptors(const ProbeSetup& s) {
    const uint8_t deviceClass[3] = {uint8_t(s.serialPort ? 0xEF : 0), uint8_t(s.serialPort ? 2 : 0),
                                    uint8_t(s.serialPort ? 1 : 0)};
    // Length, type, USB 1.10, the class triple, the packet size; the ids and the string
    // indices (none) follow, then the number of configurations.
    Bytes d = {18, 1, 0x10, 0x01, deviceClass[0], deviceClass[1], deviceClass[2], kMaxPacket};
    d.resize(18);
    d[17] = 1;
    std::memcpy(&d[8], &s.vid, 2);  // little-endian, as on the bus
    std::memcpy(&d[10], &s.pid, 2);
    std::memcpy(&d[12], &s.bcdDevice, 2);
    Bytes config = {9, 2, 0, 0, uint8_t(s.serialPort ? 3 : 1), 1, 0, 0x80, 50};
    config.insert(config.end(), {9, 4, 0, 0, uint8_t(s.endpoints.size()), 0xff, 0, 0, 0});
    for (uint8_t ep : s.endpoints) config.insert(config.end(), {7, 5, ep, 2, kMaxPacket, 0, 0});
    if (s.serialPort)
        config.insert(
            config.end(),
            {8, 0x0B, 1,    2,    2,          2,    1,    0,        // association
             9, 4,    1,    0,    1,          2,    2,    1, 0,     // CDC control
             5, 0x24, 0,    0x10, 0x01,       5,    0x24, 1, 0, 2,  // header, call
             4, 0x24, 2,    2,    5,          0x24, 6,    1, 2,     // ACM, union
             7, 5,    0x83, 3,    8,          0,    1,              // notification
             9, 4,    2,    0,    2,          0x0A, 0,    0, 0,     // CDC data
             7, 5,    0x04, 2,    kMaxPacket, 0,    0,    7, 5, 0x84, 2, kMaxPacket, 0, 0});
    config[2] = uint8_t(config.size());
    config[3] = uint8_t(config.size() >> 8);
    d.insert(d.end(), config.begin(), config.end());
    return d;
}

// One submitted URB, kept until the client reaps it.
struct Urb {
    Ref<UMockdevIoctlClient> client;  // the connection (open fd) that submitted it
    Ref<UMockdevIoctlData> header;    // local copy of the struct usbdevfs_urb
    Ref<UMockdevIoctlData> buffer;    // local copy of its data buffer

    usbdevfs_urb* Header() const { return reinterpret_cast<usbdevfs_urb*>(header->data); }
    std::span<uint8_t> Data() const {
        return {buffer->data, size_t(std::max(buffer->data_len, 0))};
    }
};

// One emulated probe with its model, URB queues and counters (guarded by State::mutex).
struct Device {
    ProbeSetup setup;
    std::string syspath;  // /sys/devices/1-N
    std::string devnode;  // /dev/bus/usb/001/DDD
    std::unique_ptr<TargetModel> model;
    bool removed = false;  // URBs fail with ENODEV
    std::map<uint8_t, uint32_t> submitted;
    std::set<uint8_t> stallNext, halted;
    std::string driverOn0;      // the kernel driver bound to interface 0 now
    std::deque<Urb> pendingIn;  // bulk IN URBs the probe NAKs for now
    std::deque<Urb> reapable;   // completed URBs waiting for REAPURB(NDELAY)
    posix_io::UniqueFd wake;    // our end of the node FIFO
    bool awake = false;         // one page is out of the FIFO: pollers see POLLOUT
    Ref<UMockdevIoctlBase> handler;
    std::mutex* mutex = nullptr;
    std::condition_variable* submittedMore = nullptr;  // told after each count
};

// Makes the node's pollers see POLLOUT exactly while some URB waits to be reaped.
void UpdateWake(Device& d) {
    const bool want = !d.reapable.empty();
    if (d.awake == want) return;
    uint8_t page[kPipePage] = {};
    const bool moved = want
                           ? posix_io::ReadSome(d.wake.Get(), page, kPipePage) == ssize_t(kPipePage)
                           : posix_io::WriteAll(d.wake.Get(), page, kPipePage);
    if (!moved) std::fprintf(stderr, "usb_testbed: %s: wake FIFO failed\n", d.devnode.c_str());
    d.awake = want;
}

void Finish(Device& d, Urb&& urb, int status, int actual) {
    urb.Header()->status = status;
    urb.Header()->actual_length = actual;
    d.reapable.push_back(std::move(urb));
    UpdateWake(d);
}

void Submit(Device& d, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    Urb urb;
    urb.client.reset(static_cast<UMockdevIoctlClient*>(g_object_ref(client)));
    urb.header.reset(umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr));
    const usbdevfs_urb* h = urb.header ? urb.Header() : nullptr;
    const uint8_t ep = h ? h->endpoint : 0;
    if (h && h->type == USBDEVFS_URB_TYPE_BULK && h->buffer_length >= 0 &&
        ((ep & 0x7f) == 1 || (ep & 0x7f) == 2))
        urb.buffer.reset(umockdev_ioctl_data_resolve(
            urb.header.get(), offsetof(usbdevfs_urb, buffer), size_t(h->buffer_length), nullptr));
    if (!urb.buffer || d.removed) {
        umockdev_ioctl_client_complete(client, -1, d.removed ? ENODEV : EINVAL);
        return;
    }
    d.submitted[ep]++;
    d.submittedMore->notify_all();
    // The submit is answered first; the URB's own completion follows under the same lock, so
    // no reap can see it half done.
    umockdev_ioctl_client_complete(client, 0, 0);
    if (d.stallNext.erase(ep) > 0 || d.halted.count(ep) > 0) {
        d.halted.insert(ep);
        Finish(d, std::move(urb), -EPIPE, 0);
    } else if (ep & 0x80) {
        d.pendingIn.push_back(std::move(urb));
    } else {
        Finish(d, std::move(urb), 0, int(d.model->Write(ep, urb.Data())));
    }
    // A read waits until the model has a reply for it.
    for (auto it = d.pendingIn.begin(); it != d.pendingIn.end();) {
        const uint32_t n = d.model->Read(it->Header()->endpoint & 0x7f, it->Data());
        if (n == 0) {
            ++it;
            continue;
        }
        Finish(d, std::move(*it), 0, int(n));
        it = d.pendingIn.erase(it);
    }
}

gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    Device& d = *static_cast<Device*>(user);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    auto complete = [client](int result, int error) {
        umockdev_ioctl_client_complete(client, result, error);
        return TRUE;
    };
    // The interface or endpoint the argument of a claim, a clear-halt, a driver query or a
    // disconnect points to (each starts with it), resolved once at the argument's whole size.
    Ref<UMockdevIoctlData> word;
    unsigned number = 0;
    const size_t size = request == USBDEVFS_GETDRIVER          ? sizeof(usbdevfs_getdriver)
                        : request == USBDEVFS_IOCTL            ? sizeof(usbdevfs_ioctl)
                        : request == USBDEVFS_DISCONNECT_CLAIM ? sizeof(usbdevfs_disconnect_claim)
                        : request == USBDEVFS_CLAIMINTERFACE || request == USBDEVFS_CLEAR_HALT
                            ? sizeof number
                            : 0;
    if (size != 0) {
        word.reset(umockdev_ioctl_data_resolve(arg, 0, size, nullptr));
        if (!word) return FALSE;
        std::memcpy(&number, word->data, sizeof number);
    }
    std::lock_guard lock(*d.mutex);
    switch (request) {
        case USBDEVFS_SUBMITURB:
            Submit(d, client, arg);
            return TRUE;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY: {
            auto it = std::find_if(d.reapable.begin(), d.reapable.end(),
                                   [&](const Urb& u) { return u.client.get() == client; });
            if (it == d.reapable.end()) return complete(-1, d.removed ? ENODEV : EAGAIN);
            Ref<UMockdevIoctlData> slot(
                umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr));
            umockdev_ioctl_data_set_ptr(slot.get(), 0, it->header.get());
            d.reapable.erase(it);
            UpdateWake(d);
            return complete(0, 0);
        }
        case USBDEVFS_DISCARDURB: {
            gulong address = 0;
            std::memcpy(&address, arg->data, std::min(sizeof address, size_t(arg->data_len)));
            auto it = std::find_if(d.pendingIn.begin(), d.pendingIn.end(), [&](const Urb& u) {
                return u.client.get() == client && u.header->client_addr == address;
            });
            // Already completed: the kernel answers EINVAL and the URB is reaped as it is.
            if (it == d.pendingIn.end()) return complete(-1, EINVAL);
            Finish(d, std::move(*it), -ENOENT, 0);
            d.pendingIn.erase(it);
            return complete(0, 0);
        }
    }
    if (d.removed) return complete(-1, ENODEV);
    switch (request) {
        case USBDEVFS_GETDRIVER: {  // cdc_acm holds the serial port
            const std::string driver = number == 0                        ? d.driverOn0
                                       : d.setup.serialPort && number < 3 ? "cdc_acm"
                                                                          : "";
            if (driver.empty()) return complete(-1, ENODATA);
            std::snprintf(reinterpret_cast<usbdevfs_getdriver*>(word->data)->driver,
                          USBDEVFS_MAXDRIVERNAME + 1, "%s", driver.c_str());
            return complete(0, 0);
        }
        case USBDEVFS_IOCTL: {  // a driver disconnected from (or connected to) an interface
            const int code = reinterpret_cast<usbdevfs_ioctl*>(word->data)->ioctl_code;
            if (code == int(USBDEVFS_DISCONNECT)) {
                if (number != 0 || d.driverOn0.empty()) return complete(-1, ENODATA);
                d.driverOn0.clear();
                return complete(0, 0);
            }
            if (code == int(USBDEVFS_CONNECT) && number == 0) {
                d.driverOn0 = d.setup.driverOn0;
                return complete(0, 0);
            }
            return complete(-1, ENOTTY);
        }
        case USBDEVFS_DISCONNECT_CLAIM:
            if (number != 0 || d.setup.busy) return complete(-1, EBUSY);
            d.driverOn0.clear();
            return complete(0, 0);
        case USBDEVFS_GET_CAPABILITIES:  // an older kernel: libusb assumes the basics
            return complete(-1, ENOTTY);
        case USBDEVFS_CLAIMINTERFACE:
            if (number == 0)
                return d.setup.busy || !d.driverOn0.empty() ? complete(-1, EBUSY) : complete(0, 0);
            return complete(-1, d.setup.serialPort && number < 3 ? EBUSY : ENOENT);
        case USBDEVFS_CLEAR_HALT:
            d.halted.erase(uint8_t(number));
            return complete(0, 0);
        default:  // releasing the interface among them
            return complete(0, 0);
    }
}

}  // namespace

struct UsbTestbed::State {
    Ref<UMockdevTestbed> bed;
    std::mutex mutex;  // guards the devices, their models and URB queues
    std::condition_variable submittedMore;
    std::vector<std::shared_ptr<Device>> devices;  // every one added: late ioctls may come
    unsigned nextDevnum = 2;                       // the root hub would be 1

    std::shared_ptr<Device> Find(const std::string& busPort) {
        for (auto it = devices.rbegin(); it != devices.rend(); ++it)
            if ((*it)->setup.busPort == busPort) return *it;
        throw std::logic_error("no device " + busPort);
    }
};

bool UsbTestbed::InMockEnvironment() {
    // umockdev decides this once per process by looking at where /sys leads, which only points
    // into a testbed while one exists; so make sure one does at the first call.
    static const bool inMock = [] {
        Ref<UMockdevTestbed> probe(g_getenv("UMOCKDEV_DIR") ? nullptr : umockdev_testbed_new());
        return bool(umockdev_in_mock_environment());
    }();
    return inMock;
}

UsbTestbed::UsbTestbed() : m_state(std::make_unique<State>()) {
    m_state->bed.reset(umockdev_testbed_new());
    if (!m_state->bed) throw std::runtime_error("cannot create the umockdev testbed");
}

UsbTestbed::~UsbTestbed() {
    for (auto& d : m_state->devices)
        umockdev_testbed_detach_ioctl(m_state->bed.get(), d->devnode.c_str(), nullptr);
    {
        std::lock_guard lock(m_state->mutex);
        for (auto& d : m_state->devices) d->pendingIn.clear(), d->reapable.clear();
    }
    for (auto& d : m_state->devices) d->handler.reset();
}

void UsbTestbed::Add(const ProbeSetup& setup, bool announce) {
    namespace fs = std::filesystem;
    probelib::sim::Faults faults;
    probelib::sim::ParseFaults(setup.faults, &faults, nullptr);
    auto d = std::make_shared<Device>();
    d->setup = setup;
    d->model = std::make_unique<TargetModel>(faults);
    d->driverOn0 = setup.driverOn0;
    d->mutex = &m_state->mutex;
    d->submittedMore = &m_state->submittedMore;
    const unsigned devnum = m_state->nextDevnum++;
    char node[32];
    std::snprintf(node, sizeof node, "bus/usb/001/%03u", devnum);
    d->devnode = std::string("/dev/") + node;
    d->syspath = "/sys/devices/" + setup.busPort;

    // The handler goes in before the node exists so that an early open is already served.
    d->handler.reset(umockdev_ioctl_base_new());
    g_signal_connect_after(d->handler.get(), "handle-ioctl", G_CALLBACK(HandleIoctl), d.get());
    if (!umockdev_testbed_attach_ioctl(m_state->bed.get(), d->devnode.c_str(), d->handler.get(),
                                       nullptr))
        throw std::runtime_error("cannot attach the usbfs handler");

    // The device's sysfs folder and /dev node as umockdev lays them out, without its "add"
    // uevent; the bus link comes last, as enumeration finds the device through it.
    gchar* rootText = umockdev_testbed_get_root_dir(m_state->bed.get());
    const fs::path root = rootText, dir = root / ("sys/devices/" + setup.busPort);
    g_free(rootText);
    fs::create_directories(dir);
    const Bytes descriptors = Descriptors(setup);
    std::string uevent = "SUBSYSTEM=usb\nDEVTYPE=usb_device\nDEVNAME=" + std::string(node) +
                         "\nBUSNUM=001\nDEVNUM=" + std::string(node + 12) + "\n";
    const std::pair<const char*, std::string> attributes[] = {
        {"busnum", "1"},
        {"devnum", std::to_string(devnum)},
        {"speed", "12"},
        {"bConfigurationValue", "1"},
        {"descriptors", std::string(descriptors.begin(), descriptors.end())},
        {"uevent", uevent},
        {"serial", setup.serial},
    };
    for (const auto& [name, value] : attributes) {
        if (value.empty()) continue;  // no serial
        posix_io::UniqueFd out(
            posix_io::Open((dir / name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        if (!out || !posix_io::WriteAll(out.Get(), value.data(), value.size()))
            throw std::runtime_error("cannot write " + (dir / name).string());
    }
    // The /dev node is the wake FIFO, kept full.
    const fs::path devnode = root / "dev" / node;
    fs::create_directories(devnode.parent_path());
    if (::mkfifo(devnode.c_str(), 0666) != 0) throw std::runtime_error("cannot make the FIFO");
    d->wake.Reset(posix_io::Open(devnode.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    const uint8_t page[kPipePage] = {};
    while (d->wake && posix_io::WriteAll(d->wake.Get(), page, sizeof page)) {
    }
    fs::create_symlink("../../bus/usb", dir / "subsystem");
    fs::create_directories(root / "sys/bus/usb/devices");
    fs::create_symlink("../../../devices/" + setup.busPort,
                       root / "sys/bus/usb/devices" / setup.busPort);
    {
        std::lock_guard lock(m_state->mutex);
        m_state->devices.push_back(d);
    }
    if (announce) umockdev_testbed_uevent(m_state->bed.get(), d->syspath.c_str(), "add");
}

void UsbTestbed::Remove(const std::string& busPort) {
    std::shared_ptr<Device> d;
    {
        std::lock_guard lock(m_state->mutex);
        d = m_state->Find(busPort);
        d->removed = true;
        for (; !d->pendingIn.empty(); d->pendingIn.pop_front())
            Finish(*d, std::move(d->pendingIn.front()), -ENODEV, 0);
    }
    umockdev_testbed_uevent(m_state->bed.get(), d->syspath.c_str(), "remove");
    umockdev_testbed_remove_device(m_state->bed.get(), d->syspath.c_str());
}

void UsbTestbed::WithTarget(const std::string& busPort,
                            const std::function<void(probelib::sim::TargetModel&)>& f) {
    std::lock_guard lock(m_state->mutex);
    f(*m_state->Find(busPort)->model);
}

uint32_t UsbTestbed::Submitted(const std::string& busPort, uint8_t endpoint) {
    std::lock_guard lock(m_state->mutex);
    return m_state->Find(busPort)->submitted[endpoint];
}

bool UsbTestbed::WaitSubmitted(const std::string& busPort, uint8_t endpoint, uint32_t count) {
    std::unique_lock lock(m_state->mutex);
    const std::shared_ptr<Device> d = m_state->Find(busPort);
    return m_state->submittedMore.wait_for(lock, std::chrono::seconds(5),
                                           [&] { return d->submitted[endpoint] == count; });
}

std::string UsbTestbed::DriverOn0(const std::string& busPort) {
    std::lock_guard lock(m_state->mutex);
    return m_state->Find(busPort)->driverOn0;
}

void UsbTestbed::StallNext(const std::string& busPort, uint8_t endpoint) {
    std::lock_guard lock(m_state->mutex);
    m_state->Find(busPort)->stallNext.insert(endpoint);
}

}  // namespace usbtest
