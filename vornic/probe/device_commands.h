// The short device commands: read-protect status (with the status banner),
// disable and enable read protection, soft reset.
#pragma once

#include <atomic>
#include <cstdint>

#include "vornic/outcome/outcome.h"

namespace vornic_probe {

// Non-zero while the target's read protection is taken to be on; 1 at start.
extern std::atomic<int32_t> g_readProtected;

// Queries the protection, updates the flag and the banner. Ok on a valid
// answer. Does not test g_deviceHandle; the caller holds the session.
Outcome QueryDeviceStatus();

// Button handlers (user-interface thread). Each takes the probe session for
// its duration and is refused with the busy message when it is taken. The
// report lists the command's step (Status, Unprotect, Protect) and, after a
// protection change, the reset and the status query that follow it.
Report OnCheckStatus();
Report OnDisableReadProtect();
Report OnEnableReadProtect();

// Resets the target; logs the outcome when the probe answers (a reply with a
// wrong marker or none at all is silent). The caller holds the session.
Outcome SoftResetDevice();

}  // namespace vornic_probe
