// The probe's device session: opens the chosen probe and claims its interface,
// moves each transfer as one libusb bulk transfer with a time-out, and closes
// safely while another thread is mid-transfer. Private to the usb backend.
#pragma once

#include <libusb.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <set>
#include <span>

#include "platform/posix/thread_safety.h"
#include "platform/probelib/backend.h"
#include "platform/probelib/usb/usb_devices.h"

namespace probelib::usb {

class UsbSession {
  public:
    UsbSession(libusb_context* context, const UsbOptions& options);
    ~UsbSession();
    UsbSession(const UsbSession&) = delete;
    UsbSession& operator=(const UsbSession&) = delete;

    // Handle value, or -1 with the reason in LastOpenProblem(). *opened gets
    // the probe opened.
    int32_t Open(uint32_t index, Seen* opened);
    void Close(uint32_t index);
    TransferStatus Write(uint32_t index, uint32_t pipe, std::span<const uint8_t> data,
                         uint32_t* done);
    TransferStatus Read(uint32_t index, uint32_t pipe, std::span<uint8_t> buffer, uint32_t* done);
    OpenProblem LastOpenProblem() const { return m_problem; }
    int LastOpenedProbe(ProbeInfo* out) const;
    // What the last successful open did with the interfaces, for the trace.
    std::string OpenNote() const;

  private:
    struct Pending {
        UsbSession* owner;
        bool done = false;
    };

    void CloseDevice() REQUIRES(m_openMutex);
    TransferStatus Transfer(uint8_t endpoint, unsigned char* data, int length, unsigned timeoutMs,
                            int* moved);
    static void LIBUSB_CALL TransferDone(libusb_transfer* transfer);

    libusb_context* const m_context;
    const UsbOptions m_options;
    const unsigned m_readTimeoutMs;
    std::atomic<OpenProblem> m_problem{OpenProblem::None};

    // Open and Close, one at a time.
    posix_io::Mutex m_openMutex;
    int32_t m_handleValue GUARDED_BY(m_openMutex) = 0;

    // The open device and the transfers on it (and each Pending's done flag).
    posix_io::Mutex m_deviceMutex;
    std::condition_variable m_deviceChanged;
    libusb_device_handle* m_handle GUARDED_BY(m_deviceMutex) = nullptr;
    bool m_closing GUARDED_BY(m_deviceMutex) = false;
    int m_users GUARDED_BY(m_deviceMutex) = 0;
    // Endpoints to clear before their next transfer.
    uint32_t m_stalled GUARDED_BY(m_deviceMutex) = 0;
    std::set<libusb_transfer*> m_inFlight GUARDED_BY(m_deviceMutex);

    mutable posix_io::Mutex m_lastMutex;
    ProbeInfo m_lastOpened GUARDED_BY(m_lastMutex);
    std::string m_openNote GUARDED_BY(m_lastMutex);
};

}  // namespace probelib::usb
