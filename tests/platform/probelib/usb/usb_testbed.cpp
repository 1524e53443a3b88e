// The emulated probe bus: umockdev sysfs entries and a usbfs ioctl handler that serves the
// URBs libusb submits from a simulated TargetModel per device.
#include "tests/platform/probelib/usb/usb_testbed.h"

#include <errno.h>
#include <fcntl.h>
#include <glib-object.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <condition_variable>
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
#include <thread>
#include <utility>
#include <vector>

namespace usbtest {
namespace {

using probelib::sim::TargetModel;
using Bytes = std::vector<uint8_t>;

// Owns one reference of a GObject.
template <class T>
class GRef {
  public:
    GRef() = default;
    static GRef Adopt(T* p) {
        GRef r;
        r.m_p = p;
        return r;
    }
    static GRef Share(T* p) {
        if (p) g_object_ref(p);
        return Adopt(p);
    }
    GRef(const GRef& o) : m_p(o.m_p) {
        if (m_p) g_object_ref(m_p);
    }
    GRef(GRef&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
    GRef& operator=(GRef o) noexcept {
        std::swap(m_p, o.m_p);
        return *this;
    }
    ~GRef() {
        if (m_p) g_object_unref(m_p);
    }
    T* get() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

  private:
    T* m_p = nullptr;
};

// Owns a file descriptor.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    Fd(Fd&& o) noexcept : m_fd(std::exchange(o.m_fd, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        std::swap(m_fd, o.m_fd);
        return *this;
    }
    ~Fd() {
        if (m_fd >= 0) ::close(m_fd);
    }
    int get() const { return m_fd; }

