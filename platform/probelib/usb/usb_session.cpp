// The device session of the usb backend: open and claim, bulk transfers with a
// time-out, stalled endpoints cleared before their next transfer, and a close
// that cancels what is in flight and waits for it.
#include "platform/probelib/usb/usb_session.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/probelib/usb/device_match.h"
#include "platform/probelib/usb/open_problem.h"
#include "platform/probelib/usb/usb_ids.h"

namespace probelib::usb {

namespace {

// Largest transfer a caller may ask for; the tool's own are at most 64 bytes.
constexpr size_t kMaxTransfer = size_t{64} * 1024;

struct TransferDeleter {
    void operator()(libusb_transfer* transfer) const { libusb_free_transfer(transfer); }
};
using TransferPtr = std::unique_ptr<libusb_transfer, TransferDeleter>;

uint32_t EndpointBit(uint8_t endpoint) {
    return 1u << ((endpoint & 0x0F) + ((endpoint & 0x80) != 0 ? 16 : 0));
}

// Whether interface 0 has the bulk endpoints of both pipes; *found names its
// endpoints ("0x01 bulk out, 0x81 bulk in"). Read from the descriptors the
// system keeps, so nothing goes to the probe.
bool HasProbePipes(libusb_device* device, std::string* found) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0 &&
        libusb_get_config_descriptor(device, 0, &config) != 0)
        return false;
    uint32_t bulk = 0;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& interface = config->interface[i];
        if (interface.num_altsetting < 1 || interface.altsetting[0].bInterfaceNumber != kInterface)
            continue;
        const libusb_interface_descriptor& setting = interface.altsetting[0];
        for (int e = 0; e < setting.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
            static constexpr const char* kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
            const int type = endpoint.bmAttributes & 3;
            char name[40];
            std::snprintf(name, sizeof name, "%s0x%02x %s %s", found->empty() ? "" : ", ",
                          endpoint.bEndpointAddress, kTypes[type],
                          (endpoint.bEndpointAddress & 0x80) != 0 ? "in" : "out");
            *found += name;
            if (type == LIBUSB_TRANSFER_TYPE_BULK) bulk |= EndpointBit(endpoint.bEndpointAddress);
        }
    }
    libusb_free_config_descriptor(config);
    uint32_t needed = 0;
    for (uint32_t pipe : {1u, 2u})
        needed |= EndpointBit(OutEndpoint(pipe)) | EndpointBit(InEndpoint(pipe));
    return (bulk & needed) == needed;
}

}  // namespace

UsbSession::UsbSession(libusb_context* context, const UsbOptions& options)
    : m_context(context),
      m_options(options),
      m_readTimeoutMs(options.readTimeoutMs != 0 ? options.readTimeoutMs : kReadTimeoutMs) {}

UsbSession::~UsbSession() {
    posix_io::MutexLock lock(m_openMutex);
    CloseDevice();
}

int32_t UsbSession::Open(uint32_t index, Seen* opened) {
    if (index != 0) {
        m_problem = OpenProblem::NotFound;
        return -1;
    }
    posix_io::MutexLock openLock(m_openMutex);
    // A handle the caller abandoned (an arrival while it was open) ends here.
    CloseDevice();
    DeviceList list(m_context);
    if (!list.Ok()) {
        m_problem = OpenProblem::Failed;
        return -1;
    }
    bool anyProbe = false, wrongMode = false;
    std::vector<Candidate> candidates = Candidates(list, m_options, &anyProbe, &wrongMode);
    if (candidates.empty()) {
        m_problem = anyProbe    ? OpenProblem::NoMatch
                    : wrongMode ? OpenProblem::WrongMode
                                : OpenProblem::NotFound;
        return -1;
    }
    const Candidate& chosen = candidates.front();
    std::string endpoints;
    if (!HasProbePipes(chosen.device, &endpoints)) {
        SetLayoutFound(std::move(endpoints));
        m_problem = OpenProblem::Layout;
        return -1;
    }
    libusb_device_handle* handle = nullptr;
    int rc = libusb_open(chosen.device, &handle);
    if (rc != 0) {
        m_problem = rc == LIBUSB_ERROR_ACCESS      ? OpenProblem::Permission
                    : rc == LIBUSB_ERROR_NO_DEVICE ? OpenProblem::NotFound
                                                   : OpenProblem::Failed;
        return -1;
    }
    // Interface 0 only: the probe's serial port (its other interfaces) stays
    // with the kernel. A driver bound to interface 0 is detached for the claim
    // and given back at the release.
    const bool driverBound = libusb_kernel_driver_active(handle, kInterface) == 1;
    libusb_set_auto_detach_kernel_driver(handle, 1);
    rc = libusb_claim_interface(handle, kInterface);
    if (rc != 0) {
        libusb_close(handle);
        m_problem = rc == LIBUSB_ERROR_BUSY     ? OpenProblem::Busy
                    : rc == LIBUSB_ERROR_ACCESS ? OpenProblem::Permission
                                                : OpenProblem::Failed;
        return -1;
    }
    {
        posix_io::MutexLock lock(m_deviceMutex);
        m_handle = handle;
        m_stalled = 0;
    }
    std::string serial = ReadSerial(kSysfsUsbDevices, chosen.seen.busPort);
    {
        posix_io::MutexLock lock(m_lastMutex);
        m_openNote = "usb: opened " + chosen.seen.busPort + ", claimed interface 0" +
                     (driverBound ? ", its kernel driver detached until the close"
                                  : " (no kernel driver on it)");
    }
    {
        posix_io::MutexLock lock(m_lastMutex);
        m_lastOpened = {chosen.seen.busPort, std::move(serial), chosen.seen.id, false};
    }
    *opened = chosen.seen;
    m_problem = OpenProblem::None;
    if (++m_handleValue <= 0) m_handleValue = 1;
    return m_handleValue;
}

