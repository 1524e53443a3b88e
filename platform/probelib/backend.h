// The seam between the probe library's calls and a backend (libusb or the
// simulator): no USB or simulator types cross it.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "platform/probelib/probe_types.h"

namespace probelib {

// How one transfer ended, as the backend saw it.
enum class TransferStatus {
    Done,      // completed (a write may still have moved fewer bytes than asked)
    TimedOut,  // nothing (more) came or went in time; a missing reply is one
    Stalled,   // the endpoint stalled
    NoDevice,  // the probe is gone
    Closed,    // the device is not open (never opened, or closed meanwhile)
    Error,     // any other failure, or a request the backend cannot carry out
};

// Posts a hot-plug event (kDeviceArrival, kDeviceRemoval) to the library's notification
// thread; never blocks and may be called from any thread.
using EventSink = std::function<void(uint32_t event)>;

class Backend {
  public:
    virtual ~Backend() = default;
    // Handle value, or -1.
    virtual int32_t Open(uint32_t index) = 0;
    virtual void Close(uint32_t index) = 0;
    // Transfers on pipe 1 or 2; *done gets the byte count (a read may be Done
    // with none: an empty packet).
    virtual TransferStatus Write(uint32_t index, uint32_t pipe, std::span<const uint8_t> data,
                                 uint32_t* done) = 0;
    virtual TransferStatus Read(uint32_t index, uint32_t pipe, std::span<uint8_t> buffer,
                                uint32_t* done) = 0;
    // Given once, before any other call; the backend reports plug events to it.
    virtual void SetEventSink(EventSink sink) = 0;
    // Why the last Open returned -1.
    virtual OpenProblem LastOpenProblem() const { return OpenProblem::None; }
    // The probe the last successful Open opened (it may be gone since): 1, or
    // 0 when none was opened.
    virtual int LastOpenedProbe(ProbeInfo* /*out*/) const { return 0; }
    // What the last successful Open did beyond opening (the trace shows it
    // as a comment line); empty for nothing worth telling.
    virtual std::string OpenNote() const { return {}; }
    // A front end's job has ended (the simulator's swap-after starts here).
    virtual void JobEnded() {}
    // The first file the backend could not write (the simulator's state), as a
    // sentence naming it; empty when none.
    virtual std::string WriteFailure() const { return {}; }
};

}  // namespace probelib
