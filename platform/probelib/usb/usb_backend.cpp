// The usb backend: opens the chosen probe and claims its interface, moves each
// transfer as one libusb bulk transfer with a time-out, turns libusb's
// hot-plug callbacks (or a periodic scan) into arrival and removal events for
// the chosen probe, and closes safely while another thread is mid-transfer.
#include "platform/probelib/usb/usb_backend.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

#include "platform/probelib/usb/device_match.h"
#include "platform/probelib/usb/usb_ids.h"

namespace probelib::usb {

namespace {

// Largest transfer a caller may ask for; the tool's own are at most 64 bytes.
constexpr size_t kMaxTransfer = 64 * 1024;
// Without hot-plug support, the device list is compared this often.
constexpr auto kScanInterval = std::chrono::milliseconds(500);

struct ContextDeleter {
    void operator()(libusb_context* context) const { libusb_exit(context); }
};
using ContextPtr = std::unique_ptr<libusb_context, ContextDeleter>;

struct TransferDeleter {
    void operator()(libusb_transfer* transfer) const { libusb_free_transfer(transfer); }
};
using TransferPtr = std::unique_ptr<libusb_transfer, TransferDeleter>;

// The device list of one enumeration, released with its references.
class DeviceList {
  public:
    explicit DeviceList(libusb_context* context) {
        ssize_t count = libusb_get_device_list(context, &m_list);
        m_count = count < 0 ? 0 : static_cast<size_t>(count);
        if (count < 0) m_list = nullptr;
    }
    ~DeviceList() {
        if (m_list != nullptr) libusb_free_device_list(m_list, 1);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
    bool Ok() const { return m_list != nullptr; }
    std::span<libusb_device*> Devices() const { return {m_list, m_count}; }

  private:
    libusb_device** m_list = nullptr;
    size_t m_count = 0;
};

// What a device is, read without opening it (allowed inside libusb's callback).
struct Seen {
    UsbId id;
    std::string busPort;
    uint8_t address = 0;
    // Names one attachment: a device plugged in again gets a new address.
    std::string Key() const { return busPort + "#" + std::to_string(address); }
};

Seen Describe(libusb_device* device) {
    Seen seen;
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) == 0)
        seen.id = UsbId{descriptor.idVendor, descriptor.idProduct};
    uint8_t ports[8];
    int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    seen.busPort = FormatBusPort(libusb_get_bus_number(device),
                                 std::span<const uint8_t>(ports, depth < 0 ? 0 : depth));
    seen.address = libusb_get_device_address(device);
    return seen;
}

ContextPtr NewContext(std::string* error) {
    libusb_context* context = nullptr;
    int rc = libusb_init(&context);
    if (rc != 0) {
        if (error)
            *error = std::string("cannot reach USB devices (libusb: ") + libusb_strerror(rc) +
                     "); is /dev/bus/usb there?";
        return {};
    }
    return ContextPtr(context);
}

uint32_t EndpointBit(uint8_t endpoint) {
    return 1u << ((endpoint & 0x0F) + ((endpoint & 0x80) != 0 ? 16 : 0));
}

class UsbBackend final : public Backend {
  public:
    UsbBackend(ContextPtr context, UsbOptions options)
        : m_context(std::move(context)),
          m_options(std::move(options)),
          m_readTimeoutMs(m_options.readTimeoutMs != 0 ? m_options.readTimeoutMs : kReadTimeoutMs) {
    }

    ~UsbBackend() override {
        if (m_hotplugRegistered) libusb_hotplug_deregister_callback(m_context.get(), m_hotplug);
        {
            std::lock_guard lock(m_plugMutex);
            m_plugStop = true;
        }
        m_plugChanged.notify_all();
        if (m_plugThread.joinable()) m_plugThread.join();
        {
            std::lock_guard lock(m_openMutex);
            CloseDevice();
        }
        m_stopEvents = true;
        libusb_interrupt_event_handler(m_context.get());
        if (m_eventThread.joinable()) m_eventThread.join();
    }

    UsbBackend(const UsbBackend&) = delete;
    UsbBackend& operator=(const UsbBackend&) = delete;

