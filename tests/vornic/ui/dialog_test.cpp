// The main dialog: tab order, the start-up sequence, the about item, Enter,
// Escape and the quit question, the chooser and a dropped file, what a screen
// reader is told, and the progress bar.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <thread>
#include <vector>

#include "platform/controls/control_ids.h"
#include "platform/controls/controls.h"
#include "vornic/log/language.h"
#include "vornic/log/output_log.h"
#include "vornic/ui/qt_controls.h"
#include "vornic/ui/qt_translations.h"
#include "vornic/ui/vornic_dlg.h"

namespace vornic_ui {
namespace {

template <class T>
T* Get(CVornicDlg& dlg, int id) {
    return qobject_cast<T*>(dlg.Control(id));
}

std::string Text(CVornicDlg& dlg, int id) {
    if (auto* edit = Get<QLineEdit>(dlg, id)) return edit->text().toStdString();
    if (auto* label = Get<QLabel>(dlg, id)) return label->text().toStdString();
    return Get<QAbstractButton>(dlg, id)->text().toStdString();
}

// The controls that take the focus, in the tab order of the dialog template.
const std::vector<int> kTabOrder = {
    IDC_FILE_PATH,    IDC_BROWSE,         IDC_ERASE_ALL, IDC_EXECUTE,      IDC_OUTPUT,
    IDC_CLEAR_OUTPUT, IDC_PROGRAMME,      IDC_VERIFY,    IDC_CHECK_STATUS, IDC_DISABLE_PROTECT,
    IDC_ADDRESS,      IDC_ENABLE_PROTECT, IDC_RESET,     IDC_MCU_TYPE};

// Tab from the path box visits every control in template order and comes back
// round, Shift+Tab the other way; the pane is passed through and takes no text.
TEST(DialogKeyboardTest, TabAndShiftTabWalkTheTemplateOrder) {
    CVornicDlg dlg({});
    dlg.show();
    QApplication::setActiveWindow(&dlg);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    auto walk = [&](Qt::Key key) {
        std::vector<int> met;
        dlg.Control(IDC_FILE_PATH)->setFocus();
        for (size_t i = 0; i < kTabOrder.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), key);
            for (int id : kTabOrder)
                if (dlg.Control(id) == QApplication::focusWidget()) met.push_back(id);
        }
        return met;
    };
    std::vector<int> forward(kTabOrder.begin() + 1, kTabOrder.end());
    forward.push_back(kTabOrder.front());
    EXPECT_EQ(walk(Qt::Key_Tab), forward);
    EXPECT_EQ(walk(Qt::Key_Backtab), std::vector<int>(kTabOrder.rbegin(), kTabOrder.rend()));
    auto* pane = Get<QPlainTextEdit>(dlg, IDC_OUTPUT);
    pane->setFocus();
    QTest::keyClicks(pane, QStringLiteral("typed"));
    EXPECT_TRUE(pane->toPlainText().isEmpty());
}

// The ticks, the first address, the path from the first argument; with
// English, the English captions and title; a simulated target in the title.
TEST(DialogStartUpTest, DefaultsInEachLanguage) {
    for (bool chinese : {true, false}) {
        DialogOptions options;
        options.useChinese = chinese;
        options.simulatedTarget = "CH32V103";
        options.firstArgument = "/tmp/fw 100%.hex";
        CVornicDlg dlg(options);
        ASSERT_EQ(dlg.InitDialog(), 1);
        EXPECT_EQ(g_useChinese.load(), chinese ? 1 : 0);
        for (int id : {IDC_ERASE_ALL, IDC_PROGRAMME, IDC_VERIFY, IDC_RESET})
            EXPECT_TRUE(Get<QCheckBox>(dlg, id)->isChecked()) << id;
        EXPECT_EQ(Get<QComboBox>(dlg, IDC_ADDRESS)->currentIndex(), 0);
        EXPECT_EQ(Get<QComboBox>(dlg, IDC_MCU_TYPE)->currentIndex(), 0);
        EXPECT_EQ(Text(dlg, IDC_FILE_PATH), "/tmp/fw 100%.hex");
        EXPECT_EQ(Text(dlg, IDC_ERASE_ALL), chinese ? "全擦" : "Erase-All");
        EXPECT_EQ(dlg.windowTitle().toStdString(),
                  chinese ? "代码烧录 [模拟目标 CH32V103]" : "Flash Download [simulated CH32V103]");
        // The hidden open button keeps its template text until the probe link changes it.
        EXPECT_EQ(Text(dlg, IDC_OPEN_DEVICE), "打开设备");
    }
    g_useChinese.store(1);
}

