// Options of the window program: what each accepted command line comes to,
// and the refusals.
#include "vornic/ui/command_line.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace vornic_ui {
namespace {

// Parses the arguments given one per line.
int Parse(const std::string& lines, CommandLine* out, std::string* error) {
    std::vector<std::string> args{"vornic"};
    std::istringstream in(lines);
    for (std::string arg; std::getline(in, arg);) args.push_back(arg);
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    return ParseCommandLine(static_cast<int>(argv.size()), argv.data(), out, error);
}

// The settings that differ from the defaults, the language always.
std::string Describe(const CommandLine& c) {
    std::string out = c.useChinese ? "zh" : "en";
    const probelib::BackendChoice& b = c.backend;
    if (b.backend == "sim") out += " sim=" + b.simFaults;
    if (!b.simState.empty()) out += " state=" + b.simState;
    for (const probelib::UsbId& id : b.extraIds) out += " id=" + probelib::FormatUsbId(id);
    if (!b.probe.empty()) out += " probe=" + b.probe;
    if (!b.trace.empty()) out += " trace=" + b.trace;
    if (c.file) out += " file=" + *c.file;
    if (c.closeAfterMs >= 0) out += " close=" + std::to_string(c.closeAfterMs);
    if (!c.closeAnswer) out += ":no";
    if (c.screenshotClick != 0) out += " click=" + std::to_string(c.screenshotClick);
    if (c.version) out += " version";
    return out;
}

TEST(CommandLineTest, AcceptedForms) {
    struct Case {
        const char* args;  // one per line
        const char* settings;
    } cases[] = {
        {"", "zh"},
        {"--lang=en\n--simulate=unplug:3\na b%s.hex\n--sim-state=/tmp/st\nsecond.hex",
         "en sim=unplug:3 state=/tmp/st file=a b%s.hex"},
        {"--usb-id=1a86:8020\n--probe=1-1.4\n--usb-id=dead:BEEF",
         "zh id=1a86:8020 id=dead:beef probe=1-1.4"},
        {"--simulate\n--\n--lang=en", "zh sim= file=--lang=en"},
        {"--close-after=1500\n--screenshot-click=1006", "zh close=1500 click=1006"},
        {"--close-after=0:no", "zh close=0:no"},
        {"--trace=t.log\n-\n--version", "zh trace=t.log file=- version"},
        {"[old,new]\na=b.hex", "zh file=[old,new]"},
    };
    for (const Case& c : cases) {
        CommandLine cl;
        std::string error;
        EXPECT_EQ(1, Parse(c.args, &cl, &error)) << c.args << ": " << error;
        EXPECT_EQ(c.settings, Describe(cl)) << c.args;
    }
}

TEST(CommandLineTest, Refusals) {
    struct Case {
        const char* arg;
        const char* why;
    } cases[] = {
        {"--lang=fr", "only zh and en exist"},
        {"--simulatex", "prefix of a known option is not that option"},
        {"--screenshot-click=abc", "id must be a number"},
        {"--close-after", "delay missing"},
        {"--close-after=:no", "delay missing before the answer"},
        {"--close-after=-5", "negative delay"},
        {"--close-after=100:maybe", "only :no may follow the delay"},
        {"--probe=all", "the window drives one probe"},
    };
    for (const Case& c : cases) {
        CommandLine cl;
        std::string error;
        EXPECT_EQ(0, Parse(c.arg, &cl, &error)) << c.arg << ": " << c.why;
        EXPECT_FALSE(error.empty()) << c.arg;
    }
}

}  // namespace
}  // namespace vornic_ui