  private:
    int m_fd = -1;
};

// The probe's /dev node is a FIFO that the harness keeps full, so that libusb's poll() for
// POLLOUT on the usbfs descriptor blocks; reading one page out of it makes the descriptor
// writable, which is how usbfs says "an URB can be reaped". A plain file would always be
// ready and make libusb's event loop spin on REAPURBNDELAY.
constexpr size_t kPipePage = 4096;

struct GErrorFree {
    void operator()(GError* e) const { g_error_free(e); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorFree>;

constexpr unsigned kBus = 1;
constexpr uint16_t kHubVid = 0x1d6b;
constexpr uint16_t kRootHubPid = 0x0001;
constexpr uint16_t kHubPid = 0x0101;
constexpr uint8_t kMaxPacket = 64;
constexpr int kSpeedFull = 2;  // USB_SPEED_FULL of the kernel's usb_device_speed

// String descriptor indices of the probe.
constexpr uint8_t kManufacturerIndex = 1;
constexpr uint8_t kProductIndex = 2;
constexpr uint8_t kSerialIndex = 3;
constexpr const char* kManufacturer = "Vornic Labs";
constexpr const char* kProduct = "Vornic Link";

void Put16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

Bytes DeviceDescriptor(uint8_t deviceClass, uint16_t vid, uint16_t pid, bool withStrings,
                       bool withSerial) {
    Bytes d = {18, 1};
    Put16(d, 0x0110);  // USB 1.1, full speed
    d.insert(d.end(), {deviceClass, 0, 0, kMaxPacket});
    Put16(d, vid);
    Put16(d, pid);
    Put16(d, 0x0100);
    d.push_back(withStrings ? kManufacturerIndex : 0);
    d.push_back(withStrings ? kProductIndex : 0);
    d.push_back(withSerial ? kSerialIndex : 0);
    d.push_back(1);  // bNumConfigurations
    return d;
}

// Configuration 1: interface 0, vendor class, bulk 0x01/0x81 (pipe 1) and 0x02/0x82 (pipe 2).
Bytes ProbeConfiguration() {
    Bytes c = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
    c.insert(c.end(), {9, 4, 0, 0, 4, 0xff, 0, 0, 0});
    for (uint8_t ep : {0x01, 0x81, 0x02, 0x82}) c.insert(c.end(), {7, 5, ep, 2, kMaxPacket, 0, 0});
    c[2] = uint8_t(c.size());
    return c;
}

Bytes HubConfiguration() {
    Bytes c = {9, 2, 0, 0, 1, 1, 0, 0xe0, 0};
    c.insert(c.end(), {9, 4, 0, 0, 1, 9, 0, 0, 0});
    c.insert(c.end(), {7, 5, 0x81, 3, 1, 0, 255});
    c[2] = uint8_t(c.size());
    return c;
}

Bytes StringDescriptor(const std::string& ascii) {
    Bytes s = {0, 3};
    for (char ch : ascii) Put16(s, uint8_t(ch));
    s[0] = uint8_t(std::min<size_t>(s.size(), 254));
    s.resize(s[0]);
    return s;
}

std::string Format(const char* fmt, unsigned a) {
    char buf[32];
    std::snprintf(buf, sizeof buf, fmt, a);
    return buf;
}

struct SysfsFields {
    std::string devpath;  // below /sys, e.g. /devices/usb1/1-1
    std::string sysname;
    unsigned devnum = 0;
    uint16_t vid = 0, pid = 0;
    uint8_t deviceClass = 0;
    std::string serial;
    Bytes descriptors;
    bool strings = false;
};

std::string DevNodeName(unsigned devnum) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "bus/usb/%03u/%03u", kBus, devnum);
    return buf;
}

// The sysfs attributes of a device, with the trailing newline of real text attributes.
std::vector<std::pair<std::string, std::string>> Attributes(const SysfsFields& f) {
    std::vector<std::pair<std::string, std::string>> a = {
        {"idVendor", Format("%04x\n", f.vid)},
        {"idProduct", Format("%04x\n", f.pid)},
        {"bcdDevice", "0100\n"},
        {"busnum", Format("%u\n", kBus)},
        {"devnum", Format("%u\n", f.devnum)},
        {"bDeviceClass", Format("%02x\n", f.deviceClass)},
        {"speed", "12\n"},
        {"version", " 1.10\n"},
        {"bConfigurationValue", "1\n"},
        {"bNumConfigurations", "1\n"},
        {"bNumInterfaces", " 1\n"},
        {"bMaxPacketSize0", Format("%u\n", kMaxPacket)},
        {"descriptors", std::string(f.descriptors.begin(), f.descriptors.end())},
    };
    if (const auto dash = f.sysname.find('-'); dash != std::string::npos)
        a.emplace_back("devpath", f.sysname.substr(dash + 1) + "\n");
    if (f.strings) {
        a.emplace_back("manufacturer", std::string(kManufacturer) + "\n");
        a.emplace_back("product", std::string(kProduct) + "\n");
    }
    if (!f.serial.empty()) a.emplace_back("serial", f.serial + "\n");
    return a;
}

// The udev properties as the kernel puts them in the uevent attribute (DEVNAME without /dev/).
std::string Uevent(const SysfsFields& f) {
    std::string u = "SUBSYSTEM=usb\nDEVTYPE=usb_device\nDRIVER=usb\n";
    u += "DEVNAME=" + DevNodeName(f.devnum) + "\n";
    u += Format("BUSNUM=%03u\n", kBus);
    u += Format("DEVNUM=%03u\n", f.devnum);
    char product[48];
    std::snprintf(product, sizeof product, "PRODUCT=%x/%x/100\n", f.vid, f.pid);
    u += product;
    return u;
}

void WriteFile(const std::filesystem::path& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), std::streamsize(data.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

// The sysfs names of the hubs above a device: "1-1.4.2" -> {"1-1", "1-1.4"}. Throws on a name
// that is not "1-P[.P...]".
std::vector<std::string> ParentHubs(const std::string& busPort) {
    if (busPort.rfind("1-", 0) != 0 || busPort.size() < 3)
        throw std::invalid_argument("busPort must be on bus 1, like 1-2 or 1-1.4: " + busPort);
    std::vector<std::string> hubs;
    bool digit = false;
    for (size_t i = 2; i < busPort.size(); ++i) {
        const char ch = busPort[i];
        if (ch == '.') {
            if (!digit) throw std::invalid_argument("bad busPort " + busPort);
            hubs.push_back(busPort.substr(0, i));
            digit = false;
        } else if (ch >= '0' && ch <= '9') {
            digit = true;
        } else {
            throw std::invalid_argument("bad busPort " + busPort);
        }
    }
    if (!digit) throw std::invalid_argument("bad busPort " + busPort);
    return hubs;
}

// One submitted URB, kept until the client reaps it.
struct Urb {
    GRef<UMockdevIoctlClient> client;  // the connection (open fd) that submitted it
    GRef<UMockdevIoctlData> header;    // local copy of the struct usbdevfs_urb
    GRef<UMockdevIoctlData> buffer;    // local copy of its data buffer
    uint8_t endpoint = 0;

    usbdevfs_urb* Header() const { return reinterpret_cast<usbdevfs_urb*>(header.get()->data); }
    std::span<uint8_t> Data() const {
        return {buffer.get()->data, size_t(std::max(buffer.get()->data_len, 0))};
    }
};

// One emulated probe with its model, URB queues and counters (guarded by State::mutex).
struct Device {
    ProbeSetup setup;
    std::string syspath;  // /sys/devices/...
    std::string devnode;  // /dev/bus/usb/001/DDD
    std::unique_ptr<TargetModel> model;
    bool removed = false;    // URBs fail with ENODEV
    bool sysfsGone = false;  // remove uevent sent and sysfs entry deleted (bed lock)
    std::map<uint8_t, uint32_t> submitted;
    std::map<uint8_t, uint32_t> clearHalts;
    std::string boundDriver;     // the kernel driver on interface 0 now
    std::string detachedDriver;  // the one a program detached, until it reconnects
    uint32_t driverReattached = 0;
    std::set<uint8_t> stallNext;
    std::set<uint8_t> halted;
    std::deque<Urb> pendingIn;  // bulk IN URBs the probe NAKs for now
    std::deque<Urb> reapable;   // completed URBs waiting for REAPURB(NDELAY)
    Fd wake;                    // our end of the node FIFO
    bool awake = false;         // one page is out of the FIFO: pollers see POLLOUT
    GRef<UMockdevIoctlBase> handler;
    UsbTestbed::State* state = nullptr;
};

}  // namespace

struct UsbTestbed::State {
    GRef<UMockdevTestbed> bed;
    std::filesystem::path root;  // the testbed's directory
    std::mutex bedMutex;         // serialises calls into the testbed object
    std::mutex mutex;            // guards the devices, their models and URB queues
    std::map<std::string, std::shared_ptr<Device>> devices;  // by busPort, the latest one
    std::vector<std::shared_ptr<Device>> retired;  // replaced ones; late ioctls may still come
    std::set<std::string> hubs;                    // sysfs names of the hubs created
    unsigned nextDevnum = 2;

