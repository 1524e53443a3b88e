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
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
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
constexpr int kSpeedFull = 2;  // USB_SPEED_FULL of the kernel's usb_device_speed

void Put16(Bytes& b, uint16_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }

// The device descriptor, then configuration 1 with one interface: a hub's interrupt endpoint,
// or the probe's bulk 0x01/0x81 (pipe 1) and 0x02/0x82 (pipe 2).
Bytes Descriptors(bool hub, uint16_t vid, uint16_t pid) {
    Bytes d = {18, 1, 0x10, 0x01, uint8_t(hub ? 9 : 0), 0, 0, kMaxPacket};
    Put16(d, vid);
    Put16(d, pid);
    d.insert(d.end(), {0x00, 0x01, 0, 0, 0, 1});
    const size_t config = d.size();
    d.insert(d.end(), {9, 2, 0, 0, 1, 1, 0, uint8_t(hub ? 0xe0 : 0x80), 50});
    d.insert(d.end(), {9, 4, 0, 0, uint8_t(hub ? 1 : 4), uint8_t(hub ? 9 : 0xff), 0, 0, 0});
    if (hub)
        d.insert(d.end(), {7, 5, 0x81, 3, 1, 0, 255});
    else
        for (uint8_t ep : {0x01, 0x81, 0x02, 0x82})
            d.insert(d.end(), {7, 5, ep, 2, kMaxPacket, 0, 0});
    d[config + 2] = uint8_t(d.size() - config);
    return d;
}

std::string Format(const char* format, unsigned a, unsigned b = 0) {
    char text[48];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

std::string DevNodeName(unsigned devnum) { return Format("bus/usb/001/%03u", devnum); }

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
    std::string syspath;  // /sys/devices/usb1/1-N
    std::string devnode;  // /dev/bus/usb/001/DDD
    std::unique_ptr<TargetModel> model;
    bool removed = false;  // URBs fail with ENODEV
    std::map<uint8_t, uint32_t> submitted;
    std::set<uint8_t> stallNext, halted;
    std::deque<Urb> pendingIn;  // bulk IN URBs the probe NAKs for now
    std::deque<Urb> reapable;   // completed URBs waiting for REAPURB(NDELAY)
    posix_io::UniqueFd wake;    // our end of the node FIFO
    bool awake = false;         // one page is out of the FIFO: pollers see POLLOUT
    Ref<UMockdevIoctlBase> handler;
    UsbTestbed::State* state = nullptr;
};

// Makes the node's pollers see POLLOUT exactly while some URB waits to be reaped.
void UpdateWake(Device& d) {
    const bool want = !d.reapable.empty();
    if (!d.wake || d.awake == want) return;
    uint8_t page[kPipePage] = {};
    const bool moved = want ? posix_io::ReadSome(d.wake.Get(), page, sizeof page) == kPipePage
                            : posix_io::WriteAll(d.wake.Get(), page, sizeof page);
    if (!moved) std::fprintf(stderr, "usb_testbed: %s: wake FIFO failed\n", d.devnode.c_str());
    d.awake = want;
}

void Finish(Device& d, Urb&& urb, int status, int actual) {
    urb.Header()->status = status;
    urb.Header()->actual_length = actual;
    d.reapable.push_back(std::move(urb));
    UpdateWake(d);
}

void MarkRemoved(Device& d) {
    d.removed = true;
    for (; !d.pendingIn.empty(); d.pendingIn.pop_front())
        Finish(d, std::move(d.pendingIn.front()), -ENODEV, 0);
}

// Forgets the URBs of descriptors that were closed: the kernel discards those on close, and
// a read left behind must not take a reply meant for the next opener.
void DropClosed(Device& d) {
    auto closed = [](const Urb& u) { return !umockdev_ioctl_client_get_connected(u.client.get()); };
    std::erase_if(d.pendingIn, closed);
    std::erase_if(d.reapable, closed);
    UpdateWake(d);
}

