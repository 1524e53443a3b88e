// The usb backend's naming and matching: USB ids, bus-port names and their
// order, the --probe selector, serial numbers from sysfs, read sizes, the
// texts of a failed open, and the udev rule against the accepted ids.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/probelib/lifetime.h"
#include "platform/probelib/probelib.h"
#include "platform/probelib/usb/device_match.h"
#include "platform/probelib/usb/usb_ids.h"
#include "platform/probelib/usb/usb_select.h"

namespace {

using probelib::UsbId;
namespace usb = probelib::usb;

TEST(UsbIdTest, ParsesOnlyWellFormedPairs) {
    UsbId id;
    ASSERT_EQ(1, probelib::ParseUsbId("1a86:8010", &id));
    EXPECT_EQ((UsbId{0x1a86, 0x8010}), id);
    ASSERT_EQ(1, probelib::ParseUsbId("A:FfFf", &id));
    EXPECT_EQ((UsbId{0x000a, 0xffff}), id);
    EXPECT_EQ("000a:ffff", probelib::FormatUsbId(id));

    const char* bad[] = {"",           ":",         "1a86",        "1a86:",       ":8010",
                         "1a86:80100", "1a86-8010", "0x1a86:8010", "1a86:8010:1", "g000:0000",
                         " 1a86:8010"};
    for (const char* text : bad) {
        id = UsbId{1, 2};
        EXPECT_EQ(0, probelib::ParseUsbId(text, &id)) << text;
        EXPECT_EQ((UsbId{1, 2}), id) << text << " must leave the id alone";
    }
}

TEST(UsbIdTest, AcceptedAndWrongModeIdsAreApart) {
    EXPECT_TRUE(usb::IsProbeId({0x1a86, 0x8010}, {}));
    EXPECT_FALSE(usb::IsProbeId({0x1a86, 0x8011}, {}));
    EXPECT_TRUE(usb::IsWrongModeId({0x1a86, 0x8011}));
    EXPECT_TRUE(usb::IsWrongModeId({0x1a86, 0x8012}));
    EXPECT_FALSE(usb::IsWrongModeId({0x1a86, 0x8010}));
    const UsbId extra[] = {{0x1234, 0x5678}};
    EXPECT_TRUE(usb::IsProbeId({0x1234, 0x5678}, extra));
    EXPECT_FALSE(usb::IsProbeId({0x1234, 0x5679}, extra));
}

TEST(UsbIdTest, ReadsAskForWholePackets) {
    EXPECT_EQ(64u, usb::ReadBufferSize(0));
    EXPECT_EQ(64u, usb::ReadBufferSize(10));
    EXPECT_EQ(64u, usb::ReadBufferSize(20));
    EXPECT_EQ(64u, usb::ReadBufferSize(64));
    EXPECT_EQ(128u, usb::ReadBufferSize(65));
    EXPECT_EQ(1, usb::OutEndpoint(1));
    EXPECT_EQ(0x82, usb::InEndpoint(2));
    EXPECT_EQ(0, usb::OutEndpoint(3));
    EXPECT_EQ(0, usb::InEndpoint(0));
}

TEST(BusPortTest, NamesAndOrder) {
    const uint8_t deep[] = {1, 4, 12};
    EXPECT_EQ("3-1.4.12", usb::FormatBusPort(3, deep));
    const uint8_t one[] = {2};
    EXPECT_EQ("1-2", usb::FormatBusPort(1, one));
    EXPECT_EQ("1", usb::FormatBusPort(1, {}));

    EXPECT_TRUE(usb::BusPortLess("1-2", "1-10"));
    EXPECT_FALSE(usb::BusPortLess("1-10", "1-2"));
    EXPECT_TRUE(usb::BusPortLess("1-1", "1-1.4"));
    EXPECT_TRUE(usb::BusPortLess("1-9.9", "2-1"));
    EXPECT_FALSE(usb::BusPortLess("1-3", "1-3"));
}

TEST(BusPortTest, SelectorNamesBusPortOrSerial) {
    EXPECT_TRUE(usb::MatchesSelector("", "1-1", ""));
    EXPECT_TRUE(usb::MatchesSelector("1-1.4", "1-1.4", "ABC"));
    EXPECT_TRUE(usb::MatchesSelector("ABC", "1-1.4", "ABC"));
    EXPECT_FALSE(usb::MatchesSelector("1-1", "1-1.4", "ABC"));
    EXPECT_FALSE(usb::MatchesSelector("abc", "1-1.4", "ABC"));
    // A device without a serial is not matched by an empty-looking one.
    EXPECT_FALSE(usb::MatchesSelector("X", "1-2", ""));
}

TEST(BusPortTest, SerialComesFromSysfsAndOnlyForWellFormedNames) {
    auto root =
        std::filesystem::temp_directory_path() / ("vornic-serial-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root / "1-3");
    std::ofstream(root / "1-3" / "serial") << "VN0042\n";
    std::filesystem::create_directories(root / "secret");
    std::ofstream(root / "secret" / "serial") << "hidden\n";

    EXPECT_EQ("VN0042", usb::ReadSerial(root.string(), "1-3"));
    EXPECT_EQ("", usb::ReadSerial(root.string(), "1-4"));
    EXPECT_EQ("", usb::ReadSerial(root.string(), "secret"));
    EXPECT_EQ("", usb::ReadSerial(root.string(), "1-3/../secret"));
    EXPECT_EQ("", usb::ReadSerial(root.string(), "../1-3"));
    std::filesystem::remove_all(root);
}

TEST(OpenProblemTest, EachProblemIsOneLineThatSaysWhatToDo) {
    EXPECT_EQ("", probelib::OpenProblemText(probelib::OpenProblem::None, {}));
    using P = probelib::OpenProblem;
    for (P p : {P::NotFound, P::NoMatch, P::WrongMode, P::Permission, P::Busy, P::Failed}) {
        std::string text =
            probelib::OpenProblemText(p, "/usr/lib/udev/rules.d/60-vornic-probe.rules");
        EXPECT_FALSE(text.empty());
        EXPECT_EQ(std::string::npos, text.find('\n'));
    }
    std::string permission =
        probelib::OpenProblemText(P::Permission, "/opt/my tools/60-vornic-probe.rules");
    EXPECT_NE(std::string::npos, permission.find("'/opt/my tools/60-vornic-probe.rules'"));
    EXPECT_NE(std::string::npos, permission.find("udevadm control --reload-rules"));
    EXPECT_NE(std::string::npos,
              probelib::OpenProblemText(P::Permission, {}).find(" 60-vornic-probe.rules "));
    std::string wrongMode = probelib::OpenProblemText(P::WrongMode, {});
    EXPECT_NE(std::string::npos, wrongMode.find("RISC-V"));
    EXPECT_NE(std::string::npos, wrongMode.find("1a86:8010"));
}

// The installed udev rule must grant access to exactly the accepted ids.
TEST(OpenProblemTest, UdevRuleListsTheAcceptedIds) {
    std::ifstream in(VORNIC_RULE_FILE);
    ASSERT_TRUE(in) << VORNIC_RULE_FILE;
    std::stringstream all;
    all << in.rdbuf();
    const std::string rules = all.str();
    for (UsbId id : usb::kProbeIds) {
        std::string id4 = probelib::FormatUsbId(id);
        std::string line = "ATTR{idVendor}==\"" + id4.substr(0, 4) + "\", ATTR{idProduct}==\"" +
                           id4.substr(5) + "\", TAG+=\"uaccess\"";
        EXPECT_NE(std::string::npos, rules.find(line)) << line;
    }
    size_t ruleLines = 0;
    std::istringstream byLine(rules);
    for (std::string line; std::getline(byLine, line);)
        if (line.find("SUBSYSTEM==") != std::string::npos) ++ruleLines;
    EXPECT_EQ(std::size(usb::kProbeIds), ruleLines);
}

}  // namespace
