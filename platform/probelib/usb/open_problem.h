// What the user is told when the probe cannot be opened (the reasons are
// OpenProblem, in platform/probelib/probe_types.h).
#pragma once

#include <string>
#include <string_view>

#include "platform/probelib/probe_types.h"

namespace probelib {

// One line for the user about `problem` (empty for None), in Chinese or in
// English. `ruleFile` is the udev rule to suggest for a permission refusal.
std::string OpenProblemText(OpenProblem problem, std::string_view ruleFile, bool chinese);
// The endpoints the last open refused for Layout found on interface 0
// ("0x81 interrupt in, 0x02 bulk out"), named in that problem's text.
void SetLayoutFound(std::string endpoints);

// The udev rule file that came with the running program (installed beside it
// under lib/udev/rules.d, or in its build tree); empty when none is found.
std::string ShippedRuleFile();

}  // namespace probelib