    // Removal of a device that unplugged itself, done off the ioctl thread.
    std::thread unplugger;
    std::condition_variable unplugWake;
    std::deque<std::shared_ptr<Device>> unplugQueue;
    bool stopping = false;

    bool HandleIoctl(Device& d, UMockdevIoctlClient* client);
    void Submit(Device& d, UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void Reap(Device& d, UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool blocking);
    void Discard(Device& d, UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void Control(Device& d, Urb& urb);
    void ServePending(Device& d);
    void MarkRemoved(Device& d);
    void DropClosed(Device& d);
    void RemoveFromSysfs(Device& d);  // takes bedMutex
    // With wake, the /dev node is the wake FIFO and *wake gets the harness's full end of it.
    void CreateSysfs(const SysfsFields& f, Fd* wake);
    void EnsureHub(const std::string& name, const std::string& devpath);
    void UnplugLoop();
    std::shared_ptr<Device> Find(const std::string& busPort);
};

namespace {

// Makes the node's pollers see POLLOUT exactly while some URB waits to be reaped.
void UpdateWake(Device& d) {
    const bool want = !d.reapable.empty();
    if (d.wake.get() < 0 || d.awake == want) return;
    uint8_t page[kPipePage] = {};
    const ssize_t n =
        want ? ::read(d.wake.get(), page, sizeof page) : ::write(d.wake.get(), page, sizeof page);
    if (n != ssize_t(sizeof page))
        std::fprintf(stderr, "usb_testbed: %s: wake FIFO %s failed\n", d.devnode.c_str(),
                     want ? "read" : "write");
    d.awake = want;
}

void Finish(Device& d, Urb&& urb, int status, int actual) {
    urb.Header()->status = status;
    urb.Header()->actual_length = actual;
    d.reapable.push_back(std::move(urb));
    UpdateWake(d);
}

// Reads one unsigned int the ioctl argument points to.
bool ArgUint(UMockdevIoctlData* arg, unsigned* out) {
    GRef<UMockdevIoctlData> v = GRef<UMockdevIoctlData>::Adopt(
        umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr));
    if (!v) return false;
    std::memcpy(out, v.get()->data, sizeof(unsigned));
    return true;
}

gboolean OnHandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* d = static_cast<Device*>(user);
    return d->state->HandleIoctl(*d, client) ? TRUE : FALSE;
}

}  // namespace

bool UsbTestbed::State::HandleIoctl(Device& d, UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard lock(mutex);

    switch (request) {
        case USBDEVFS_SUBMITURB:
            Submit(d, client, arg);
            return true;
        case USBDEVFS_REAPURBNDELAY:
            Reap(d, client, arg, false);
            return true;
        case USBDEVFS_REAPURB:
            Reap(d, client, arg, true);
            return true;
        case USBDEVFS_DISCARDURB:
            Discard(d, client, arg);
            return true;
        default:
            break;
    }

    if (d.removed) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return true;
    }

    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            auto caps = GRef<UMockdevIoctlData>::Adopt(
                umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr));
            if (!caps) return false;
            const uint32_t value = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
            std::memcpy(caps.get()->data, &value, sizeof value);
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        case USBDEVFS_GETDRIVER: {
            auto query = GRef<UMockdevIoctlData>::Adopt(
                umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr));
            if (!query) return false;
            usbdevfs_getdriver driver;
            std::memcpy(&driver, query.get()->data, sizeof driver);
            if (driver.interface != 0 || d.boundDriver.empty()) {
                umockdev_ioctl_client_complete(client, -1, ENODATA);
                return true;
            }
            std::snprintf(driver.driver, sizeof driver.driver, "%s", d.boundDriver.c_str());
            std::memcpy(query.get()->data, &driver, sizeof driver);
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        case USBDEVFS_IOCTL: {
            auto io = GRef<UMockdevIoctlData>::Adopt(
                umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr));
            if (!io) return false;
            usbdevfs_ioctl cmd;
            std::memcpy(&cmd, io.get()->data, sizeof cmd);
            if (cmd.ioctl_code == int(USBDEVFS_DISCONNECT)) {
                if (cmd.ifno != 0 || d.boundDriver.empty()) {
                    umockdev_ioctl_client_complete(client, -1, ENODATA);
                } else {
                    d.detachedDriver = std::move(d.boundDriver);
                    d.boundDriver.clear();
                    umockdev_ioctl_client_complete(client, 0, 0);
                }
            } else if (cmd.ioctl_code == int(USBDEVFS_CONNECT)) {
                if (cmd.ifno == 0 && !d.detachedDriver.empty() && d.boundDriver.empty()) {
                    d.boundDriver = std::move(d.detachedDriver);
                    d.detachedDriver.clear();
                    ++d.driverReattached;
                }
                umockdev_ioctl_client_complete(client, 0, 0);
            } else
                umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return true;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE:
        case USBDEVFS_DISCONNECT_CLAIM: {
            unsigned interface = 0;  // first member of usbdevfs_disconnect_claim too
            if (!ArgUint(arg, &interface)) return false;
            // As the kernel does: an interface a driver holds cannot be claimed.
            if (request == USBDEVFS_CLAIMINTERFACE && interface == 0 && !d.boundDriver.empty()) {
                umockdev_ioctl_client_complete(client, -1, EBUSY);
                return true;
            }
            umockdev_ioctl_client_complete(client, interface == 0 ? 0 : -1,
                                           interface == 0 ? 0 : ENOENT);
            return true;
        }
        case USBDEVFS_CLEAR_HALT: {
            unsigned endpoint = 0;
            if (!ArgUint(arg, &endpoint)) return false;
            d.clearHalts[uint8_t(endpoint)]++;
            d.halted.erase(uint8_t(endpoint));
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_RESETEP:
        case USBDEVFS_RESET:
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        case USBDEVFS_CONNECTINFO: {
            auto info = GRef<UMockdevIoctlData>::Adopt(
                umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_connectinfo), nullptr));
            if (!info) return false;
            usbdevfs_connectinfo ci{};
            ci.devnum = unsigned(std::stoul(d.devnode.substr(d.devnode.size() - 3)));
            ci.slow = 0;
            std::memcpy(info.get()->data, &ci, sizeof ci);
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        case USBDEVFS_GET_SPEED:
            umockdev_ioctl_client_complete(client, kSpeedFull, 0);
            return true;
        default:
            std::fprintf(stderr, "usb_testbed: %s: unhandled usbfs ioctl 0x%lx (nr %lu)\n",
                         d.devnode.c_str(), request, (request >> _IOC_NRSHIFT) & _IOC_NRMASK);
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return true;
    }
}

