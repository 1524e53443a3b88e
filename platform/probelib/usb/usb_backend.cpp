// The usb backend: a device session for the chosen probe and a plug watcher
// for its arrivals and removals, over one libusb context whose events turn on
// a thread of the backend's own; and the list of attached probes.
#include "platform/probelib/usb/usb_backend.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "platform/probelib/usb/device_match.h"
#include "platform/probelib/usb/plug_watcher.h"
#include "platform/probelib/usb/usb_devices.h"
#include "platform/probelib/usb/usb_ids.h"
#include "platform/probelib/usb/usb_session.h"

namespace probelib::usb {

namespace {

class UsbBackend final : public Backend {
  public:
    UsbBackend(ContextPtr context, const UsbOptions& options)
        : m_context(std::move(context)),
          m_session(m_context.get(), options),
          m_watcher(m_context.get(), options) {}

    ~UsbBackend() override {
        m_watcher.Stop();
        m_session.Close(0);
        m_stopEvents = true;
        libusb_interrupt_event_handler(m_context.get());
        if (m_eventThread.joinable()) m_eventThread.join();
    }

    UsbBackend(const UsbBackend&) = delete;
    UsbBackend& operator=(const UsbBackend&) = delete;

    void Start() {
        m_eventThread = std::thread([this] { EventLoop(); });
        m_watcher.Start();
    }

    int32_t Open(uint32_t index) override {
        Seen opened;
        const int32_t handle = m_session.Open(index, &opened);
        if (handle != -1) m_watcher.Track(opened);
        return handle;
    }

    void Close(uint32_t index) override { m_session.Close(index); }

    TransferStatus Write(uint32_t index, uint32_t pipe, std::span<const uint8_t> data,
                         uint32_t* done) override {
        return m_session.Write(index, pipe, data, done);
    }

    TransferStatus Read(uint32_t index, uint32_t pipe, std::span<uint8_t> buffer,
                        uint32_t* done) override {
        return m_session.Read(index, pipe, buffer, done);
    }

    void SetEventSink(EventSink sink) override { m_watcher.SetSink(std::move(sink)); }

    OpenProblem LastOpenProblem() const override { return m_session.LastOpenProblem(); }

    int LastOpenedProbe(ProbeInfo* out) const override { return m_session.LastOpenedProbe(out); }

    std::string OpenNote() const override { return m_session.OpenNote(); }

  private:
    void EventLoop() {
        while (!m_stopEvents) {
            timeval wait{0, 200'000};
            libusb_handle_events_timeout_completed(m_context.get(), &wait, nullptr);
        }
    }

    ContextPtr m_context;
    UsbSession m_session;
    PlugWatcher m_watcher;  // stopped first; destroyed after the event thread has stopped
    std::atomic<bool> m_stopEvents{false};
    std::thread m_eventThread;
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