void WriteFile(const std::filesystem::path& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), std::streamsize(data.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

struct UsbTestbed::State {
    Ref<UMockdevTestbed> bed;
    std::filesystem::path root;  // the testbed's directory
    std::mutex mutex;            // guards the devices, their models and URB queues
    std::vector<std::shared_ptr<Device>> devices;  // every one added: late ioctls may come
    unsigned nextDevnum = 1;

    bool HandleIoctl(Device& d, UMockdevIoctlClient* client);
    void Submit(Device& d, UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    std::shared_ptr<Device> Find(const std::string& busPort) {
        for (auto it = devices.rbegin(); it != devices.rend(); ++it)
            if ((*it)->setup.busPort == busPort) return *it;
        throw std::logic_error("no device " + busPort);
    }
    // Lays out the device's sysfs folder, its bus link and its /dev node (the wake FIFO when
    // wake is given), as umockdev does but without the "add" uevent.
    void CreateSysfs(const std::string& sysname, const std::string& devpath, unsigned devnum,
                     const ProbeSetup& setup, bool hub, posix_io::UniqueFd* wake);
};

namespace {

// Reads one unsigned int the ioctl argument points to.
bool ArgUint(UMockdevIoctlData* arg, unsigned* out) {
    Ref<UMockdevIoctlData> v(umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr));
    if (v) std::memcpy(out, v->data, sizeof(unsigned));
    return bool(v);
}

gboolean OnHandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* d = static_cast<Device*>(user);
    return d->state->HandleIoctl(*d, client) ? TRUE : FALSE;
}

}  // namespace

bool UsbTestbed::State::HandleIoctl(Device& d, UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    auto complete = [client](int result, int error) {
        umockdev_ioctl_client_complete(client, result, error);
        return true;
    };
    std::lock_guard lock(mutex);
    if (request == USBDEVFS_SUBMITURB) {
        Submit(d, client, arg);
        return true;
    }
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        auto it = std::find_if(d.reapable.begin(), d.reapable.end(),
                               [&](const Urb& u) { return u.client.get() == client; });
        if (it == d.reapable.end()) return complete(-1, d.removed ? ENODEV : EAGAIN);
        Ref<UMockdevIoctlData> slot(umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr));
        if (!slot) return complete(-1, EFAULT);
        umockdev_ioctl_data_set_ptr(slot.get(), 0, it->header.get());
        d.reapable.erase(it);
        UpdateWake(d);
        return complete(0, 0);
    }
    if (request == USBDEVFS_DISCARDURB) {
        gulong address = 0;
        std::memcpy(&address, arg->data,
                    std::min(sizeof address, size_t(std::max(arg->data_len, 0))));
        auto it = std::find_if(d.pendingIn.begin(), d.pendingIn.end(), [&](const Urb& u) {
            return u.client.get() == client && u.header->client_addr == address;
        });
        // Already completed (or unknown): the kernel answers EINVAL and the URB is reaped as is.
        if (it == d.pendingIn.end()) return complete(-1, EINVAL);
        Urb urb = std::move(*it);
        d.pendingIn.erase(it);
        Finish(d, std::move(urb), -ENOENT, 0);
        return complete(0, 0);
    }
    if (d.removed) return complete(-1, ENODEV);
    unsigned number = 0;  // the interface or endpoint a request names
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            Ref<UMockdevIoctlData> caps(umockdev_ioctl_data_resolve(arg, 0, 4, nullptr));
            if (!caps) return false;
            const uint32_t value = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
            std::memcpy(caps->data, &value, sizeof value);
            return complete(0, 0);
        }
        case USBDEVFS_GETDRIVER:  // no kernel driver holds the interface
            return complete(-1, ENODATA);
        case USBDEVFS_CLAIMINTERFACE:
            if (!ArgUint(arg, &number)) return false;
            if (number != 0) return complete(-1, ENOENT);
            return d.setup.busy ? complete(-1, EBUSY) : complete(0, 0);
        case USBDEVFS_CLEAR_HALT:
            if (!ArgUint(arg, &number)) return false;
            d.halted.erase(uint8_t(number));
            return complete(0, 0);
        case USBDEVFS_RELEASEINTERFACE:
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_RESETEP:
        case USBDEVFS_RESET:
            return complete(0, 0);
        case USBDEVFS_GET_SPEED:
            return complete(kSpeedFull, 0);
        default:
            std::fprintf(stderr, "usb_testbed: unhandled usbfs ioctl 0x%lx\n", request);
            return complete(-1, ENOTTY);
    }
}