// The link text comes before the hot-plug routine is registered, the ticks
// before the start-up open, the selections after it, and the open's line is
// the pane's first.
TEST(DialogStartUpTest, HooksRunAtTheirStep) {
    CVornicDlg dlg({});
    QtControlsPort port(&dlg);
    controls::SetMainDialog(&port);
    std::vector<std::string> seen;
    dlg.Hooks().registerDeviceNotify = [&] {
        seen.push_back("notify:" + port.GetText(IDC_LINK_STATUS) + ":" +
                       std::to_string(port.IsChecked(IDC_ERASE_ALL)));
    };
    dlg.Hooks().startUpProbeLink = [&] {
        seen.push_back("open:" + std::to_string(port.IsChecked(IDC_RESET)) + ":" +
                       std::to_string(port.GetSelection(IDC_ADDRESS)));
        LogMessage("%s", "打开设备成功!");
    };
    g_logCounter.store(0);
    dlg.InitDialog();
    controls::SetMainDialog(nullptr);
    EXPECT_EQ(seen, (std::vector<std::string>{"notify:等待设备连接:0", "open:1:-1"}));
    QString pane = Get<QPlainTextEdit>(dlg, IDC_OUTPUT)->toPlainText();
    EXPECT_TRUE(pane.startsWith(QStringLiteral("0000#"))) << pane.toStdString();
    EXPECT_TRUE(pane.endsWith(QStringLiteral(">> 打开设备成功!\n"))) << pane.toStdString();
}

TEST(DialogStartUpTest, AboutItemFollowsASeparatorAndOpensTheAboutBox) {
    CVornicDlg dlg({});
    dlg.InitDialog();
    QList<QAction*> actions = dlg.ContextMenu()->actions();
    ASSERT_EQ(actions.size(), 2);
    EXPECT_TRUE(actions[0]->isSeparator());
    EXPECT_EQ(actions[1]->text(), QStringLiteral("关于 Vornic(&A)..."));
    QString title;
    QTimer::singleShot(0, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        title = modal->windowTitle();
        modal->findChild<QPushButton*>(QStringLiteral("aboutOk"))->click();
    });
    actions[1]->trigger();  // modal: returns when the timer has pressed OK
    EXPECT_EQ(title, QStringLiteral("关于 Vornic"));
}

// Enter outside a push button is OK and Escape is Cancel; both end the
// dialog. A push button with the focus takes Enter as its click instead.
TEST(DialogEndTest, EnterAndEscape) {
    const struct {
        int focus;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        int result;  // -1: the dialog stays and the button was clicked
    } cases[] = {
        {IDC_FILE_PATH, Qt::Key_Return, Qt::NoModifier, QDialog::Accepted},
        {IDC_ERASE_ALL, Qt::Key_Enter, Qt::KeypadModifier, QDialog::Accepted},
        {IDC_OUTPUT, Qt::Key_Enter, Qt::KeypadModifier, QDialog::Accepted},
        {IDC_FILE_PATH, Qt::Key_Escape, Qt::NoModifier, QDialog::Rejected},
        {IDC_CHECK_STATUS, Qt::Key_Return, Qt::NoModifier, -1},
    };
    for (const auto& c : cases) {
        CVornicDlg dlg({});
        int clicks = 0;
        dlg.SetHandler(IDC_CHECK_STATUS, [&] { ++clicks; });
        dlg.show();
        QApplication::setActiveWindow(&dlg);
        dlg.Control(c.focus)->setFocus();
        QTest::keyClick(dlg.Control(c.focus), c.key, c.modifiers);
        EXPECT_EQ(dlg.isVisible() ? -1 : dlg.result(), c.result) << c.focus;
        EXPECT_EQ(clicks, c.result == -1 ? 1 : 0) << c.focus;
    }
}

// While a job runs, quitting asks first: "no" keeps the window, "yes" ends it.
// The question speaks the selected language with Qt's own buttons, "No" its
// default in both.
TEST(DialogEndTest, QuitWhileAJobRunsAsksFirst) {
    CVornicDlg dlg({});
    int asked = 0;
    bool answer = false;
    dlg.Hooks().jobRunning = [] { return true; };
    dlg.SetQuitConfirmation([&] {
        ++asked;
        return answer;
    });
    dlg.show();
    QTest::keyClick(&dlg, Qt::Key_Escape);
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(dlg.isVisible());
    answer = true;
    EXPECT_TRUE(dlg.close());
    EXPECT_EQ(asked, 2);
    EXPECT_TRUE(dlg.QuitWhileJobRuns());

    for (bool chinese : {true, false, true}) {
        ASSERT_EQ(InstallQtTranslations(chinese), 1);
        g_useChinese.store(chinese ? 1 : 0);
        std::unique_ptr<QMessageBox> question = dlg.NewQuitQuestion();
        EXPECT_EQ(question->button(QMessageBox::Yes)->text().toStdString(),
                  chinese ? "是(&Y)" : "&Yes");
        EXPECT_EQ(question->button(QMessageBox::No)->text().toStdString(),
                  chinese ? "取消" : "&No");
        EXPECT_EQ(question->defaultButton(), question->button(QMessageBox::No));
    }
    InstallQtTranslations(false);
}

