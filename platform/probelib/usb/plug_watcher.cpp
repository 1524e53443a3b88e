// Hot-plug events of the chosen probe: libusb's callback or a scan of the
// device list, reduced to one arrival and one removal of the tracked probe.
#include "platform/probelib/usb/plug_watcher.h"

#include <algorithm>
#include <chrono>

#include "platform/probelib/usb/device_match.h"
#include "platform/probelib/usb/usb_ids.h"

namespace probelib::usb {

namespace {
// Without hot-plug support, the device list is compared this often.
constexpr auto kScanInterval = std::chrono::milliseconds(500);
}  // namespace

PlugWatcher::PlugWatcher(libusb_context* context, const UsbOptions& options)
    : m_context(context), m_options(options) {}

PlugWatcher::~PlugWatcher() { Stop(); }

void PlugWatcher::Stop() {
    if (m_hotplugRegistered && !std::exchange(m_deregistered, true))
        libusb_hotplug_deregister_callback(m_context, m_hotplug);
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

void PlugWatcher::SetSink(EventSink sink) {
    std::lock_guard lock(m_mutex);
    m_sink = std::move(sink);
}

void PlugWatcher::Start() {
    if (!m_options.scanForPlugs && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0) {
        int rc = libusb_hotplug_register_callback(
            m_context,
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            static_cast<libusb_hotplug_flag>(0), LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            LIBUSB_HOTPLUG_MATCH_ANY, &PlugWatcher::HotplugCallback, this, &m_hotplug);
        m_hotplugRegistered = rc == 0;
    }
    // The probe present now is the one whose removal is reported.
    std::string present;
    {
        DeviceList list(m_context);
        std::vector<Candidate> candidates = Candidates(list, m_options, nullptr, nullptr);
        if (!candidates.empty()) present = candidates.front().seen.Key();
    }
    {
        std::lock_guard lock(m_mutex);
        if (!present.empty()) m_tracked = present;
        if (!m_hotplugRegistered) m_scanned = ProbeKeys(m_context, m_options);
    }
    m_thread = std::thread([this] { PlugLoop(); });
}

void PlugWatcher::Track(const Seen& seen) {
    std::lock_guard lock(m_mutex);
    m_tracked = seen.Key();
}

// Runs on libusb's event thread: records the event and returns at once.
int LIBUSB_CALL PlugWatcher::HotplugCallback(libusb_context*, libusb_device* device,
                                             libusb_hotplug_event event, void* user) {
    auto* self = static_cast<PlugWatcher*>(user);
    PlugRecord record{event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, Describe(device)};
    {
        std::lock_guard lock(self->m_mutex);
        self->m_records.push_back(std::move(record));
    }
    self->m_changed.notify_all();
    return 0;
}

void PlugWatcher::PlugLoop() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (m_hotplugRegistered) {
            m_changed.wait(lock, [this] { return m_stop || !m_records.empty(); });
        } else if (m_records.empty()) {
            m_changed.wait_for(lock, kScanInterval, [this] { return m_stop; });
            if (!m_stop) {
                lock.unlock();
                auto now = ProbeKeys(m_context, m_options);
                lock.lock();
                QueueScanDifferences(std::move(now));
            }
        }
        if (m_stop) return;
        while (!m_records.empty() && !m_stop) {
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
void PlugWatcher::QueueScanDifferences(Keys now) {
    auto has = [](const Keys& keys, const std::string& key) {
        return std::any_of(keys.begin(), keys.end(),
                           [&](const auto& entry) { return entry.first == key; });
    };
    for (const auto& [key, seen] : m_scanned)
        if (!has(now, key)) m_records.push_back({false, seen});
    for (const auto& [key, seen] : now)
        if (!has(m_scanned, key)) m_records.push_back({true, seen});
    m_scanned = std::move(now);
}

// Only the chosen probe's events go out: an arrival of an accepted probe that
// the selector accepts while none is tracked, and the removal of the tracked
// one. Called with m_mutex held.
void PlugWatcher::Deliver(const PlugRecord& record, const std::string& serial) {
    if (!IsProbeId(record.seen.id, m_options.extraIds)) return;
    const std::string key = record.seen.Key();
    if (record.arrived) {
        if (!m_tracked.empty()) return;
        if (!MatchesSelector(m_options.probe, record.seen.busPort, serial)) return;
        m_tracked = key;
        if (m_sink) m_sink(kDeviceArrival);
    } else {
        if (m_tracked != key) return;
        m_tracked.clear();
        if (m_sink) m_sink(kDeviceRemoval);
    }
}

}  // namespace probelib::usb
