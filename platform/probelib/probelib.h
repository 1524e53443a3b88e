// The probe library as the flash code calls it: the five CH375* calls, and the
// choice of backend (real probe or simulated one) made once at start-up. The
// usb backend's selection is in usb/usb_select.h, the library's lifetime (trace,
// notifications, shut-down) in lifetime.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The events a hot-plug routine receives.
inline constexpr uint32_t kDeviceArrival = 3;
inline constexpr uint32_t kDeviceRemoval = 0;

// Hot-plug routine: kDeviceArrival or kDeviceRemoval.
using CH375NotifyRoutine = void (*)(uint32_t event);

// Opens probe `index`; returns a handle value, or -1 when no probe could be opened.
int32_t CH375OpenDevice(uint32_t index);
void CH375CloseDevice(uint32_t index);
// Sends *length bytes on `pipe` (1 or 2); on return *length holds the count sent.
// Returns 1 on success, 0 on failure.
int CH375WriteEndP(uint32_t index, uint32_t pipe, void* buffer, uint32_t* length);
// Reads at most *length bytes from `pipe` into buffer; on return *length holds
// the count read (0 when nothing came). Returns 1 when bytes came, 0 otherwise.
int CH375ReadEndP(uint32_t index, uint32_t pipe, void* buffer, uint32_t* length);
// Registers (or, with a null routine, cancels) the hot-plug routine; it is
// called on the library's own notification thread. `deviceId` is unused.
int CH375SetDeviceNotify(uint32_t index, const char* deviceId, CH375NotifyRoutine routine);

namespace probelib {

// Chooses the backend: "sim" (the simulated probe, configured by the fault
// option string `simFaults` and `simState`, a state file path or empty)
// or "usb" (a real probe through libusb, configured by SetUsbOptions of
// platform/probelib/usb/usb_select.h).
// Returns 1, or 0 with the reason in *error. Call before any CH375* call; a
// later call replaces the backend (tests do so between cases).
int SelectBackend(std::string_view name, std::string_view simFaults, std::string_view simState,
                  std::string* error);

}  // namespace probelib
