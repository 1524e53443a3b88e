// Options of the window program: what each accepted command line comes to,
// and the refusals.
#include "vornic/ui/command_line.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
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

// LC_ALL, LC_MESSAGES and LANG set (or unset: null) for the time of a test.
class Locale {
  public:
    Locale(const char* lcAll = nullptr, const char* lcMessages = nullptr,
           const char* lang = nullptr) {
        const char* values[] = {lcAll, lcMessages, lang};
        for (int i = 0; i < 3; ++i) {
            if (const char* old = std::getenv(kNames[i])) m_saved[i] = old;
            values[i] ? setenv(kNames[i], values[i], 1) : unsetenv(kNames[i]);
        }
    }
    ~Locale() {
        for (int i = 0; i < 3; ++i)
            m_saved[i] ? setenv(kNames[i], m_saved[i]->c_str(), 1) : unsetenv(kNames[i]);
    }

  private:
    static constexpr const char* kNames[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    std::optional<std::string> m_saved[3];
};

TEST(CommandLineTest, LanguageFromTheLocale) {
    const struct {
        const char *lcAll, *lcMessages, *lang, *args, *language;
    } rows[] = {
        {nullptr, nullptr, nullptr, "", "zh"},
        {nullptr, nullptr, "en_US.UTF-8", "", "en"},
        {nullptr, nullptr, "zh_CN.UTF-8", "", "zh"},
        {nullptr, nullptr, "C", "", "zh"},
        {nullptr, nullptr, "C.UTF-8", "", "zh"},
        {nullptr, nullptr, "POSIX", "", "zh"},
        {nullptr, "zh_CN.UTF-8", "en_US.UTF-8", "", "zh"},        // LC_MESSAGES before LANG
        {"en_GB.UTF-8", "zh_CN.UTF-8", "zh_CN.UTF-8", "", "en"},  // LC_ALL first
        {"C", nullptr, "en_US.UTF-8", "", "zh"},                  // LC_ALL=C names no language
        {"", "", "en_US.UTF-8", "", "en"},                        // empty is unset
        {nullptr, nullptr, "en_US.UTF-8", "--lang=zh", "zh"},
        {nullptr, nullptr, "zh_CN.UTF-8", "--lang=en", "en"},
    };
    for (const auto& row : rows) {
        Locale locale(row.lcAll, row.lcMessages, row.lang);
        CommandLine cl;
        std::string error;
        ASSERT_EQ(1, Parse(row.args, &cl, &error)) << error;
        EXPECT_EQ(row.language, Describe(cl))
            << (row.lcAll ? row.lcAll : "-") << " " << (row.lcMessages ? row.lcMessages : "-")
            << " " << (row.lang ? row.lang : "-") << " " << row.args;
    }
}

TEST(CommandLineTest, AcceptedForms) {
    Locale none;
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
    Locale none;
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
