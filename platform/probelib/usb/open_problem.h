// Why the probe could not be opened, and what the user is told about it.
#pragma once

#include <string>
#include <string_view>

namespace probelib {

// Why the last CH375OpenDevice returned -1.
enum class OpenProblem {
    None,        // the last open succeeded, or none was tried
    NotFound,    // no probe with an accepted id is attached
    NoMatch,     // probes are attached, but none is the one --probe names
    WrongMode,   // only probes in the wrong mode are attached
    Permission,  // the system refused access to the device node
    Busy,        // another program holds the probe's interface
    Layout,      // the probe's interface 0 lacks the bulk endpoints downloads use
    Failed,      // any other USB error
};

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
