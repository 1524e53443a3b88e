// The output log: line layout, numbering, the append buffer's cut and line
// ends, the copy to standard error, and numbering under concurrent callers.
#include "output_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "control_ids.h"
#include "headless_dialog.h"

namespace {

// Captures what is written to standard error while it lives.
class StderrCapture {
  public:
    StderrCapture() {
        std::fflush(stderr);
        m_file = std::tmpfile();
        m_saved = ::dup(STDERR_FILENO);
        ::dup2(::fileno(m_file), STDERR_FILENO);
    }
    ~StderrCapture() {
        Restore();
        std::fclose(m_file);
    }
    std::string Text() {
        Restore();
        std::string text;
        std::rewind(m_file);
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, m_file)) > 0) text.append(buffer, n);
        return text;
    }

  private:
    void Restore() {
        if (m_saved < 0) return;
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
        m_saved = -1;
    }
    std::FILE* m_file;
    int m_saved;
};

class OutputLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        controls::SetMainDialog(&m_dialog);
        g_debugOutput = false;
        g_logCounter = 0;
    }
    void TearDown() override {
        controls::SetMainDialog(nullptr);
        g_debugOutput = true;
    }
    std::string Pane() { return m_dialog.GetText(IDC_OUTPUT); }
    controls::HeadlessDialog m_dialog;
};

}  // namespace

TEST_F(OutputLogTest, LineLayoutIsNumberTimeMarkerTextCrLf) {
    LogMessage("打开设备成功!");
    LogMessage("value %d of %s", 42, "x");
    std::regex line(R"(0000#\d\d:\d\d:\d\d:\d\d\d>> 打开设备成功!\r\n)"
                    R"(0001#\d\d:\d\d:\d\d:\d\d\d>> value 42 of x\r\n)");
    EXPECT_TRUE(std::regex_match(Pane(), line)) << Pane();
}

TEST_F(OutputLogTest, CounterGrowsPastFourDigitsAndSurvivesAClear) {
    g_logCounter = 9999;
    LogMessage("a");
    ClearOutput();
    EXPECT_EQ("", Pane());
    LogMessage("b");
    EXPECT_EQ(0u, Pane().rfind("10000#", 0)) << Pane();
    EXPECT_EQ(10001, g_logCounter.load());
}

TEST_F(OutputLogTest, PercentInArgumentsIsShownUnchanged) {
    LogMessage("%s", "/tmp/100%d%s%n.hex");
    std::string pane = Pane();
    EXPECT_NE(std::string::npos, pane.find(">> /tmp/100%d%s%n.hex\r\n")) << pane;
}

TEST_F(OutputLogTest, LongLineIsCutInThePaneButWholeOnStandardError) {
    std::string text(600, 'y');
    g_debugOutput = true;
    StderrCapture capture;
    LogMessage("%s", text.c_str());
    std::string err = capture.Text();
    std::string pane = Pane();
    ASSERT_EQ(511u, pane.size());
    EXPECT_EQ('\n', pane.back());
    EXPECT_NE('\r', pane[509]);
    ASSERT_EQ(20u + 600u + 2u, err.size());
    EXPECT_EQ(pane.substr(0, 510), err.substr(0, 510));
    EXPECT_EQ("\r\n", err.substr(err.size() - 2));
}

TEST_F(OutputLogTest, LineBufferOverflowIsCutNotOverrun) {
    std::string text(20000, 'z');
    g_debugOutput = true;
    StderrCapture capture;
    LogMessage("%s", text.c_str());
    std::string err = capture.Text();
    EXPECT_EQ(10239u, err.size()) << "10240-byte buffer with its terminator";
    EXPECT_EQ("zz\r\n", err.substr(err.size() - 4));
}

TEST_F(OutputLogTest, AppendAddsCrLfOnlyWhenTheTextLacksALineFeed) {
    struct Case {
        std::string text;
        std::string shown;
    } cases[] = {
        {"", ""},
        {"abc", "abc\r\n"},
        {"abc\n", "abc\n"},
        {"abc\r\n", "abc\r\n"},
        {std::string(509, 'a'), std::string(509, 'a') + "\r\n"},
        {std::string(510, 'a'), std::string(510, 'a') + "\n"},
        {std::string(511, 'a'), std::string(510, 'a') + "\n"},
        {std::string(2000, 'a'), std::string(510, 'a') + "\n"},
    };
    for (const Case& c : cases) {
        ClearOutput();
        EXPECT_EQ(1, AppendOutputText(IDC_OUTPUT, "%s", c.text.c_str()));
        EXPECT_EQ(c.shown, Pane()) << "text of " << c.text.size() << " bytes";
    }
}

TEST_F(OutputLogTest, CutIsMeasuredInBytesOfUtf8) {
    // 170 three-byte characters = 510 bytes: cut right behind the 170th.
    std::string text;
    for (int i = 0; i < 180; ++i) text += "检";
    AppendOutputText(IDC_OUTPUT, "%s", text.c_str());
    EXPECT_EQ(text.substr(0, 510) + "\n", Pane());
}

TEST_F(OutputLogTest, NoDialogMeansNoAppendButNoCrash) {
    controls::SetMainDialog(nullptr);
    EXPECT_EQ(0, AppendOutputText(IDC_OUTPUT, "x"));
    LogMessage("lost");
    ClearOutput();
    EXPECT_EQ(1, g_logCounter.load());
}

TEST_F(OutputLogTest, ConcurrentCallersGetDistinctNumbers) {
    constexpr int kThreads = 4, kLines = 250;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) LogMessage("thread %d line %d", t, i);
        });
    for (auto& t : threads) t.join();
    std::string pane = Pane();
    std::set<int> numbers;
    size_t lines = 0;
    for (size_t pos = 0; pos < pane.size();) {
        size_t end = pane.find("\r\n", pos);
        ASSERT_NE(std::string::npos, end);
        numbers.insert(std::stoi(pane.substr(pos, pane.find('#', pos) - pos)));
        ++lines;
        pos = end + 2;
    }
    EXPECT_EQ(size_t(kThreads * kLines), lines);
    EXPECT_EQ(size_t(kThreads * kLines), numbers.size());
    EXPECT_EQ(0, *numbers.begin());
    EXPECT_EQ(kThreads * kLines - 1, *numbers.rbegin());
}