    void Start() {
        m_eventThread = std::thread([this] { EventLoop(); });
        if (!m_options.scanForPlugs && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0) {
            int rc = libusb_hotplug_register_callback(
                m_context.get(),
                static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                                  LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
                static_cast<libusb_hotplug_flag>(0), LIBUSB_HOTPLUG_MATCH_ANY,
                LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, &UsbBackend::HotplugCallback,
                this, &m_hotplug);
            m_hotplugRegistered = rc == 0;
        }
        // The probe present now is the one whose removal is reported.
        std::vector<Candidate> present = Candidates(nullptr, nullptr);
        {
            std::lock_guard lock(m_plugMutex);
            if (!present.empty()) m_tracked = present.front().seen.Key();
            if (!m_hotplugRegistered) m_scanned = ProbeKeys();
        }
        m_plugThread = std::thread([this] { PlugLoop(); });
    }

    int32_t Open(uint32_t index) override {
        if (index != 0) {
            m_problem = OpenProblem::NotFound;
            return -1;
        }
        std::lock_guard openLock(m_openMutex);
        // A handle the caller abandoned (an arrival while it was open) ends here.
        CloseDevice();
        DeviceList list(m_context.get());
        if (!list.Ok()) {
            m_problem = OpenProblem::Failed;
            return -1;
        }
        bool anyProbe = false, wrongMode = false;
        std::vector<Candidate> candidates = Candidates(&anyProbe, &wrongMode, &list);
        if (candidates.empty()) {
            m_problem = anyProbe    ? OpenProblem::NoMatch
                        : wrongMode ? OpenProblem::WrongMode
                                    : OpenProblem::NotFound;
            return -1;
        }
        const Candidate& chosen = candidates.front();
        libusb_device_handle* handle = nullptr;
        int rc = libusb_open(chosen.device, &handle);
        if (rc != 0) {
            m_problem = rc == LIBUSB_ERROR_ACCESS      ? OpenProblem::Permission
                        : rc == LIBUSB_ERROR_NO_DEVICE ? OpenProblem::NotFound
                                                       : OpenProblem::Failed;
            return -1;
        }
        bool detached = false;
        if (libusb_kernel_driver_active(handle, kInterface) == 1)
            detached = libusb_detach_kernel_driver(handle, kInterface) == 0;
        rc = libusb_claim_interface(handle, kInterface);
        if (rc != 0) {
            if (detached) libusb_attach_kernel_driver(handle, kInterface);
            libusb_close(handle);
            m_problem = rc == LIBUSB_ERROR_BUSY     ? OpenProblem::Busy
                        : rc == LIBUSB_ERROR_ACCESS ? OpenProblem::Permission
                                                    : OpenProblem::Failed;
            return -1;
        }
        {
            std::lock_guard lock(m_deviceMutex);
            m_handle = handle;
            m_detached = detached;
            m_stalled = 0;
        }
        std::string serial = ReadSerial(kSysfsUsbDevices, chosen.seen.busPort);
        {
            std::lock_guard lock(m_plugMutex);
            m_tracked = chosen.seen.Key();
            m_lastOpened = {chosen.seen.busPort, std::move(serial), chosen.seen.id, false};
        }
        m_problem = OpenProblem::None;
        if (++m_handleValue <= 0) m_handleValue = 1;
        return m_handleValue;
    }

    void Close(uint32_t index) override {
        if (index != 0) return;
        std::lock_guard openLock(m_openMutex);
        CloseDevice();
    }

    TransferStatus Write(uint32_t index, uint32_t pipe, std::span<const uint8_t> data,
                         uint32_t* done) override {
        *done = 0;
        if (index != 0 || OutEndpoint(pipe) == 0 || data.size() > kMaxTransfer)
            return TransferStatus::Error;
        std::vector<unsigned char> bytes;
        bytes.reserve(data.size() + 1);  // never a null buffer, even for an empty packet
        bytes.assign(data.begin(), data.end());
        int moved = 0;
        TransferStatus outcome = Transfer(OutEndpoint(pipe), bytes.data(),
                                          static_cast<int>(bytes.size()), kWriteTimeoutMs, &moved);
        *done = static_cast<uint32_t>(moved);
        return outcome;
    }