// The chooser's file and a dropped file end up in the path box the same way:
// a cancelled chooser puts the last one back, even over a path typed since.
TEST(DialogChooserTest, ChosenOrDroppedFileAndCancel) {
    CVornicDlg dlg({});
    dlg.InitDialog();
    std::vector<QString> previousSeen;
    std::optional<QString> next;
    dlg.SetFileChooser([&](QWidget*, const QString& previous) {
        previousSeen.push_back(previous);
        return next;
    });
    QLineEdit* path = Get<QLineEdit>(dlg, IDC_FILE_PATH);
    auto browse = [&](std::optional<QString> chosen) {
        next = std::move(chosen);
        QTest::mouseClick(dlg.Control(IDC_BROWSE), Qt::LeftButton);
        EXPECT_EQ(path->cursorPosition(), path->text().size());
        return path->text().toStdString();
    };
    auto drop = [&](QList<QUrl> urls) {
        QMimeData data;
        data.setUrls(urls);
        QDragEnterEvent enter(QPoint(400, 200), Qt::CopyAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(&dlg, &enter);
        QDropEvent dropped(QPointF(400, 200), Qt::CopyAction, &data, Qt::LeftButton,
                           Qt::NoModifier);
        QApplication::sendEvent(&dlg, &dropped);
        return enter.isAccepted();
    };
    const QUrl file = QUrl::fromLocalFile(QStringLiteral("/data/fw 100%.hex"));

    path->setText(QStringLiteral("/typed/by/hand.hex"));
    EXPECT_EQ(browse({}), "") << "nothing chosen yet";
    EXPECT_EQ(browse(QStringLiteral("/data/first.hex")), "/data/first.hex");
    path->setText(QStringLiteral("/typed/again.hex"));
    EXPECT_EQ(browse({}), "/data/first.hex");
    EXPECT_FALSE(drop({file, QUrl::fromLocalFile(QStringLiteral("/data/b.hex"))})) << "two files";
    EXPECT_FALSE(drop({QUrl(QStringLiteral("https://example.com/a.hex"))})) << "not local";
    EXPECT_FALSE(drop({QUrl::fromLocalFile(QDir::tempPath())})) << "a folder";
    EXPECT_EQ(path->text().toStdString(), "/data/first.hex");
    EXPECT_TRUE(drop({file}));
    EXPECT_EQ(path->text(), file.toLocalFile());
    EXPECT_EQ(browse({}), file.toLocalFile().toStdString());
    EXPECT_EQ(previousSeen,
              (std::vector<QString>{QString(), QString(), QStringLiteral("/data/first.hex"),
                                    file.toLocalFile()}));
}

std::string Accessible(QWidget* widget, QAccessible::Text text) {
    return QAccessible::queryAccessibleInterface(widget)->text(text).toStdString();
}

// A screen reader finds a name for every control that takes the focus, the
// drop-down list's label, and what the banner says.
TEST(DialogAccessibilityTest, EveryControlIsNamed) {
    for (bool chinese : {true, false}) {
        DialogOptions options;
        options.useChinese = chinese;
        CVornicDlg dlg(options);
        dlg.InitDialog();
        for (int id : kTabOrder)
            EXPECT_NE(Accessible(dlg.Control(id), QAccessible::Name), "") << id;
        EXPECT_EQ(Accessible(dlg.Control(IDC_OUTPUT), QAccessible::Name),
                  chinese ? "输出日志" : "Output log");
        auto labels = QAccessible::queryAccessibleInterface(dlg.Control(IDC_ADDRESS))
                          ->relations(QAccessible::Label);
        ASSERT_EQ(labels.size(), 1);
        EXPECT_EQ(labels[0].first->object(), dlg.Control(IDC_ADDRESS_LABEL));
        QtControlsPort(&dlg).ShowBitmap(IDC_STATUS_BITMAP, IDB_BANNER_PROTECTED_ZH);
        EXPECT_NE(Accessible(dlg.Control(IDC_STATUS_BITMAP), QAccessible::Description), "");
    }
    g_useChinese.store(1);
}

// The bar follows the figures from any thread and goes at (0, 0); once the
// dialog is gone, nothing is queued for it.
TEST(DialogProgressTest, SinkShowsAndHidesTheBarFromAnyThread) {
    std::function<void(uint64_t, uint64_t)> sink;
    {
        CVornicDlg dlg({});
        sink = dlg.ProgressSink();
        std::thread([&] { sink(250, 1000); }).join();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !dlg.ProgressBar()->isHidden(); }));
        EXPECT_EQ(dlg.ProgressBar()->value(), 250);
        sink(0, 0);
        EXPECT_TRUE(QTest::qWaitFor([&] { return dlg.ProgressBar()->isHidden(); }));
    }
    sink(1, 2);
    QCoreApplication::processEvents();
}

}  // namespace
}  // namespace vornic_ui
