// The programme/verify engine: sends g_firmwareImage to the probe on the data
// pipe, to be written into the target's flash or compared with it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "vornic/outcome/outcome.h"
#include "vornic/probe/job_inputs.h"

namespace vornic_probe {

// Called after each packet write with the bytes sent so far and the run length.
using ProgressCallback = std::function<void(uint32_t sent, uint32_t total)>;

// The start address an address index stands for (1: SRAM, else flash).
constexpr uint32_t StartAddress(int addressIndex) {
    return addressIndex == 1 ? 0x20000000u : 0x08000000u;
}

// One programme run (verifyOnly 0) or verify run (non-zero), the start address
// and the verify box asked of `inputs` when the run needs them. Logs each step
// and the outcome; Ok when the run ended with a success message. A verify run
// whose status says the content is not the image's fails with Differs. An
// image linked for another address than the selected one is refused before
// anything is sent (CheckStartAddress). When a verify run finds other content,
// *firstDifference (if given) gets the start address of the packet that
// differed. The caller holds the probe session.
Outcome ProgrammeVerify(uint32_t verifyOnly, JobInputs& inputs,
                        const ProgressCallback& progress = {},
                        std::optional<uint32_t>* firstDifference = nullptr);

// The checks of the image before a programme or verify step: an image there,
// an address chosen (IDC_ADDRESS index), and the image fitting and placed at
// that start address (CheckStartAddress). Each refusal logs one line.
Outcome PreflightImage(int addressIndex);

// While set, a verify run that finds other content logs no failure line: the
// caller asked only whether the target differs, and tells the answer itself.
void SetVerifyIsCheck(bool check);

}  // namespace vornic_probe
