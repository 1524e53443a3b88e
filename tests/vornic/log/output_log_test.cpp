// The output log: line layout and numbering, and the pane's cut and line ends
// against the whole line on standard error.
#include "vornic/log/output_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>

#include "platform/controls/control_ids.h"
#include "platform/controls/headless_dialog.h"

namespace {

class OutputLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        controls::SetMainDialog(&m_dialog);
        g_debugOutput = false;
        g_logCounter = 9999;
    }
    void TearDown() override { controls::SetMainDialog(nullptr); }
    std::string Pane() { return m_dialog.GetText(IDC_OUTPUT); }
    controls::HeadlessDialog m_dialog;
};

// The pane takes at most 510 bytes of a text and its line end; standard error
// gets the whole line, up to the 10240-byte line buffer.
TEST_F(OutputLogTest, PaneCutAndLineEnds) {
    const std::string a509(509, 'a'), a510(510, 'a');
    struct {
        std::string text, shown;
    } cases[] = {{"", ""},
                 {"abc", "abc\r\n"},
                 {"abc\n", "abc\n"},
                 {a509, a509 + "\r\n"},
                 {a510, a510 + "\n"},
                 {std::string(2000, 'a'), a510 + "\n"}};
    for (const auto& [text, shown] : cases) {
        ClearOutput();
        EXPECT_EQ(1, AppendOutputText(IDC_OUTPUT, "%s", text.c_str()));
        EXPECT_EQ(shown, Pane()) << "text of " << text.size() << " bytes";
    }
    g_debugOutput = true;
    g_logCounter = 0;
    for (size_t length : {600u, 20000u}) {
        ClearOutput();
        testing::internal::CaptureStderr();
        LogMessage("%s", std::string(length, 'y').c_str());
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(Pane(), err.substr(0, 510) + "\n");
        EXPECT_EQ(std::min<size_t>(20 + length, 10237) + 2, err.size());
        EXPECT_EQ("yy\r\n", err.substr(err.size() - 4));
    }
}

// Number, time, marker, text (a '%' in it kept) and CR LF; numbers go on past
// four digits.
TEST_F(OutputLogTest, LineLayoutWithNumbersPastFourDigits) {
    LogMessage("打开设备成功!");
    LogMessage("value %d of %s", 42, "/tmp/100%d%s%n.hex");
    EXPECT_TRUE(
        std::regex_match(Pane(), std::regex(R"(9999#\d\d:\d\d:\d\d:\d{3}>> 打开设备成功!\r\n)"
                                            R"(10000#\d\d:\d\d:\d\d:\d{3}>> value 42 of )"
                                            R"(/tmp/100%d%s%n\.hex\r\n)")))
        << Pane();
}

}  // namespace
