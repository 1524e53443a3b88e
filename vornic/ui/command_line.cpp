// The window program's options on the shared parser, and its own checks.
#include "vornic/ui/command_line.h"

#include <charconv>
#include <cstdio>
#include <string_view>
#include <vector>

#include "platform/probelib/lifetime.h"
#include "platform/probelib/sim/faults.h"
#include "vornic/options/options.h"

namespace vornic_ui {

namespace {
// The toolkit's own options that take a value as the next argument (or after
// '='), in their one-dash form; the toolkit takes the two-dash form too.
constexpr std::string_view kToolkitValueOptions[] = {"platform",
                                                     "platformpluginpath",
                                                     "platformtheme",
                                                     "plugin",
                                                     "qwindowgeometry",
                                                     "qwindowicon",
                                                     "qwindowtitle",
                                                     "session",
                                                     "display",
                                                     "style",
                                                     "stylesheet",
                                                     "geometry",
                                                     "title",
                                                     "name",
                                                     "visual",
                                                     "ncols",
                                                     "fn",
                                                     "font",
                                                     "bg",
                                                     "background",
                                                     "fg",
                                                     "foreground",
                                                     "btn",
                                                     "button",
                                                     "im",
                                                     "inputstyle",
                                                     "qmljsdebugger",
                                                     "graphicssystem"};
constexpr std::string_view kToolkitFlags[] = {"reverse", "widgetcount", "nograb",     "dograb",
                                              "sync",    "cmap",        "testability"};

// The option name of a toolkit argument ("style" for -style=x or --style), or
// empty for an argument of ours.
std::string_view ToolkitName(std::string_view arg, bool* takesValue) {
    if (arg.size() < 2 || arg[0] != '-') return {};
    arg.remove_prefix(arg[1] == '-' ? 2 : 1);
    const std::string_view name = arg.substr(0, arg.find('='));
    for (std::string_view option : kToolkitValueOptions)
        if (name == option) {
            *takesValue = name.size() == arg.size();
            return name;
        }
    for (std::string_view flag : kToolkitFlags)
        if (arg == flag) {
            *takesValue = false;
            return name;
        }
    return {};
}

// A whole decimal number of at least `least`, or -1.
int Number(std::string_view text, int least) {
    int value = -1;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value >= least ? value : -1;
}
}  // namespace

const char* UsageText() {
    return "usage: vornic [--simulate[=FAULTS]] [--sim-state=FILE] [--usb-id=VID:PID]...\n"
           "              [--probe=SERIAL|BUS-PORT] [--lang=zh|en] [--trace=FILE] [FILE]\n"
           "  --simulate[=FAULTS]  use the simulated probe and target; FAULTS is\n"
           "                       FAULT[,FAULT...], e.g. protected,latency-us:200\n"
           "                       (vornic-cli --help-faults lists every fault)\n"
           "  --sim-state=FILE     keep the simulated target's memory in FILE\n"
           "  --usb-id=VID:PID     also accept a probe with this USB id (repeatable)\n"
           "  --probe=SERIAL|BUS-PORT  the probe to use when several are attached\n"
           "                       (vornic-cli list shows them); default: the first\n"
           "  --lang=zh|en         language of the window (default: the locale's, LC_ALL,\n"
           "                       LC_MESSAGES or LANG; zh when none names a language)\n"
           "  --trace=FILE         write every transfer with the probe to FILE\n"
           "  --screenshot=PNG     write a picture of the window to PNG and quit\n"
           "  --screenshot-click=ID  click control ID first and wait for the job\n"
           "  --close-after=MS[:no]  close the window after MS ms; a running job's\n"
           "                       quit question is answered yes (or no)\n"
           "  -h, --help | -V, --version\n"
           "  FILE                 Intel HEX, BIN or ELF file shown in the path box\n"
           "Options may come before or after FILE; -- ends them. The toolkit's own\n"
           "options (-platform offscreen, -style ...) are accepted too.\n";
}

int ParseCommandLine(int argc, const char* const* argv, CommandLine* out, std::string* error) {
    vornic_options::Parser parser;
    std::string screenshot, click, closeAfter;
    parser.AddValue("--screenshot", &screenshot);
    parser.AddValue("--screenshot-click", &click);
    parser.AddValue("--close-after", &closeAfter);
    std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    vornic_options::CommonOptions common;
    if (parser.Parse(args, &common, error) == 0) return 0;

    CommandLine result;
    result.backend = vornic_options::BackendChoiceOf(common);
    if (result.backend.probe == "all") {
        // Several probes at once is a vornic-cli job: the window drives one.
        *error = "--probe=all belongs to vornic-cli; the window takes one SERIAL or BUS-PORT";
        return 0;
    }
    result.useChinese = common.useChinese;
    result.help = common.help;
    result.version = common.version;
    // Later files are ignored.
    if (!common.arguments.empty()) result.file = common.arguments.front();
    if (!screenshot.empty()) result.screenshot = screenshot;
    if (!click.empty() && (result.screenshotClick = Number(click, 1)) < 0) {
        *error = "--screenshot-click takes a control id";
        return 0;
    }
    if (!closeAfter.empty()) {
        std::string_view ms = closeAfter;
        if (ms.size() > 3 && ms.substr(ms.size() - 3) == ":no") {
            result.closeAnswer = false;
            ms.remove_suffix(3);
        }
        if ((result.closeAfterMs = Number(ms, 0)) < 0) {
            *error = "--close-after takes milliseconds: --close-after=MS[:no]";
            return 0;
        }
    }
    *out = std::move(result);
    return 1;
}

int CheckBeforeToolkit(int argc, const char* const* argv, std::string* error) {
    std::vector<const char*> ours;
    bool ended = false;
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        bool takesValue = false;
        if (i > 0 && !ended && !ToolkitName(arg, &takesValue).empty()) {
            if (takesValue) ++i;
            continue;
        }
        ended = ended || arg == "--";
        ours.push_back(argv[i]);
    }
    CommandLine commandLine;
    if (ParseCommandLine(static_cast<int>(ours.size()), ours.data(), &commandLine, error) == 0)
        return 0;
    probelib::sim::Faults faults;
    return commandLine.backend.backend != "sim" ||
           probelib::sim::ParseFaults(commandLine.backend.simFaults, &faults, error);
}

int PrintUsageOrVersion(int argc, const char* const* argv) {
    // Only these two are looked for: the toolkit has not taken its own
    // options out yet, so the whole command line cannot be parsed here.
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg == "--") break;
        if (arg == "--help" || arg == "-h") {
            std::fputs(UsageText(), stdout);
            return 1;
        }
        if (arg == "--version" || arg == "-V") {
            std::printf("%s\n", vornic_options::VersionText("vornic").c_str());
            return 1;
        }
    }
    return 0;
}

}  // namespace vornic_ui
