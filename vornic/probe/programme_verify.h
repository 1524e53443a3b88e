// The programme/verify engine: sends g_firmwareImage to the probe on the data
// pipe, to be written into the target's flash or compared with it.
#pragma once

#include <cstdint>
#include <functional>

// Called after each packet write with the bytes sent so far and the run length.
using ProgressCallback = std::function<void(uint32_t sent, uint32_t total)>;

// One programme run (verifyOnly 0) or verify run (non-zero). Logs each step and
// the outcome; returns 1 when the run ended with a success message, 0 otherwise.
// The caller holds the probe session.
int ProgrammeVerify(uint32_t verifyOnly, const ProgressCallback& progress = {});
