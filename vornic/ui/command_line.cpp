// Parsing of the window program's options.
#include "command_line.h"

#include <charconv>
#include <string_view>

namespace vornic_ui {

namespace {
// True when arg is name or begins with name followed by '='; *value gets what
// follows the '=' (empty when there is none), *hasValue whether there was one.
bool MatchOption(std::string_view arg, std::string_view name, std::string_view* value,
                 bool* hasValue) {
    if (arg.substr(0, name.size()) != name) return false;
    std::string_view rest = arg.substr(name.size());
    if (rest.empty()) {
        *value = {};
        *hasValue = false;
        return true;
    }
    if (rest[0] != '=') return false;
    *value = rest.substr(1);
    *hasValue = true;
    return true;
}
}  // namespace

const char* UsageText() {
    return "usage: vornic [--simulate[=FAULTS]] [--sim-state=FILE] [--usb-id=VID:PID]...\n"
           "              [--probe=SERIAL|BUS-PORT] [--lang=zh|en] [FILE]\n"
           "  --simulate[=FAULTS]  use the simulated probe and target (faults: see README)\n"
           "  --sim-state=FILE     keep the simulated target's memory in FILE\n"
           "  --usb-id=VID:PID     also accept a probe with this USB id (repeatable)\n"
           "  --probe=SERIAL|BUS-PORT  the probe to use when several are attached\n"
           "                       (vornic-cli list shows them); default: the first\n"
           "  --lang=zh|en         language of the window (default zh)\n"
           "  --screenshot=PNG     write a picture of the window to PNG and quit\n"
           "  --screenshot-click=ID  click control ID first and wait for the job\n"
           "  --close-after=MS[:no]  close the window after MS ms; a running job's\n"
           "                       quit question is answered yes (or no)\n"
           "  FILE                 Intel HEX file shown in the path box\n";
}

int ParseCommandLine(int argc, const char* const* argv, CommandLine* out, std::string* error) {
    CommandLine result;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg(argv[i]);
        std::string_view value;
        bool hasValue = false;
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            if (!result.file) result.file = std::string(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            result.help = true;
        } else if (MatchOption(arg, "--simulate", &value, &hasValue)) {
            result.simulate = true;
            result.simFaults = std::string(value);
        } else if (MatchOption(arg, "--sim-state", &value, &hasValue)) {
            if (!hasValue || value.empty()) {
                *error = "--sim-state needs a file: --sim-state=FILE";
                return 0;
            }
            result.simState = std::string(value);
        } else if (MatchOption(arg, "--usb-id", &value, &hasValue)) {
            probelib::UsbId id;
            if (!hasValue || probelib::ParseUsbId(value, &id) == 0) {
                *error = "--usb-id takes a hex id pair: --usb-id=VID:PID";
                return 0;
            }
            result.usbIds.push_back(id);
        } else if (MatchOption(arg, "--probe", &value, &hasValue)) {
            if (!hasValue || value.empty()) {
                *error = "--probe takes a serial number or bus-port: --probe=SERIAL|BUS-PORT";
                return 0;
            }
            result.probe = std::string(value);
        } else if (MatchOption(arg, "--lang", &value, &hasValue)) {
            if (value == "zh") {
                result.useChinese = true;
            } else if (value == "en") {
                result.useChinese = false;
            } else {
                *error = "--lang takes zh or en";
                return 0;
            }
        } else if (MatchOption(arg, "--screenshot-click", &value, &hasValue)) {
            int id = 0;
            auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), id);
            if (!hasValue || ec != std::errc() || end != value.data() + value.size() || id <= 0) {
                *error = "--screenshot-click takes a control id";
                return 0;
            }
            result.screenshotClick = id;
        } else if (MatchOption(arg, "--close-after", &value, &hasValue)) {
            std::string_view ms = value;
            bool keepRunning = false;
            if (ms.size() > 3 && ms.substr(ms.size() - 3) == ":no") {
                keepRunning = true;
                ms.remove_suffix(3);
            }
            int delay = 0;
            auto [end, ec] = std::from_chars(ms.data(), ms.data() + ms.size(), delay);
            if (!hasValue || ec != std::errc() || end != ms.data() + ms.size() || delay < 0) {
                *error = "--close-after takes milliseconds: --close-after=MS[:no]";
                return 0;
            }
            result.closeAfterMs = delay;
            result.closeAnswer = !keepRunning;
        } else if (MatchOption(arg, "--screenshot", &value, &hasValue)) {
            if (!hasValue || value.empty()) {
                *error = "--screenshot needs a file: --screenshot=PNG";
                return 0;
            }
            result.screenshot = std::string(value);
        } else {
            *error = "unknown option: " + std::string(arg);
            return 0;
        }
    }
    *out = std::move(result);
    return 1;
}

}  // namespace vornic_ui