void UsbTestbed::State::Submit(Device& d, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    if (d.removed) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    Urb urb;
    urb.client = GRef<UMockdevIoctlClient>::Share(client);
    urb.header = GRef<UMockdevIoctlData>::Adopt(
        umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr));
    if (!urb.header) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    const usbdevfs_urb* h = urb.Header();
    if (h->buffer_length < 0 ||
        (h->type != USBDEVFS_URB_TYPE_BULK && h->type != USBDEVFS_URB_TYPE_CONTROL)) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    urb.buffer = GRef<UMockdevIoctlData>::Adopt(umockdev_ioctl_data_resolve(
        urb.header.get(), offsetof(usbdevfs_urb, buffer), size_t(h->buffer_length), nullptr));
    if (!urb.buffer) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    urb.endpoint = h->endpoint;

    if (h->type == USBDEVFS_URB_TYPE_CONTROL) {
        if (h->endpoint != 0 || h->buffer_length < 8) {
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return;
        }
        d.submitted[0]++;
        Control(d, urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }

    const uint8_t ep = h->endpoint;
    const uint32_t pipe = ep & 0x7f;
    if (pipe != 1 && pipe != 2) {
        umockdev_ioctl_client_complete(client, -1, ENOENT);
        return;
    }
    d.submitted[ep]++;
    // The submit is answered first; the URB's own completion follows under the same lock, so
    // no reap can see it half done.
    umockdev_ioctl_client_complete(client, 0, 0);

    if (d.stallNext.erase(ep) > 0 || d.halted.count(ep) > 0) {
        d.halted.insert(ep);
        Finish(d, std::move(urb), -EPIPE, 0);
        return;
    }
    if (ep & 0x80) {
        const uint32_t n = d.model->Read(pipe, urb.Data());
        if (n > 0)
            Finish(d, std::move(urb), 0, int(n));
        else
            d.pendingIn.push_back(std::move(urb));
        return;
    }
    const uint32_t taken = d.model->Write(pipe, urb.Data());
    Finish(d, std::move(urb), 0, int(taken));
    ServePending(d);
    if (d.model->UnplugRequested() && !d.removed) {
        MarkRemoved(d);
        if (auto self = Find(d.setup.busPort); self.get() == &d) {
            unplugQueue.push_back(self);
            unplugWake.notify_one();
        }
    }
}

