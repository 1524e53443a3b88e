// The usb backend's plug watcher: turns libusb's hot-plug callbacks (or, where
// there are none, a periodic scan of the device list) into arrival and removal
// events for the one probe it tracks. Private to the usb backend.
#pragma once

#include <libusb.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/probelib/backend.h"
#include "platform/probelib/usb/usb_devices.h"

namespace probelib::usb {

class PlugWatcher {
  public:
    PlugWatcher(libusb_context* context, const UsbOptions& options);
    // Stops as Stop() does; the libusb event thread must have stopped before,
    // as a callback in progress still uses the watcher.
    ~PlugWatcher();
    PlugWatcher(const PlugWatcher&) = delete;
    PlugWatcher& operator=(const PlugWatcher&) = delete;

    // Deregisters the callback and stops the plug thread; pending events are dropped.
    void Stop();
    void SetSink(EventSink sink);
    // Registers the callback (or starts scanning) and tracks the probe present now.
    void Start();
    // Tracks the probe just opened: its removal is the one reported.
    void Track(const Seen& seen);

  private:
    // A plug event as libusb reported it, handled later on the plug thread.
    struct PlugRecord {
        bool arrived;
        Seen seen;
    };
    using Keys = std::vector<std::pair<std::string, Seen>>;

    static int LIBUSB_CALL HotplugCallback(libusb_context*, libusb_device* device,
                                           libusb_hotplug_event event, void* user);
    void PlugLoop();
    void QueueScanDifferences(Keys now);
    void Deliver(const PlugRecord& record, const std::string& serial);

    libusb_context* const m_context;
    const UsbOptions m_options;
    bool m_hotplugRegistered = false;
    bool m_deregistered = false;  // by Stop(), on the owner's thread
    libusb_hotplug_callback_handle m_hotplug{};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<PlugRecord> m_records;
    Keys m_scanned;
    std::string m_tracked;  // Key() of the probe whose events are delivered
    EventSink m_sink;
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace probelib::usb
