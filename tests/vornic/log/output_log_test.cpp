// The output log: line layout and numbering, the pane's cut and line ends
// against the whole line on standard error, and numbers under concurrent callers.
#include "vornic/log/output_log.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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

TEST_F(OutputLogTest, NumberTimeMarkerTextAndCrLfWithNumbersPastFourDigits) {
    LogMessage("打开设备成功!");
    ClearOutput();
    LogMessage("value %d of %s", 42, "/tmp/100%d%s%n.hex");
    EXPECT_TRUE(std::regex_match(
        Pane(), std::regex(R"(10000#\d\d:\d\d:\d\d:\d\d\d>> value 42 of /tmp/100%d%s%n\.hex\r\n)")))
        << Pane();
}

// The pane takes at most 510 bytes of a text and its line end; standard error
// gets the whole line, up to the 10240-byte line buffer.
TEST_F(OutputLogTest, PaneCutAndLineEnds) {
    struct Case {
        std::string text;
        std::string shown;
    } cases[] = {
        {"", ""},
        {"abc", "abc\r\n"},
        {"abc\n", "abc\n"},
        {std::string(509, 'a'), std::string(509, 'a') + "\r\n"},
        {std::string(510, 'a'), std::string(510, 'a') + "\n"},
        {std::string(2000, 'a'), std::string(510, 'a') + "\n"},
    };
    for (const Case& c : cases) {
        ClearOutput();
        EXPECT_EQ(1, AppendOutputText(IDC_OUTPUT, "%s", c.text.c_str()));
        EXPECT_EQ(c.shown, Pane()) << "text of " << c.text.size() << " bytes";
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

TEST_F(OutputLogTest, ConcurrentCallersGetDistinctNumbers) {
    constexpr int kThreads = 4, kLines = 250;
    g_logCounter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) LogMessage("thread %d line %d", t, i);
        });
    for (auto& t : threads) t.join();
    std::set<int> numbers;
    std::istringstream pane(Pane());
    for (std::string line; std::getline(pane, line);) numbers.insert(std::stoi(line));
    ASSERT_EQ(size_t(kThreads * kLines), numbers.size());
    EXPECT_EQ(kThreads * kLines - 1, *numbers.rbegin());
}

}  // namespace
