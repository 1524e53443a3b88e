// Options of the window program: accepted forms, refusals, the first file.
#include "command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace vornic_ui {
namespace {

int Parse(std::vector<const char*> args, CommandLine* out, std::string* error) {
    args.insert(args.begin(), "vornic");
    return ParseCommandLine(static_cast<int>(args.size()), args.data(), out, error);
}

TEST(CommandLineTest, DefaultsAreChineseRealProbeNoFile) {
    CommandLine cl;
    std::string error;
    ASSERT_EQ(Parse({}, &cl, &error), 1);
    EXPECT_TRUE(cl.useChinese);
    EXPECT_FALSE(cl.simulate);
    EXPECT_FALSE(cl.file.has_value());
}

TEST(CommandLineTest, OptionsAndFirstFile) {
    CommandLine cl;
    std::string error;
    ASSERT_EQ(Parse({"--lang=en", "--simulate=unplug:3", "a b%s.hex", "--sim-state=/tmp/st",
                     "second.hex"},
                    &cl, &error),
              1)
        << error;
    EXPECT_FALSE(cl.useChinese);
    EXPECT_TRUE(cl.simulate);
    EXPECT_EQ(cl.simFaults, "unplug:3");
    EXPECT_EQ(cl.simState, "/tmp/st");
    ASSERT_TRUE(cl.file.has_value());
    EXPECT_EQ(*cl.file, "a b%s.hex");  // only the first non-option, bytes as given
}

TEST(CommandLineTest, UsbIdsAddUpAndProbeIsKept) {
    CommandLine cl;
    std::string error;
    ASSERT_EQ(Parse({"--usb-id=1a86:8020", "--probe=1-1.4", "--usb-id=dead:BEEF"}, &cl, &error), 1)
        << error;
    ASSERT_EQ(cl.usbIds.size(), 2u);
    EXPECT_EQ(cl.usbIds[0], (probelib::UsbId{0x1a86, 0x8020}));
    EXPECT_EQ(cl.usbIds[1], (probelib::UsbId{0xdead, 0xbeef}));
    EXPECT_EQ(cl.probe, "1-1.4");
}

TEST(CommandLineTest, BareSimulateAndDoubleDash) {
    CommandLine cl;
    std::string error;
    ASSERT_EQ(Parse({"--simulate", "--", "--lang=en"}, &cl, &error), 1);
    EXPECT_TRUE(cl.simulate);
    EXPECT_TRUE(cl.simFaults.empty());
    EXPECT_TRUE(cl.useChinese);  // after "--" it is a file name
    EXPECT_EQ(cl.file.value_or(""), "--lang=en");
}

TEST(CommandLineTest, RefusesBadOptions) {
    struct Case {
        const char* arg;
        const char* why;
    } cases[] = {
        {"--lang=fr", "only zh and en exist"},
        {"--lang", "language missing"},
        {"--sim-state", "file missing"},
        {"--sim-state=", "empty file"},
        {"--simulatex", "prefix of a known option is not that option"},
        {"--bogus", "unknown option"},
        {"--screenshot-click=abc", "id must be a number"},
        {"--close-after", "delay missing"},
        {"--close-after=:no", "delay missing before the answer"},
        {"--close-after=-5", "negative delay"},
        {"--close-after=100:maybe", "only :no may follow the delay"},
        {"--usb-id", "id missing"},
        {"--usb-id=1a86", "product id missing"},
        {"--usb-id=1a86:8010x", "not hex"},
        {"--probe", "selector missing"},
        {"--probe=", "empty selector"},
        {"--trace=", "empty trace file"},
        {"--probe=all", "the window drives one probe"},
    };
    for (const Case& c : cases) {
        CommandLine cl;
        std::string error;
        EXPECT_EQ(Parse({c.arg}, &cl, &error), 0) << c.arg << ": " << c.why;
        EXPECT_FALSE(error.empty()) << c.arg;
    }
}

TEST(CommandLineTest, CloseAfterTakesADelayAndAnOptionalNo) {
    CommandLine cl;
    std::string error;
    ASSERT_EQ(Parse({"--close-after=1500"}, &cl, &error), 1) << error;
    EXPECT_EQ(cl.closeAfterMs, 1500);
    EXPECT_TRUE(cl.closeAnswer);
    ASSERT_EQ(Parse({"--close-after=0:no"}, &cl, &error), 1) << error;
    EXPECT_EQ(cl.closeAfterMs, 0);
    EXPECT_FALSE(cl.closeAnswer);
    ASSERT_EQ(Parse({"x.hex"}, &cl, &error), 1);
    EXPECT_EQ(cl.closeAfterMs, -1);  // no close unless asked
}

TEST(CommandLineTest, FileNamesAreTakenWordForWord) {
    for (const char* name : {"-", "[old,new]", "a=b.hex"}) {
        CommandLine cl;
        std::string error;
        ASSERT_EQ(Parse({"--trace=t.log", name, "--version"}, &cl, &error), 1) << name;
        EXPECT_EQ(cl.file.value_or(""), name);
        EXPECT_EQ(cl.trace, "t.log");
        EXPECT_TRUE(cl.version);
    }
}

}  // namespace
}  // namespace vornic_ui