void UsbSession::Close(uint32_t index) {
    if (index != 0) return;
    posix_io::MutexLock openLock(m_openMutex);
    CloseDevice();
}

TransferStatus UsbSession::Write(uint32_t index, uint32_t pipe, std::span<const uint8_t> data,
                                 uint32_t* done) {
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

TransferStatus UsbSession::Read(uint32_t index, uint32_t pipe, std::span<uint8_t> buffer,
                                uint32_t* done) {
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

std::string UsbSession::OpenNote() const {
    posix_io::MutexLock lock(m_lastMutex);
    return m_openNote;
}

int UsbSession::LastOpenedProbe(ProbeInfo* out) const {
    posix_io::MutexLock lock(m_lastMutex);
    if (m_lastOpened.busPort.empty() || out == nullptr) return 0;
    *out = m_lastOpened;
    return 1;
}

// Cancels what is in flight, waits for every transfer to come back, then
// releases the device.
void UsbSession::CloseDevice() {
    libusb_device_handle* handle = nullptr;
    {
        posix_io::MutexLock lock(m_deviceMutex);
        if (m_handle == nullptr) return;
        m_closing = true;
        for (libusb_transfer* transfer : m_inFlight) libusb_cancel_transfer(transfer);
        while (m_users != 0) m_deviceChanged.wait(lock.Unique());
        handle = m_handle;
        m_handle = nullptr;
        m_closing = false;
    }
    // The release gives interface 0 back to a kernel driver detached at the open.
    libusb_release_interface(handle, kInterface);
    libusb_close(handle);
}

TransferStatus UsbSession::Transfer(uint8_t endpoint, unsigned char* data, int length,
                                    unsigned timeoutMs, int* moved) {
    *moved = 0;
    libusb_device_handle* handle = nullptr;
    bool clearHalt = false;
    {
        posix_io::MutexLock lock(m_deviceMutex);
        if (m_handle == nullptr || m_closing) return TransferStatus::Closed;
        handle = m_handle;
        ++m_users;
        clearHalt = (m_stalled & EndpointBit(endpoint)) != 0;
    }
    struct Leave {
        UsbSession* self;
        ~Leave() {
            posix_io::MutexLock lock(self->m_deviceMutex);
            --self->m_users;
            self->m_deviceChanged.notify_all();
        }
    } leave{this};

    if (clearHalt) {
        int rc = libusb_clear_halt(handle, endpoint);
        if (rc == LIBUSB_ERROR_NO_DEVICE) return TransferStatus::NoDevice;
        if (rc != 0) return TransferStatus::Error;
        posix_io::MutexLock lock(m_deviceMutex);
        m_stalled &= ~EndpointBit(endpoint);
    }
    TransferPtr transfer(libusb_alloc_transfer(0));
    if (!transfer) return TransferStatus::Error;
    Pending pending{this};
    libusb_fill_bulk_transfer(transfer.get(), handle, endpoint, data, length,
                              &UsbSession::TransferDone, &pending, timeoutMs);
    posix_io::HandOver(transfer.get());
    int rc = libusb_submit_transfer(transfer.get());
    if (rc != 0)
        return rc == LIBUSB_ERROR_NO_DEVICE ? TransferStatus::NoDevice : TransferStatus::Error;
    bool cancelledLate = false;
    {
        posix_io::MutexLock lock(m_deviceMutex);
        m_inFlight.insert(transfer.get());
        // A close that began after the submit has not seen this transfer.
        if (m_closing) libusb_cancel_transfer(transfer.get());
        // libusb ends the transfer at its time-out; the extra second only
        // guards against an event loop that has stopped turning.
        auto limit = std::chrono::milliseconds(timeoutMs) + std::chrono::seconds(1);
        if (!m_deviceChanged.wait_for(lock.Unique(), limit, [&] { return pending.done; })) {
            cancelledLate = true;
            libusb_cancel_transfer(transfer.get());
            while (!pending.done) m_deviceChanged.wait(lock.Unique());
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
            posix_io::MutexLock lock(m_deviceMutex);
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

void LIBUSB_CALL UsbSession::TransferDone(libusb_transfer* transfer) {
    posix_io::TakeOver(transfer);
    auto* pending = static_cast<Pending*>(transfer->user_data);
    UsbSession* self = pending->owner;
    posix_io::MutexLock lock(self->m_deviceMutex);
    pending->done = true;
    self->m_deviceChanged.notify_all();
}

}  // namespace probelib::usb