    TransferStatus Read(uint32_t index, uint32_t pipe, std::span<uint8_t> buffer,
                        uint32_t* done) override {
        *done = 0;
        if (index != 0 || InEndpoint(pipe) == 0 || buffer.size() > kMaxTransfer)
            return TransferStatus::Error;
        // Whole packets go into a buffer of our own, so a failed or an
        // overlong reply never touches the caller's.
        std::vector<unsigned char> bytes(ReadBufferSize(buffer.size()));
        int moved = 0;
        TransferStatus outcome = Transfer(InEndpoint(pipe), bytes.data(),
                                          static_cast<int>(bytes.size()), m_readTimeoutMs, &moved);
        if (outcome != TransferStatus::Done || moved <= 0) return outcome;
        size_t count = std::min(static_cast<size_t>(moved), buffer.size());
        std::memcpy(buffer.data(), bytes.data(), count);
        *done = static_cast<uint32_t>(count);
        return TransferStatus::Done;
    }

    void SetEventSink(EventSink sink) override {
        std::lock_guard lock(m_plugMutex);
        m_sink = std::move(sink);
    }

    OpenProblem LastOpenProblem() const override { return m_problem; }

    int LastOpenedProbe(ProbeInfo* out) const override {
        std::lock_guard lock(m_plugMutex);
        if (m_lastOpened.busPort.empty() || out == nullptr) return 0;
        *out = m_lastOpened;
        return 1;
    }

  private:
    struct Candidate {
        libusb_device* device;  // owned by the list it came from
        Seen seen;
    };

    // A plug event as libusb reported it, handled later on the plug thread.
    struct PlugRecord {
        bool arrived;
        Seen seen;
    };

    struct Pending {
        UsbBackend* owner;
        bool done = false;
    };

    // The attached probes the user's selector accepts, in bus-port order. The
    // flags tell what else was seen. Without `list`, a list of its own is used
    // and the devices in the result must not be used.
    std::vector<Candidate> Candidates(bool* anyProbe, bool* wrongMode, DeviceList* list = nullptr) {
        std::unique_ptr<DeviceList> own;
        if (list == nullptr) {
            own = std::make_unique<DeviceList>(m_context.get());
            list = own.get();
        }
        std::vector<Candidate> result;
        for (libusb_device* device : list->Devices()) {
            Seen seen = Describe(device);
            if (IsProbeId(seen.id, m_options.extraIds)) {
                if (anyProbe) *anyProbe = true;
                if (MatchesSelector(m_options.probe, seen.busPort,
                                    ReadSerial(kSysfsUsbDevices, seen.busPort)))
                    result.push_back({device, std::move(seen)});
            } else if (IsWrongModeId(seen.id) && wrongMode) {
                *wrongMode = true;
            }
        }
        std::stable_sort(result.begin(), result.end(), [](const Candidate& a, const Candidate& b) {
            return BusPortLess(a.seen.busPort, b.seen.busPort);
        });
        if (own) {
            for (Candidate& c : result) c.device = nullptr;
        }
        return result;
    }

    // Keys of every attached device with an accepted id (for the scan).
    std::vector<std::pair<std::string, Seen>> ProbeKeys() {
        std::vector<std::pair<std::string, Seen>> keys;
        DeviceList list(m_context.get());
        for (libusb_device* device : list.Devices()) {
            Seen seen = Describe(device);
            if (IsProbeId(seen.id, m_options.extraIds)) keys.emplace_back(seen.Key(), seen);
        }
        return keys;
    }

    // Cancels what is in flight, waits for every transfer to come back, then
    // releases the device. Called with m_openMutex held.
    void CloseDevice() {
        libusb_device_handle* handle = nullptr;
        bool detached = false;
        {
            std::unique_lock lock(m_deviceMutex);
            if (m_handle == nullptr) return;
            m_closing = true;
            for (libusb_transfer* transfer : m_inFlight) libusb_cancel_transfer(transfer);
            m_deviceChanged.wait(lock, [this] { return m_users == 0; });
            handle = m_handle;
            detached = m_detached;
            m_handle = nullptr;
            m_closing = false;
        }
        libusb_release_interface(handle, kInterface);
        if (detached) libusb_attach_kernel_driver(handle, kInterface);
        libusb_close(handle);
    }