void UsbTestbed::State::Submit(Device& d, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    if (d.removed) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    Urb urb;
    g_object_ref(client);
    urb.client.reset(client);
    urb.header.reset(umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr));
    const usbdevfs_urb* h = urb.header ? urb.Header() : nullptr;
    const uint8_t ep = h ? h->endpoint : 0;
    if (h && h->type == USBDEVFS_URB_TYPE_BULK && h->buffer_length >= 0 &&
        ((ep & 0x7f) == 1 || (ep & 0x7f) == 2))
        urb.buffer.reset(umockdev_ioctl_data_resolve(
            urb.header.get(), offsetof(usbdevfs_urb, buffer), size_t(h->buffer_length), nullptr));
    if (!urb.buffer) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    d.submitted[ep]++;
    // The submit is answered first; the URB's own completion follows under the same lock, so
    // no reap can see it half done.
    umockdev_ioctl_client_complete(client, 0, 0);
    if (d.stallNext.erase(ep) > 0 || d.halted.count(ep) > 0) {
        d.halted.insert(ep);
        Finish(d, std::move(urb), -EPIPE, 0);
    } else if (ep & 0x80) {
        DropClosed(d);
        const uint32_t n = d.model->Read(ep & 0x7f, urb.Data());
        if (n > 0)
            Finish(d, std::move(urb), 0, int(n));
        else
            d.pendingIn.push_back(std::move(urb));
    } else {
        Finish(d, std::move(urb), 0, int(d.model->Write(ep, urb.Data())));
        DropClosed(d);
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
}

void UsbTestbed::State::CreateSysfs(const std::string& sysname, const std::string& devpath,
                                    unsigned devnum, const ProbeSetup& setup, bool hub,
                                    posix_io::UniqueFd* wake) {
    namespace fs = std::filesystem;
    const fs::path dir = root / ("sys" + devpath);
    fs::create_directories(dir);
    const Bytes descriptors = Descriptors(hub, setup.vid, setup.pid);
    const std::pair<const char*, std::string> attributes[] = {
        {"idVendor", Format("%04x\n", setup.vid)},
        {"idProduct", Format("%04x\n", setup.pid)},
        {"bcdDevice", "0100\n"},
        {"busnum", "1\n"},
        {"devnum", Format("%u\n", devnum)},
        {"bDeviceClass", hub ? "09\n" : "00\n"},
        {"speed", "12\n"},
        {"version", " 1.10\n"},
        {"bConfigurationValue", "1\n"},
        {"bNumConfigurations", "1\n"},
        {"bNumInterfaces", " 1\n"},
        {"bMaxPacketSize0", "64\n"},
        {"descriptors", std::string(descriptors.begin(), descriptors.end())},
        {"uevent", "SUBSYSTEM=usb\nDEVTYPE=usb_device\nDRIVER=usb\nDEVNAME=" + DevNodeName(devnum) +
                       Format("\nBUSNUM=001\nDEVNUM=%03u\n", devnum) +
                       Format("PRODUCT=%x/%x/100\n", setup.vid, setup.pid)},
    };
    for (const auto& [name, value] : attributes) WriteFile(dir / name, value);
    if (!hub) WriteFile(dir / "devpath", sysname.substr(2) + "\n");
    if (!hub && !setup.serial.empty()) WriteFile(dir / "serial", setup.serial + "\n");
    const fs::path node = root / "dev" / DevNodeName(devnum);
    fs::create_directories(node.parent_path());
    if (wake) {
        if (::mkfifo(node.c_str(), 0666) != 0) throw std::runtime_error("cannot make the FIFO");
        wake->Reset(posix_io::Open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        if (!*wake) throw std::runtime_error("cannot open " + node.string());
        const uint8_t page[kPipePage] = {};
        while (posix_io::WriteAll(wake->Get(), page, sizeof page)) {
        }
    } else {
        WriteFile(node, "");
    }
    fs::create_symlink(hub ? "../../bus/usb" : "../../../bus/usb", dir / "subsystem");
    // The bus link comes last: enumeration only finds the device once it is complete.
    fs::create_directories(root / "sys/bus/usb/devices");
    fs::create_symlink("../../.." + devpath, root / "sys/bus/usb/devices" / sysname);
}

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
    gchar* root = umockdev_testbed_get_root_dir(m_state->bed.get());
    m_state->root = root;
    g_free(root);
    // The root hub takes devnum 1 as on a real bus.
    ProbeSetup hub;
    hub.vid = 0x1d6b;
    hub.pid = 0x0001;
    m_state->CreateSysfs("usb1", "/devices/usb1", m_state->nextDevnum++, hub, true, nullptr);
}

