// The Qt controls port: calls from workers run on the user-interface thread
// and return when done; closing releases waiting callers instead of hanging.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>
#include <atomic>
#include <set>
#include <thread>

#include "control_ids.h"
#include "controls.h"
#include "output_log.h"
#include "qt_controls.h"
#include "vornic_dlg.h"

namespace vornic_ui {
namespace {

// Runs body on a worker thread while the user-interface thread serves its
// event loop; true when the worker finished within the limit.
bool RunWorker(const std::function<void()>& body, int limitMs = 20000) {
    QEventLoop loop;
    std::atomic<bool> finished{false};
    QTimer::singleShot(limitMs, &loop, &QEventLoop::quit);
    std::thread worker([&] {
        body();
        finished = true;
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    return finished.load();
}

class ControlsPortTest : public ::testing::Test {
  protected:
    ControlsPortTest() : port(&dlg) {
        dlg.InitDialog();
        controls::SetMainDialog(&port);
    }
    ~ControlsPortTest() override { controls::SetMainDialog(nullptr); }

    CVornicDlg dlg{DialogOptions{}};
    QtControlsPort port;
};

TEST_F(ControlsPortTest, WorkerCallsReachTheWidgets) {
    std::string path, label, pane;
    int checked = -1, selection = -2;
    bool onUi = true;
    ASSERT_TRUE(RunWorker([&] {
        onUi = port.OnUiThread();
        port.SetText(IDC_FILE_PATH, "/tmp/路径 %d.hex");
        path = port.GetText(IDC_FILE_PATH);
        port.SetChecked(IDC_VERIFY, false);
        checked = port.IsChecked(IDC_VERIFY);
        port.SetSelection(IDC_ADDRESS, 1);
        selection = port.GetSelection(IDC_ADDRESS);
        label = port.GetText(IDC_MCU_LABEL);
        port.AppendText(IDC_OUTPUT, "one");
        port.AppendText(IDC_OUTPUT, " two\r\n");
        port.AppendText(IDC_OUTPUT, "three\r\n");
        pane = port.GetText(IDC_OUTPUT);
        // Out of range clears the selection; unknown ids are harmless.
        port.SetSelection(IDC_ADDRESS, 5);
        EXPECT_EQ(port.GetSelection(IDC_ADDRESS), -1);
        EXPECT_EQ(port.GetText(4242) + std::to_string(port.IsChecked(IDC_FILE_PATH)), "0");
        port.Click(4242);
    }));
    EXPECT_FALSE(onUi);
    EXPECT_TRUE(port.OnUiThread());
    EXPECT_EQ(path, "/tmp/路径 %d.hex");
    EXPECT_EQ(checked, 0);
    EXPECT_EQ(selection, 1);
    EXPECT_EQ(label, "MCU型号:");
    EXPECT_EQ(pane, "one two\r\nthree\r\n");
    auto* pane_widget = qobject_cast<QPlainTextEdit*>(dlg.Control(IDC_OUTPUT));
    EXPECT_EQ(pane_widget->textCursor().position(), pane_widget->document()->characterCount() - 1);
}

TEST_F(ControlsPortTest, ClickReturnsOnlyAfterTheHandlerRanOnTheUiThread) {
    std::atomic<int> stage{0};
    std::thread::id handlerThread;
    dlg.SetHandler(IDC_EXECUTE, [&] {
        handlerThread = std::this_thread::get_id();
        stage = 1;
    });
    int seenAfterClick = -1;
    ASSERT_TRUE(RunWorker([&] {
        port.Click(IDC_EXECUTE);
        seenAfterClick = stage.load();
    }));
    EXPECT_EQ(seenAfterClick, 1);
    EXPECT_EQ(handlerThread, std::this_thread::get_id());
    // From the user-interface thread the click runs directly.
    stage = 0;
    port.Click(IDC_EXECUTE);
    EXPECT_EQ(stage.load(), 1);
}

TEST_F(ControlsPortTest, ShutdownReleasesAWaitingWorkerAndLaterCallsReturnAtOnce) {
    std::atomic<bool> calling{false};
    std::string text = "unset";
    std::thread worker([&] {
        calling = true;
        text = port.GetText(IDC_FILE_PATH);  // the UI thread is not serving events
    });
    while (!calling) std::this_thread::yield();
    port.Shutdown();
    worker.join();
    EXPECT_EQ(text, "");
    // The queued call must not run later on a caller that has gone.
    QCoreApplication::processEvents();
    ASSERT_TRUE(RunWorker(
        [&] {
            port.SetText(IDC_FILE_PATH, "late");
            EXPECT_EQ(port.GetSelection(IDC_ADDRESS), -1);
            port.Click(IDC_EXECUTE);
        },
        2000));
    EXPECT_NE(qobject_cast<QLineEdit*>(dlg.Control(IDC_FILE_PATH))->text(), QStringLiteral("late"));
}

TEST(ControlsPortLifetimeTest, CallsAfterTheDialogIsGoneDoNothing) {
    auto dlg = std::make_unique<CVornicDlg>(DialogOptions{});
    QtControlsPort port(dlg.get());
    dlg.reset();
    ASSERT_TRUE(RunWorker([&] {
        port.SetText(IDC_FILE_PATH, "x");
        EXPECT_EQ(port.GetText(IDC_FILE_PATH), "");
    }));
}

TEST(ControlsPortLifetimeTest, DestroyingThePortReleasesAWaitingWorker) {
    CVornicDlg dlg{DialogOptions{}};
    auto port = std::make_unique<QtControlsPort>(&dlg);
    std::atomic<bool> waiting{false};
    std::thread worker([&, p = port.get()] {
        waiting = true;
        p->Invoke([] {});
    });
    while (!waiting) std::this_thread::yield();
    port.reset();  // no event served: the worker must still come back
    worker.join();
    QCoreApplication::processEvents();
}

TEST_F(ControlsPortTest, ConcurrentLoggersGetDistinctNumberedLines) {
    constexpr int kThreads = 3;
    constexpr int kLines = 2000;
    g_debugOutput = false;
    g_logCounter = 0;
    bool done = RunWorker([&] {
        std::vector<std::thread> workers;
        for (int t = 0; t < kThreads; ++t)
            workers.emplace_back([t] {
                for (int i = 0; i < kLines; ++i) LogMessage("worker %d line %d", t, i);
            });
        for (auto& w : workers) w.join();
    });
    g_debugOutput = true;
    ASSERT_TRUE(done);
    QString pane = qobject_cast<QPlainTextEdit*>(dlg.Control(IDC_OUTPUT))->toPlainText();
    QStringList lines = pane.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), kThreads * kLines);
    std::set<int> numbers;
    for (const QString& line : lines) numbers.insert(line.left(4).toInt());
    EXPECT_EQ(numbers.size(), static_cast<size_t>(kThreads * kLines));
    EXPECT_EQ(*numbers.rbegin(), kThreads * kLines - 1);
}

}  // namespace
}  // namespace vornic_ui