    TransferStatus Transfer(uint8_t endpoint, unsigned char* data, int length, unsigned timeoutMs,
                            int* moved) {
        *moved = 0;
        libusb_device_handle* handle = nullptr;
        bool clearHalt = false;
        {
            std::lock_guard lock(m_deviceMutex);
            if (m_handle == nullptr || m_closing) return TransferStatus::Closed;
            handle = m_handle;
            ++m_users;
            clearHalt = (m_stalled & EndpointBit(endpoint)) != 0;
        }
        struct Leave {
            UsbBackend* self;
            ~Leave() {
                std::lock_guard lock(self->m_deviceMutex);
                --self->m_users;
                self->m_deviceChanged.notify_all();
            }
        } leave{this};

        if (clearHalt) {
            int rc = libusb_clear_halt(handle, endpoint);
            if (rc == LIBUSB_ERROR_NO_DEVICE) return TransferStatus::NoDevice;
            if (rc != 0) return TransferStatus::Error;
            std::lock_guard lock(m_deviceMutex);
            m_stalled &= ~EndpointBit(endpoint);
        }
        TransferPtr transfer(libusb_alloc_transfer(0));
        if (!transfer) return TransferStatus::Error;
        Pending pending{this};
        libusb_fill_bulk_transfer(transfer.get(), handle, endpoint, data, length,
                                  &UsbBackend::TransferDone, &pending, timeoutMs);
        int rc = libusb_submit_transfer(transfer.get());
        if (rc != 0)
            return rc == LIBUSB_ERROR_NO_DEVICE ? TransferStatus::NoDevice : TransferStatus::Error;
        bool cancelledLate = false;
        {
            std::unique_lock lock(m_deviceMutex);
            m_inFlight.insert(transfer.get());
            // A close that began after the submit has not seen this transfer.
            if (m_closing) libusb_cancel_transfer(transfer.get());
            // libusb ends the transfer at its time-out; the extra second only
            // guards against an event loop that has stopped turning.
            auto limit = std::chrono::milliseconds(timeoutMs) + std::chrono::seconds(1);
            if (!m_deviceChanged.wait_for(lock, limit, [&] { return pending.done; })) {
                cancelledLate = true;
                libusb_cancel_transfer(transfer.get());
                m_deviceChanged.wait(lock, [&] { return pending.done; });
            }
            m_inFlight.erase(transfer.get());
        }
        *moved = transfer->actual_length;
        switch (transfer->status) {
            case LIBUSB_TRANSFER_COMPLETED:
                return TransferStatus::Done;
            case LIBUSB_TRANSFER_TIMED_OUT:
                return TransferStatus::TimedOut;
            case LIBUSB_TRANSFER_STALL: {
                std::lock_guard lock(m_deviceMutex);
                m_stalled |= EndpointBit(endpoint);
                return TransferStatus::Stalled;
            }
            case LIBUSB_TRANSFER_NO_DEVICE:
                return TransferStatus::NoDevice;
            case LIBUSB_TRANSFER_CANCELLED:
                return cancelledLate ? TransferStatus::TimedOut : TransferStatus::Closed;
            default:
                return TransferStatus::Error;
        }
    }

    static void LIBUSB_CALL TransferDone(libusb_transfer* transfer) {
        auto* pending = static_cast<Pending*>(transfer->user_data);
        UsbBackend* self = pending->owner;
        std::lock_guard lock(self->m_deviceMutex);
        pending->done = true;
        self->m_deviceChanged.notify_all();
    }

    // Runs on libusb's event thread: records the event and returns at once.
    static int LIBUSB_CALL HotplugCallback(libusb_context*, libusb_device* device,
                                           libusb_hotplug_event event, void* user) {
        auto* self = static_cast<UsbBackend*>(user);
        PlugRecord record{event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, Describe(device)};
        {
            std::lock_guard lock(self->m_plugMutex);
            self->m_records.push_back(std::move(record));
        }
        self->m_plugChanged.notify_all();
        return 0;
    }

    void EventLoop() {
        while (!m_stopEvents) {
            timeval wait{0, 200 * 1000};
            libusb_handle_events_timeout_completed(m_context.get(), &wait, nullptr);
        }
    }

    void PlugLoop() {
        std::unique_lock lock(m_plugMutex);
        for (;;) {
            if (m_hotplugRegistered) {
                m_plugChanged.wait(lock, [this] { return m_plugStop || !m_records.empty(); });
            } else if (m_records.empty()) {
                m_plugChanged.wait_for(lock, kScanInterval, [this] { return m_plugStop; });
                if (!m_plugStop) {
                    lock.unlock();
                    auto now = ProbeKeys();
                    lock.lock();
                    QueueScanDifferences(std::move(now));
                }
            }
            if (m_plugStop) return;
            while (!m_records.empty() && !m_plugStop) {
                PlugRecord record = std::move(m_records.front());
                m_records.pop_front();
                lock.unlock();
                // The serial comes from sysfs, which the device has left on a removal.
                std::string serial =
                    record.arrived ? ReadSerial(kSysfsUsbDevices, record.seen.busPort) : "";
                lock.lock();
                Deliver(record, serial);
            }
        }
    }