UsbTestbed::~UsbTestbed() {
    for (auto& d : m_state->devices)
        umockdev_testbed_detach_ioctl(m_state->bed.get(), d->devnode.c_str(), nullptr);
    {
        std::lock_guard lock(m_state->mutex);
        for (auto& d : m_state->devices) {
            d->pendingIn.clear();
            d->reapable.clear();
        }
    }
    for (auto& d : m_state->devices) d->handler.reset();
    m_state->bed.reset();
}

void UsbTestbed::Add(const ProbeSetup& setup, bool announce) {
    State& s = *m_state;
    probelib::sim::Faults faults;
    std::string error;
    if (!probelib::sim::ParseFaults(setup.faults, &faults, &error))
        throw std::invalid_argument("bad fault string '" + setup.faults + "': " + error);
    auto d = std::make_shared<Device>();
    d->setup = setup;
    d->model = std::make_unique<TargetModel>(faults);
    d->state = &s;
    const unsigned devnum = s.nextDevnum++;
    d->devnode = "/dev/" + DevNodeName(devnum);
    d->syspath = "/sys/devices/usb1/" + setup.busPort;

    // The handler goes in before the node exists so that an early open is already served.
    d->handler.reset(umockdev_ioctl_base_new());
    g_signal_connect_after(d->handler.get(), "handle-ioctl", G_CALLBACK(OnHandleIoctl), d.get());
    if (!umockdev_testbed_attach_ioctl(s.bed.get(), d->devnode.c_str(), d->handler.get(), nullptr))
        throw std::runtime_error("cannot attach the usbfs handler");
    s.CreateSysfs(setup.busPort, "/devices/usb1/" + setup.busPort, devnum, setup, false, &d->wake);
    {
        std::lock_guard lock(s.mutex);
        s.devices.push_back(d);
    }
    if (announce) umockdev_testbed_uevent(s.bed.get(), d->syspath.c_str(), "add");
}

void UsbTestbed::Remove(const std::string& busPort) {
    std::shared_ptr<Device> d;
    {
        std::lock_guard lock(m_state->mutex);
        d = m_state->Find(busPort);
        MarkRemoved(*d);
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

void UsbTestbed::StallNext(const std::string& busPort, uint8_t endpoint) {
    std::lock_guard lock(m_state->mutex);
    m_state->Find(busPort)->stallNext.insert(endpoint);
}

}  // namespace usbtest
