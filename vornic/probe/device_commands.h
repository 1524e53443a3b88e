// The short device commands: read-protect status (with the status banner),
// disable and enable read protection, soft reset.
#pragma once

#include <atomic>
#include <cstdint>

// Non-zero while the target's read protection is taken to be on; 1 at start.
extern std::atomic<int32_t> g_readProtected;

// Queries the protection, updates the flag and the banner. 1 on a valid
// answer, 0 otherwise. Does not test g_deviceHandle; the caller holds the session.
int QueryDeviceStatus();

// Button handlers (user-interface thread). Each takes the probe session for
// its duration and is refused with the busy message when it is taken.
void OnCheckStatus();
void OnDisableReadProtect();
void OnEnableReadProtect();

// Resets the target; logs the outcome when the probe answers. The caller
// holds the session.
void SoftResetDevice();