    // Removals first, then arrivals, as a scan cannot tell their order.
    void QueueScanDifferences(std::vector<std::pair<std::string, Seen>> now) {
        auto has = [](const auto& keys, const std::string& key) {
            return std::any_of(keys.begin(), keys.end(),
                               [&](const auto& entry) { return entry.first == key; });
        };
        for (const auto& [key, seen] : m_scanned)
            if (!has(now, key)) m_records.push_back({false, seen});
        for (const auto& [key, seen] : now)
            if (!has(m_scanned, key)) m_records.push_back({true, seen});
        m_scanned = std::move(now);
    }

    // Only the chosen probe's events go out: an arrival of an accepted probe
    // that the selector accepts while none is tracked, and the removal of the
    // tracked one. Called with m_plugMutex held.
    void Deliver(const PlugRecord& record, const std::string& serial) {
        if (!IsProbeId(record.seen.id, m_options.extraIds)) return;
        const std::string key = record.seen.Key();
        if (record.arrived) {
            if (!m_tracked.empty()) return;
            if (!MatchesSelector(m_options.probe, record.seen.busPort, serial)) return;
            m_tracked = key;
            if (m_sink) m_sink(3);
        } else {
            if (m_tracked != key) return;
            m_tracked.clear();
            if (m_sink) m_sink(0);
        }
    }

    ContextPtr m_context;
    const UsbOptions m_options;
    const unsigned m_readTimeoutMs;
    std::atomic<OpenProblem> m_problem{OpenProblem::None};
    std::atomic<bool> m_stopEvents{false};
    std::thread m_eventThread;

    // Open and Close, one at a time.
    std::mutex m_openMutex;
    int32_t m_handleValue = 0;

    // The open device and the transfers on it.
    std::mutex m_deviceMutex;
    std::condition_variable m_deviceChanged;
    libusb_device_handle* m_handle = nullptr;
    bool m_detached = false;
    bool m_closing = false;
    int m_users = 0;
    uint32_t m_stalled = 0;  // endpoints to clear before their next transfer
    std::set<libusb_transfer*> m_inFlight;

    // Hot-plug.
    bool m_hotplugRegistered = false;
    libusb_hotplug_callback_handle m_hotplug{};
    mutable std::mutex m_plugMutex;
    std::condition_variable m_plugChanged;
    std::deque<PlugRecord> m_records;
    std::vector<std::pair<std::string, Seen>> m_scanned;
    std::string m_tracked;  // Key() of the probe whose events are delivered
    ProbeInfo m_lastOpened;
    EventSink m_sink;
    bool m_plugStop = false;
    std::thread m_plugThread;
};

}  // namespace

std::shared_ptr<Backend> MakeUsbBackend(const UsbOptions& options, std::string* error) {
    ContextPtr context = NewContext(error);
    if (!context) return nullptr;
    auto backend = std::make_shared<UsbBackend>(std::move(context), options);
    backend->Start();
    return backend;
}

int ListUsbProbes(const UsbOptions& options, std::vector<ProbeInfo>* out, std::string* error) {
    ContextPtr context = NewContext(error);
    if (!context) return 0;
    DeviceList list(context.get());
    if (!list.Ok()) {
        if (error) *error = "cannot list USB devices";
        return 0;
    }
    std::vector<ProbeInfo> probes;
    for (libusb_device* device : list.Devices()) {
        Seen seen = Describe(device);
        bool ours = IsProbeId(seen.id, options.extraIds);
        if (!ours && !IsWrongModeId(seen.id)) continue;
        ProbeInfo info;
        info.busPort = seen.busPort;
        info.serial = ReadSerial(kSysfsUsbDevices, seen.busPort);
        info.id = seen.id;
        info.wrongMode = !ours;
        probes.push_back(std::move(info));
    }
    std::stable_sort(probes.begin(), probes.end(), [](const ProbeInfo& a, const ProbeInfo& b) {
        return BusPortLess(a.busPort, b.busPort);
    });
    *out = std::move(probes);
    return 1;
}

}  // namespace probelib::usb
