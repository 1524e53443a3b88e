// The usb backend's naming and matching: USB ids, bus-port names and their
// order, the --probe selector, serial numbers from sysfs, the udev rule
// suggested on a refused open, and the shipped rule against the accepted ids.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/probelib/probelib.h"
#include "platform/probelib/usb/device_match.h"
#include "platform/probelib/usb/open_problem.h"
#include "platform/probelib/usb/usb_ids.h"

namespace {

using probelib::UsbId;
namespace usb = probelib::usb;

TEST(UsbMatch, IdsParseOnlyWhenWellFormed) {
    UsbId id;
    ASSERT_EQ(1, probelib::ParseUsbId("A:FfFf", &id));
    EXPECT_EQ("000a:ffff", probelib::FormatUsbId(id));
    for (const char* text : {"", ":", "1a86", "1a86:", ":8010", "1a86:80100", "1a86-8010",
                             "0x1a86:8010", "1a86:8010:1", "g000:0000", " 1a86:8010"}) {
        id = UsbId{1, 2};
        EXPECT_EQ(0, probelib::ParseUsbId(text, &id)) << text;
        EXPECT_EQ((UsbId{1, 2}), id) << text << " must leave the id alone";
    }
    const UsbId extra[] = {{0x1234, 0x5678}};
    EXPECT_TRUE(usb::IsProbeId(probelib::kProbeUsbId, {}) && usb::IsProbeId(extra[0], extra));
    EXPECT_FALSE(usb::IsProbeId({0x1a86, 0x8011}, extra) ||
                 usb::IsProbeId({0x1234, 0x5679}, extra));
    EXPECT_TRUE(usb::IsWrongModeId({0x1a86, 0x8011}) && usb::IsWrongModeId({0x1a86, 0x8012}));
    EXPECT_FALSE(usb::IsWrongModeId(probelib::kProbeUsbId));
    EXPECT_EQ(128u, usb::ReadBufferSize(65)) << "whole packets";
    EXPECT_EQ(64u, usb::ReadBufferSize(0));
}

TEST(UsbMatch, BusPortsAndSelectors) {
    const uint8_t deep[] = {1, 4, 12};
    EXPECT_EQ("3-1.4.12", usb::FormatBusPort(3, deep));
    const struct {
        const char *a, *b;
        bool less;
    } order[] = {{"1-2", "1-10", true},
                 {"1-10", "1-2", false},
                 {"1-1", "1-1.4", true},
                 {"1-9.9", "2-1", true},
                 {"1-3", "1-3", false}};
    for (const auto& row : order) EXPECT_EQ(row.less, usb::BusPortLess(row.a, row.b)) << row.a;
    const struct {
        const char *selector, *serial;
        bool match;
    } selectors[] = {{"", "", true},        {"1-1.4", "ABC", true}, {"ABC", "ABC", true},
                     {"1-1", "ABC", false}, {"abc", "ABC", false},  {"X", "", false}};
    for (const auto& row : selectors)
        EXPECT_EQ(row.match, usb::MatchesSelector(row.selector, "1-1.4", row.serial))
            << row.selector;
}

TEST(UsbMatch, SerialComesFromSysfsAndOnlyForWellFormedNames) {
    auto root =
        std::filesystem::temp_directory_path() / ("vornic-serial-" + std::to_string(::getpid()));
    for (const char* name : {"1-3", "secret"}) {
        std::filesystem::create_directories(root / name);
        std::ofstream(root / name / "serial") << "VN0042\n";
    }
    EXPECT_EQ("VN0042", usb::ReadSerial(root.string(), "1-3"));
    for (const char* name : {"1-4", "secret", "1-3/../secret", "../1-3"})
        EXPECT_EQ("", usb::ReadSerial(root.string(), name)) << name;
    std::filesystem::remove_all(root);
}

TEST(UsbMatch, APermissionRefusalSuggestsTheRuleAsAShellWord) {
    using P = probelib::OpenProblem;
    const struct {
        const char* rule;
        const char* wanted;  // a piece of the text
        bool copy;           // told to copy the rule into /etc
    } rows[] = {
        {"/opt/my tools/60-x.rules", " '/opt/my tools/60-x.rules' /etc/udev/rules.d/", true},
        {"", " 60-vornic-probe.rules ", true},
        {"/usr/lib/udev/rules.d/60-vornic-probe.rules", "do not copy the rule", false},
        {"/lib/udev/rules.d/60-vornic-probe.rules", "is installed", false},
        {"/usr/local/lib/udev/rules.d/60-vornic-probe.rules", "udevadm trigger", true},
    };
    for (const auto& row : rows) {
        EXPECT_NE(std::string::npos,
                  probelib::OpenProblemText(P::Permission, row.rule, false).find(row.wanted));
        // The Chinese text gives the same commands.
        for (const bool chinese : {false, true}) {
            const std::string text = probelib::OpenProblemText(P::Permission, row.rule, chinese);
            EXPECT_EQ(chinese, text.find("权限") != std::string::npos) << text;
            EXPECT_EQ(row.copy, text.find("sudo install") != std::string::npos) << text;
            EXPECT_NE(std::string::npos, text.find("usermod -aG plugdev")) << text;
        }
    }
}

// The installed udev rule grants access to exactly the accepted id.
TEST(UsbMatch, UdevRuleListsTheAcceptedIds) {
    static_assert(std::size(usb::kProbeIds) == 1);
    std::ifstream in(VORNIC_RULE_FILE);
    std::vector<std::string> rules;
    for (std::string line; std::getline(in, line);)
        if (line.find("SUBSYSTEM==") != std::string::npos) rules.push_back(line);
    ASSERT_EQ(1u, rules.size()) << VORNIC_RULE_FILE;
    const std::string id = probelib::FormatUsbId(usb::kProbeIds[0]);
    EXPECT_NE(
        std::string::npos,
        rules[0].find("ATTR{idVendor}==\"" + id.substr(0, 4) + "\", ATTR{idProduct}==\"" +
                      id.substr(5) + "\", TAG+=\"uaccess\", GROUP=\"plugdev\", MODE=\"0660\""));
}

}  // namespace