void UsbTestbed::State::Control(Device& d, Urb& urb) {
    std::span<uint8_t> data = urb.Data();
    const uint8_t requestType = data[0], request = data[1];
    const uint16_t value = uint16_t(data[2] | data[3] << 8);
    const uint16_t length = uint16_t(data[6] | data[7] << 8);
    std::span<uint8_t> out = data.subspan(8);

    Bytes reply;
    if (requestType == 0x80 && request == 6) {  // GET_DESCRIPTOR
        const uint8_t type = uint8_t(value >> 8), index = uint8_t(value);
        const bool serial = !d.setup.serial.empty();
        if (type == 1) {
            reply = DeviceDescriptor(0, d.setup.vid, d.setup.pid, true, serial);
        } else if (type == 2 && index == 0) {
            reply = ProbeConfiguration();
        } else if (type == 3 && index == 0) {
            reply = {4, 3, 0x09, 0x04};
        } else if (type == 3 && index == kManufacturerIndex) {
            reply = StringDescriptor(kManufacturer);
        } else if (type == 3 && index == kProductIndex) {
            reply = StringDescriptor(kProduct);
        } else if (type == 3 && index == kSerialIndex && serial) {
            reply = StringDescriptor(d.setup.serial);
        } else {
            Finish(d, std::move(urb), -EPIPE, 0);
            return;
        }
    } else if (requestType == 0x00 && request == 9) {  // SET_CONFIGURATION
        Finish(d, std::move(urb), 0, 0);
        return;
    } else {
        Finish(d, std::move(urb), -EPIPE, 0);
        return;
    }
    const size_t n = std::min({reply.size(), size_t(length), out.size()});
    std::memcpy(out.data(), reply.data(), n);
    Finish(d, std::move(urb), 0, int(n));
}

void UsbTestbed::State::ServePending(Device& d) {
    DropClosed(d);
    for (auto it = d.pendingIn.begin(); it != d.pendingIn.end();) {
        const uint32_t n = d.model->Read(it->endpoint & 0x7f, it->Data());
        if (n == 0) {
            ++it;
            continue;
        }
        Urb urb = std::move(*it);
        it = d.pendingIn.erase(it);
        Finish(d, std::move(urb), 0, int(n));
    }
}

