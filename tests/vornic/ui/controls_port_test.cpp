// The Qt controls port: calls from workers run on the user-interface thread
// and return when done; closing the port or losing the dialog releases
// waiting callers instead of hanging them.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>
#include <atomic>
#include <future>
#include <set>
#include <thread>

#include "platform/controls/control_ids.h"
#include "platform/controls/controls.h"
#include "vornic/log/output_log.h"
#include "vornic/ui/qt_controls.h"
#include "vornic/ui/vornic_dlg.h"

namespace vornic_ui {
namespace {

// Runs body on a worker thread while the user-interface thread serves its
// event loop; true when the worker finished within 20 s.
bool RunWorker(const std::function<void()>& body) {
    QEventLoop loop;
    std::atomic<bool> finished{false};
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    std::thread worker([&] {
        body();
        finished = true;
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    return finished;
}

class ControlsPortTest : public ::testing::Test {
  protected:
    ControlsPortTest() : port(&dlg) { controls::SetMainDialog(&port); }
    ~ControlsPortTest() override { controls::SetMainDialog(nullptr); }

    CVornicDlg dlg{DialogOptions{}};
    QtControlsPort port;
};

TEST_F(ControlsPortTest, WorkerCallsReachTheWidgetsAndClicksReturnAfterTheirHandler) {
    std::thread::id handlerThread;
    dlg.SetHandler(IDC_EXECUTE, [&] { handlerThread = std::this_thread::get_id(); });
    std::string seen;
    ASSERT_TRUE(RunWorker([&] {
        seen += port.OnUiThread() ? "on ui;" : "worker;";
        port.SetText(IDC_FILE_PATH, "/tmp/路径 %d.hex");
        port.SetChecked(IDC_VERIFY, true);
        port.SetSelection(IDC_ADDRESS, 1);
        seen += port.GetText(IDC_FILE_PATH) + ";" + std::to_string(port.IsChecked(IDC_VERIFY)) +
                std::to_string(port.GetSelection(IDC_ADDRESS)) + ";" + port.GetText(IDC_MCU_LABEL);
        port.SetSelection(IDC_ADDRESS, 5);  // out of range: no selection
        seen += ";" + std::to_string(port.GetSelection(IDC_ADDRESS));
        port.AppendText(IDC_OUTPUT, "one");
        port.AppendText(IDC_OUTPUT, " two\r\nthree\r\n");
        seen += ";" + port.GetText(IDC_OUTPUT) + port.GetText(4242);
        port.Click(IDC_EXECUTE);
        seen += handlerThread == std::thread::id() ? ";not clicked" : ";clicked";
    }));
    EXPECT_EQ(seen, "worker;/tmp/路径 %d.hex;11;MCU型号:;-1;one two\r\nthree\r\n;clicked");
    EXPECT_EQ(handlerThread, std::this_thread::get_id());
    auto* pane = qobject_cast<QPlainTextEdit*>(dlg.Control(IDC_OUTPUT));
    EXPECT_EQ(pane->textCursor().position(), pane->document()->characterCount() - 1);
}

// A worker waiting for a user-interface thread that serves no events comes
// back once the port shuts down or goes; later calls return at once, and the
// queued call never runs on a caller that has gone.
TEST(ControlsPortLifetimeTest, ShutdownOrDestructionReleasesAWaitingWorker) {
    CVornicDlg dlg{DialogOptions{}};
    for (bool destroy : {false, true}) {
        auto port = std::make_unique<QtControlsPort>(&dlg);
        std::string text = "unset";
        std::thread worker([&, p = port.get()] { text = p->GetText(IDC_FILE_PATH); });
        // Inside the call, not about to make it: the port may go now.
        EXPECT_TRUE(port->WaitForWaitingCalls(1, std::chrono::seconds(20)));
        if (destroy)
            port.reset();
        else
            port->Shutdown();
        worker.join();
        EXPECT_EQ(text, "");
        QCoreApplication::processEvents();
        if (!destroy) {
            ASSERT_TRUE(RunWorker([&] { port->SetText(IDC_FILE_PATH, "late"); }));
            EXPECT_TRUE(qobject_cast<QLineEdit*>(dlg.Control(IDC_FILE_PATH))->text().isEmpty());
        }
    }
    auto gone = std::make_unique<CVornicDlg>(DialogOptions{});
    QtControlsPort port(gone.get());
    gone.reset();
    std::string text = "unset";
    ASSERT_TRUE(RunWorker([&] {
        port.SetText(IDC_FILE_PATH, "x");
        text = port.GetText(IDC_FILE_PATH);
    }));
    EXPECT_EQ(text, "") << "calls after the dialog is gone do nothing";
}

TEST_F(ControlsPortTest, ConcurrentLoggersGetDistinctNumberedLines) {
    constexpr int kThreads = 3, kLines = 300;
    g_debugOutput = false;
    g_logCounter = 0;
    ASSERT_TRUE(RunWorker([&] {
        std::vector<std::thread> workers;
        for (int t = 0; t < kThreads; ++t)
            workers.emplace_back([t] {
                for (int i = 0; i < kLines; ++i) LogMessage("worker %d line %d", t, i);
            });
        for (auto& w : workers) w.join();
    }));
    g_debugOutput = true;
    QString pane = qobject_cast<QPlainTextEdit*>(dlg.Control(IDC_OUTPUT))->toPlainText();
    std::set<int> numbers;
    for (const QString& line : pane.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        numbers.insert(line.left(4).toInt());
    EXPECT_EQ(numbers.size(), size_t(kThreads * kLines));
    EXPECT_EQ(*numbers.rbegin(), kThreads * kLines - 1);
}

}  // namespace
}  // namespace vornic_ui
