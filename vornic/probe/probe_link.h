// The frames of the probe protocol (its vocabulary is probe_protocol.h), the
// command exchange on pipe 1, and the link state: open/close toggle, hot-plug
// routine, start-up.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>

#include "platform/probelib/probe_protocol.h"
#include "vornic/outcome/outcome.h"

namespace vornic_probe {

inline constexpr uint32_t kProbeIndex = 0;
inline constexpr uint32_t kReplyReadLength = 20;
inline constexpr uint32_t kProtectChangeReadLength = 10;
inline constexpr uint32_t kStatusReadLength = 20;

// A request as built for pipe 1: marker, command, payload length, payload.
struct ProbeRequest {
    std::array<uint8_t, 11> bytes{};
};

// A reply read from pipe 1 into a cleared buffer, examined by byte position.
struct ProbeReply {
    std::array<uint8_t, 20> bytes{};
    uint8_t Marker() const { return bytes[0]; }
    uint8_t Command() const { return bytes[1]; }
    uint8_t Length() const { return bytes[2]; }
    uint8_t Result() const { return bytes[3]; }
    // Marker 0x82 and the echo of `command`.
    bool Answers(ProbeCommand command) const {
        return bytes[0] == kReplyMarker && bytes[1] == static_cast<uint8_t>(command);
    }
};

// A status frame read from pipe 2.
struct DataStatus {
    std::array<uint8_t, 20> bytes{};
    uint8_t Marker() const { return bytes[0]; }
    uint8_t Status() const { return bytes[3]; }
};

// -1 while no probe is open; otherwise the value CH375OpenDevice returned.
extern std::atomic<int32_t> g_deviceHandle;

// The single buffer every request is built in (only inside ExchangeCommand).
extern ProbeRequest g_requestBuffer;

// One request and its reply on pipe 1: `payload` is 1 or 4 bytes, `readLength`
// at most 20. The reply buffer is cleared first, so a failed read leaves
// byte 0 at 0x00. The outcome is the exchange's: a reply of at least four
// bytes decides it (WrongMarker unless it carries marker 0x82 and the echo of
// `command`, else Ok: the caller checks the result byte); without one it is a
// transport failure: ProbeGone, Stalled or TimedOut when the library says so,
// else NotSent (the write failed), ShortWrite, NoReply or ShortReply. A bad
// payload or length sends nothing (NotSent).
// Exchanges are serialised among themselves; callers hold a ProbeSession.
Outcome ExchangeCommand(ProbeCommand command, std::span<const uint8_t> payload, uint32_t readLength,
                        ProbeReply* reply);
// The same with a one-byte payload, or a 32-bit value sent big-endian.
Outcome ExchangeCommand(ProbeCommand command, uint8_t payload, uint32_t readLength,
                        ProbeReply* reply);
Outcome ExchangeCommandWord(ProbeCommand command, uint32_t value, uint32_t readLength,
                            ProbeReply* reply);

// The reason of a failed transfer: the cause the probe library gave for the
// last transfer of this thread (a removed probe, a stall, a time-out), or
// `otherwise` when it names none of those.
Reason TransferFailure(Reason otherwise);

// A command whose reply was not accepted failed as its exchange did, or, when
// the exchange went through, because the probe refused.
inline Outcome Refusal(Outcome exchanged) {
    return exchanged.Ok() ? Outcome(Reason::NotAccepted) : exchanged;
}

// Click handler of IDC_OPEN_DEVICE: opens or closes the probe by its caption.
void OnOpenCloseDevice();

// Hot-plug routine: kDeviceArrival, kDeviceRemoval, anything else ignored.
void OnDeviceNotify(uint32_t event);

// The whole start-up of the link: link text "Wait for device link", register
// OnDeviceNotify, one open attempt.
void StartUpProbeLink();
// The open attempt alone, for a dialog that sets the text and registers the
// routine itself: on success the link text, the close caption and the log line.
void OpenProbeAtStartUp();

}  // namespace vornic_probe