void UsbTestbed::State::Reap(Device& d, UMockdevIoctlClient* client, UMockdevIoctlData* arg,
                             bool blocking) {
    for (auto it = d.reapable.begin(); it != d.reapable.end(); ++it) {
        if (it->client.get() != client) continue;
        auto slot = GRef<UMockdevIoctlData>::Adopt(
            umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr));
        if (!slot) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        umockdev_ioctl_data_set_ptr(slot.get(), 0, it->header.get());
        umockdev_ioctl_client_complete(client, 0, 0);
        d.reapable.erase(it);
        UpdateWake(d);
        return;
    }
    if (d.removed) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    if (blocking)
        std::fprintf(stderr, "usb_testbed: %s: blocking REAPURB with nothing completed\n",
                     d.devnode.c_str());
    umockdev_ioctl_client_complete(client, -1, EAGAIN);
}

void UsbTestbed::State::Discard(Device& d, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    gulong address = 0;
    std::memcpy(&address, arg->data, std::min(sizeof address, size_t(std::max(arg->data_len, 0))));
    for (auto it = d.pendingIn.begin(); it != d.pendingIn.end(); ++it) {
        if (it->client.get() != client || it->header.get()->client_addr != address) continue;
        Urb urb = std::move(*it);
        d.pendingIn.erase(it);
        Finish(d, std::move(urb), -ENOENT, 0);
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    // Already completed (or unknown): the kernel answers EINVAL and the URB is reaped as it is.
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

void UsbTestbed::State::MarkRemoved(Device& d) {
    d.removed = true;
    while (!d.pendingIn.empty()) {
        Urb urb = std::move(d.pendingIn.front());
        d.pendingIn.pop_front();
        Finish(d, std::move(urb), -ENODEV, 0);
    }
    d.halted.clear();
    d.stallNext.clear();
}

// Forgets the URBs of descriptors that were closed: the kernel discards those on close, and
// a read left behind must not take a reply meant for the next opener. umockdev marks the
// connection as gone but does not report it otherwise, so this runs before serving reads.
void UsbTestbed::State::DropClosed(Device& d) {
    auto closed = [](const Urb& u) { return !umockdev_ioctl_client_get_connected(u.client.get()); };
    std::erase_if(d.pendingIn, closed);
    std::erase_if(d.reapable, closed);
    UpdateWake(d);
}

void UsbTestbed::State::RemoveFromSysfs(Device& d) {
    std::lock_guard lock(bedMutex);
    if (d.sysfsGone) return;
    d.sysfsGone = true;
    umockdev_testbed_uevent(bed.get(), d.syspath.c_str(), "remove");
    umockdev_testbed_remove_device(bed.get(), d.syspath.c_str());
}

// Lays the device out in the testbed the way umockdev does (directory with attributes and
// uevent, subsystem link, /sys/bus/usb/devices link, /dev node file) but without the "add"
// uevent umockdev's own add functions send, so that callers choose whether one goes out.
// The bus link comes last: enumeration only finds the device once it is complete.
void UsbTestbed::State::CreateSysfs(const SysfsFields& f, Fd* wake) {
    namespace fs = std::filesystem;
    const fs::path dir = root / ("sys" + f.devpath);
    if (fs::exists(dir / "uevent")) throw std::logic_error("device " + f.devpath + " exists");
    fs::create_directories(dir);
    for (const auto& [name, value] : Attributes(f)) WriteFile(dir / name, value);
    WriteFile(dir / "uevent", Uevent(f));
    const fs::path node = root / "dev" / DevNodeName(f.devnum);
    fs::create_directories(node.parent_path());
    if (wake) {
        if (::mkfifo(node.c_str(), 0666) != 0)
            throw std::runtime_error("cannot create the FIFO " + node.string());
        *wake = Fd(::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        if (wake->get() < 0) throw std::runtime_error("cannot open " + node.string());
        const uint8_t page[kPipePage] = {};
        while (::write(wake->get(), page, sizeof page) == ssize_t(sizeof page)) {
        }
    } else {
        WriteFile(node, "");
    }

    std::string up;
    for (char ch : f.devpath)
        if (ch == '/') up += "../";
    fs::create_symlink(up + "bus/usb", dir / "subsystem");
    const fs::path bus = root / "sys/bus/usb/devices";
    fs::create_directories(bus);
    fs::create_symlink("../../.." + f.devpath, bus / f.sysname);
}

// Adds a hub (bedMutex held) so that libusb finds the parent chain behind a port path.
void UsbTestbed::State::EnsureHub(const std::string& name, const std::string& devpath) {
    if (hubs.count(name) > 0) return;
    SysfsFields f;
    f.devpath = devpath;
    f.sysname = name;
    {
        std::lock_guard lock(mutex);
        if (devices.count(name) > 0)
            throw std::logic_error("port " + name + " holds a probe, not a hub");
        f.devnum = nextDevnum++;
    }
    f.vid = kHubVid;
    f.pid = name.rfind("usb", 0) == 0 ? kRootHubPid : kHubPid;
    f.deviceClass = 9;
    f.descriptors = DeviceDescriptor(9, f.vid, f.pid, false, false);
    const Bytes config = HubConfiguration();
    f.descriptors.insert(f.descriptors.end(), config.begin(), config.end());
    CreateSysfs(f, nullptr);
    hubs.insert(name);
}

void UsbTestbed::State::UnplugLoop() {
    std::unique_lock lock(mutex);
    for (;;) {
        unplugWake.wait(lock, [this] { return stopping || !unplugQueue.empty(); });
        if (unplugQueue.empty()) return;
        std::shared_ptr<Device> d = unplugQueue.front();
        unplugQueue.pop_front();
        lock.unlock();
        RemoveFromSysfs(*d);
        lock.lock();
    }
}

std::shared_ptr<Device> UsbTestbed::State::Find(const std::string& busPort) {
    auto it = devices.find(busPort);
    return it == devices.end() ? nullptr : it->second;
}

bool UsbTestbed::InMockEnvironment() {
    // umockdev decides this once per process by looking at where /sys leads, which only points
    // into a testbed while one exists; so make sure one does at the first call.
    static const bool inMock = [] {
        GRef<UMockdevTestbed> probe;
        if (!g_getenv("UMOCKDEV_DIR")) probe = GRef<UMockdevTestbed>::Adopt(umockdev_testbed_new());
        return bool(umockdev_in_mock_environment());
    }();
    return inMock;
}

UsbTestbed::UsbTestbed() : m_state(std::make_unique<State>()) {
    m_state->bed = GRef<UMockdevTestbed>::Adopt(umockdev_testbed_new());
    if (!m_state->bed) throw std::runtime_error("cannot create the umockdev testbed");
    gchar* root = umockdev_testbed_get_root_dir(m_state->bed.get());
    m_state->root = root;
    g_free(root);
    {
        std::lock_guard lock(m_state->bedMutex);
        // The root hub takes devnum 1 as on a real bus.
        m_state->nextDevnum = 1;
        m_state->EnsureHub("usb1", "/devices/usb1");
    }
    m_state->unplugger = std::thread([s = m_state.get()] { s->UnplugLoop(); });
}

UsbTestbed::~UsbTestbed() {
    {
        std::lock_guard lock(m_state->mutex);
        m_state->stopping = true;
    }
    m_state->unplugWake.notify_one();
    m_state->unplugger.join();

    std::vector<std::shared_ptr<Device>> all = m_state->retired;
    for (auto& [port, d] : m_state->devices) all.push_back(d);
    {
        std::lock_guard lock(m_state->bedMutex);
        for (auto& d : all)
            umockdev_testbed_detach_ioctl(m_state->bed.get(), d->devnode.c_str(), nullptr);
    }
    {
        std::lock_guard lock(m_state->mutex);
        for (auto& d : all) {
            d->pendingIn.clear();
            d->reapable.clear();
        }
    }
    for (auto& d : all) d->handler = {};
    m_state->bed = {};
}

void UsbTestbed::Add(const ProbeSetup& setup, bool announce) {
    State& s = *m_state;
    const std::vector<std::string> parents = ParentHubs(setup.busPort);

    probelib::sim::Faults faults;
    std::string error;
    if (!probelib::sim::ParseFaults(setup.faults, &faults, &error))
        throw std::invalid_argument("bad fault string '" + setup.faults + "': " + error);

    auto d = std::make_shared<Device>();
    d->setup = setup;
    d->model = std::make_unique<TargetModel>(faults);
    d->boundDriver = setup.kernelDriver;
    d->state = &s;
    unsigned devnum = 0;
    std::lock_guard bedLock(s.bedMutex);
    {
        std::lock_guard lock(s.mutex);
        if (auto old = s.Find(setup.busPort); old && !old->removed)
            throw std::logic_error("device " + setup.busPort + " is already present");
    }
    std::string devpath = "/devices/usb1";
    for (const std::string& hub : parents) {
        devpath += "/" + hub;
        s.EnsureHub(hub, devpath);
    }
    devpath += "/" + setup.busPort;
    {
        std::lock_guard lock(s.mutex);
        devnum = s.nextDevnum++;
    }
    d->devnode = "/dev/" + DevNodeName(devnum);
    d->syspath = "/sys" + devpath;

    // The handler goes in before the node exists so that an early open is already served.
    d->handler = GRef<UMockdevIoctlBase>::Adopt(umockdev_ioctl_base_new());
    g_signal_connect_after(d->handler.get(), "handle-ioctl", G_CALLBACK(OnHandleIoctl), d.get());
    GError* raw = nullptr;
    const gboolean attached =
        umockdev_testbed_attach_ioctl(s.bed.get(), d->devnode.c_str(), d->handler.get(), &raw);
    ErrorPtr attachError(raw);
    if (!attached)
        throw std::runtime_error("cannot attach the usbfs handler: " +
                                 std::string(attachError ? attachError->message : "?"));

    SysfsFields f;
    f.devpath = devpath;
    f.sysname = setup.busPort;
    f.devnum = devnum;
    f.vid = setup.vid;
    f.pid = setup.pid;
    f.serial = setup.serial;
    f.strings = true;
    f.descriptors = DeviceDescriptor(0, setup.vid, setup.pid, true, !setup.serial.empty());
    const Bytes config = ProbeConfiguration();
    f.descriptors.insert(f.descriptors.end(), config.begin(), config.end());
    s.CreateSysfs(f, &d->wake);

    {
        std::lock_guard lock(s.mutex);
        if (auto old = s.Find(setup.busPort)) s.retired.push_back(old);
        s.devices[setup.busPort] = d;
    }
    if (announce) umockdev_testbed_uevent(s.bed.get(), d->syspath.c_str(), "add");
}

void UsbTestbed::Remove(const std::string& busPort) {
    std::shared_ptr<Device> d;
    {
        std::lock_guard lock(m_state->mutex);
        d = m_state->Find(busPort);
        if (!d) throw std::logic_error("no device " + busPort);
        m_state->MarkRemoved(*d);
    }
    m_state->RemoveFromSysfs(*d);
}

void UsbTestbed::WithTarget(const std::string& busPort,
                            const std::function<void(probelib::sim::TargetModel&)>& f) {
    std::lock_guard lock(m_state->mutex);
    auto d = m_state->Find(busPort);
    if (!d) throw std::logic_error("no device " + busPort);
    f(*d->model);
}

uint32_t UsbTestbed::Submitted(const std::string& busPort, uint8_t endpoint) {
    std::lock_guard lock(m_state->mutex);
    auto d = m_state->Find(busPort);
    if (!d) throw std::logic_error("no device " + busPort);
    auto it = d->submitted.find(endpoint);
    return it == d->submitted.end() ? 0 : it->second;
}

void UsbTestbed::StallNext(const std::string& busPort, uint8_t endpoint) {
    std::lock_guard lock(m_state->mutex);
    auto d = m_state->Find(busPort);
    if (!d) throw std::logic_error("no device " + busPort);
    m_state->DropClosed(*d);
    // A read already waiting on the endpoint is the next transfer to end: it stalls now.
    for (auto it = d->pendingIn.begin(); it != d->pendingIn.end(); ++it) {
        if (it->endpoint != endpoint) continue;
        Urb urb = std::move(*it);
        d->pendingIn.erase(it);
        d->halted.insert(endpoint);
        Finish(*d, std::move(urb), -EPIPE, 0);
        return;
    }
    d->stallNext.insert(endpoint);
}

uint32_t UsbTestbed::ClearHalts(const std::string& busPort, uint8_t endpoint) {
    std::lock_guard lock(m_state->mutex);
    auto d = m_state->Find(busPort);
    if (!d) throw std::logic_error("no device " + busPort);
    auto it = d->clearHalts.find(endpoint);
    return it == d->clearHalts.end() ? 0 : it->second;
}

std::string UsbTestbed::BoundDriver(const std::string& busPort) {
    std::lock_guard lock(m_state->mutex);
    auto d = m_state->Find(busPort);
    if (!d) throw std::logic_error("no device " + busPort);
    return d->boundDriver;
}

uint32_t UsbTestbed::DriverReattached(const std::string& busPort) {
    std::lock_guard lock(m_state->mutex);
    auto d = m_state->Find(busPort);
    if (!d) throw std::logic_error("no device " + busPort);
    return d->driverReattached;
}

std::string UsbTestbed::DevNode(const std::string& busPort) {
    std::lock_guard lock(m_state->mutex);
    auto d = m_state->Find(busPort);
    if (!d) throw std::logic_error("no device " + busPort);
    return d->devnode;
}

}  // namespace usbtest
