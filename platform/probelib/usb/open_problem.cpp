// What the user is told when the probe cannot be opened.
#include "platform/probelib/usb/open_problem.h"

#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>

namespace probelib {

namespace {
// The path as a shell word, for a command the user copies by hand.
std::string ShellQuoted(std::string_view path) {
    std::string quoted = "'";
    for (char c : path) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}
std::mutex g_layoutMutex;
std::string g_layoutFound;
}  // namespace

void SetLayoutFound(std::string endpoints) {
    std::lock_guard lock(g_layoutMutex);
    g_layoutFound = std::move(endpoints);
}

std::string OpenProblemText(OpenProblem problem, std::string_view ruleFile) {
    switch (problem) {
        case OpenProblem::None:
            return {};
        case OpenProblem::NotFound:
            return "no probe is attached (looked for USB id 1a86:8010 and any --usb-id)";
        case OpenProblem::NoMatch:
            return "no attached probe is the one --probe names; `vornic-cli list` shows the "
                   "attached probes";
        case OpenProblem::WrongMode:
            return "the probe is in its ARM mode (USB id 1a86:8011 or 1a86:8012) and cannot "
                   "download in it; switch it to its RISC-V mode (1a86:8010): unplug it, hold "
                   "its mode button while plugging it back in, then check with `vornic-cli list`";
        case OpenProblem::Permission: {
            // The rule gives the probe to the user at the seat (uaccess) and to the group
            // plugdev, which SSH sessions and services need.
            const std::string group =
                "; the rule gives the probe to the user at the local seat and to the group "
                "plugdev: for an SSH session or a service, sudo usermod -aG plugdev USER and "
                "log in again";
            // Where udev already reads it, a copy in /etc would hide the package's upgrades.
            if (ruleFile.starts_with("/usr/lib/udev/rules.d/") ||
                ruleFile.starts_with("/lib/udev/rules.d/"))
                return "no permission to open the probe's USB device; the udev rule " +
                       ShellQuoted(ruleFile) +
                       " is installed: plug the probe in again (do not copy the rule into "
                       "/etc/udev/rules.d, which would hide its upgrades)" +
                       group;
            std::string rule =
                ruleFile.empty() ? std::string("60-vornic-probe.rules") : ShellQuoted(ruleFile);
            return "no permission to open the probe's USB device; install the udev rule and "
                   "plug the probe in again: sudo install -m 644 " +
                   rule +
                   " /etc/udev/rules.d/ && sudo udevadm control --reload-rules && sudo "
                   "udevadm trigger" +
                   group;
        }
        case OpenProblem::Busy:
            return "the probe is in use by another program; close that program and try again";
        case OpenProblem::Layout: {
            std::lock_guard lock(g_layoutMutex);
            return "the probe's interface 0 lacks the bulk endpoints 0x01, 0x81, 0x02 and 0x82 "
                   "that downloads use; it has " +
                   (g_layoutFound.empty() ? std::string("none") : g_layoutFound) +
                   " (please report this layout with the probe's firmware version)";
        }
        case OpenProblem::Failed:
            break;
    }
    return "the probe could not be opened (USB error; see the kernel log)";
}

std::string ShippedRuleFile() {
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    const std::filesystem::path dir = exe.parent_path();
    const std::filesystem::path places[] = {
        dir / "../lib/udev/rules.d/60-vornic-probe.rules",  // installed: PREFIX/bin
        dir / "../../packaging/60-vornic-probe.rules",      // build tree: vornic/cli, vornic/ui
    };
    for (const auto& place : places) {
        if (std::filesystem::is_regular_file(place, ec))
            return std::filesystem::weakly_canonical(place, ec).string();
    }
    return {};
}

}  // namespace probelib
