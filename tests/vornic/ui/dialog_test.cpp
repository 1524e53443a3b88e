// The main dialog: tab order, the start-up sequence, the about item, Enter,
// Escape and the quit question, the chooser and a dropped file, what a screen
// reader is told, the routing of clicks and the progress bar.
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
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <QUrl>
#include <vector>

#include "control_ids.h"
#include "controls.h"
#include "language.h"
#include "output_log.h"
#include "qt_controls.h"
#include "qt_translations.h"
#include "vornic_dlg.h"

namespace vornic_ui {
namespace {

template <class T>
T* Get(CVornicDlg& dlg, int id) {
    T* w = qobject_cast<T*>(dlg.Control(id));
    EXPECT_NE(w, nullptr) << "control " << id;
    return w;
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
    dlg.InitDialog();
    dlg.show();
    QApplication::setActiveWindow(&dlg);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    auto* pane = Get<QPlainTextEdit>(dlg, IDC_OUTPUT);
    const QString line = QStringLiteral("0000#10:00:00:000>> 打开设备成功!\n");
    pane->setPlainText(line);

    auto walk = [&](Qt::Key key) {
        std::vector<int> met;
        dlg.Control(IDC_FILE_PATH)->setFocus();
        for (size_t i = 0; i < kTabOrder.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), key);
            int id = 0;
            for (int candidate : kTabOrder)
                if (dlg.Control(candidate) == QApplication::focusWidget()) id = candidate;
            met.push_back(id);
        }
        return met;
    };
    std::vector<int> forward(kTabOrder.begin() + 1, kTabOrder.end());
    forward.push_back(kTabOrder.front());
    EXPECT_EQ(walk(Qt::Key_Tab), forward);
    EXPECT_EQ(walk(Qt::Key_Backtab), std::vector<int>(kTabOrder.rbegin(), kTabOrder.rend()));

    pane->setFocus();
    QTest::keyClicks(pane, QStringLiteral("typed"));
    QTest::keyClick(pane, Qt::Key_Backspace);
    EXPECT_EQ(pane->toPlainText().toStdString(), line.toStdString());
}

TEST(DialogStartUpTest, DefaultStateAndPathFromFirstArgument) {
    DialogOptions options;
    options.firstArgument = "/tmp/fw 100%.hex";
    CVornicDlg dlg(options);
    ASSERT_EQ(dlg.InitDialog(), 1);
    for (int id : {IDC_ERASE_ALL, IDC_PROGRAMME, IDC_VERIFY, IDC_RESET})
        EXPECT_TRUE(Get<QCheckBox>(dlg, id)->isChecked()) << id;
    EXPECT_EQ(Get<QComboBox>(dlg, IDC_ADDRESS)->currentText(), QStringLiteral("0x08000000"));
    EXPECT_EQ(Get<QComboBox>(dlg, IDC_MCU_TYPE)->currentText(), QStringLiteral("CH32V103"));
    EXPECT_EQ(Get<QLineEdit>(dlg, IDC_FILE_PATH)->text(), QStringLiteral("/tmp/fw 100%.hex"));
    EXPECT_EQ(Get<QLineEdit>(dlg, IDC_LINK_STATUS)->text(), QStringLiteral("等待设备连接"));
    EXPECT_TRUE(
        Get<QPlainTextEdit>(dlg, IDC_OUTPUT)->toPlainText().isEmpty());  // no probe, no line
    EXPECT_EQ(QApplication::style()->styleHint(QStyle::SH_ToolTip_WakeUpDelay), 200);
    EXPECT_EQ(QToolTip::palette().color(QPalette::ToolTipText), QColor(Qt::black));
    EXPECT_EQ(QToolTip::palette().color(QPalette::ToolTipBase), QColor(Qt::white));
}

TEST(DialogStartUpTest, HooksRunAtTheirStepWithTheProbeLineFirst) {
    CVornicDlg dlg({});
    QtControlsPort port(&dlg);
    controls::SetMainDialog(&port);
    std::vector<std::string> seen;
    dlg.Hooks().registerDeviceNotify = [&] {
        // After the link text, before the ticks.
        seen.push_back("notify:" + port.GetText(IDC_LINK_STATUS) + ":" +
                       std::to_string(port.IsChecked(IDC_ERASE_ALL)));
    };
    dlg.Hooks().startUpProbeLink = [&] {
        // After the ticks, before the selections; a probe was found.
        seen.push_back("open:" + std::to_string(port.IsChecked(IDC_RESET)) + ":" +
                       std::to_string(port.GetSelection(IDC_ADDRESS)));
        LogMessage("%s", Tr("打开设备成功!", "Succeed to open device!"));
    };
    g_logCounter.store(0);
    dlg.InitDialog();
    controls::SetMainDialog(nullptr);
    EXPECT_EQ(seen, (std::vector<std::string>{"notify:等待设备连接:0", "open:1:-1"}));
    QString pane = Get<QPlainTextEdit>(dlg, IDC_OUTPUT)->toPlainText();
    EXPECT_TRUE(pane.startsWith(QStringLiteral("0000#"))) << pane.toStdString();
    EXPECT_TRUE(pane.contains(QStringLiteral(">> 打开设备成功!"))) << pane.toStdString();
    EXPECT_EQ(pane.count(QLatin1Char('\n')), 1);
}

TEST(DialogStartUpTest, EnglishTextsAndSimulatedTitle) {
    DialogOptions options;
    options.useChinese = false;
    options.simulatedTarget = "CH32V103";
    CVornicDlg dlg(options);
    dlg.InitDialog();
    EXPECT_EQ(g_useChinese.load(), 0);
    EXPECT_EQ(Get<QCheckBox>(dlg, IDC_ERASE_ALL)->text(), QStringLiteral("Erase-All"));
    EXPECT_EQ(Get<QLabel>(dlg, IDC_ADDRESS_LABEL)->text(), QStringLiteral("Address:"));
    EXPECT_EQ(Get<QLineEdit>(dlg, IDC_LINK_STATUS)->text(), QStringLiteral("Wait for device link"));
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Flash Download [simulated CH32V103]"));
    // The hidden open button keeps its template text until the probe link changes it.
    EXPECT_EQ(Get<QPushButton>(dlg, IDC_OPEN_DEVICE)->text(), QStringLiteral("打开设备"));
    g_useChinese.store(1);
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
        dlg.InitDialog();
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

TEST(DialogEndTest, QuitWhileJobRunsAsksFirst) {
    CVornicDlg dlg({});
    dlg.InitDialog();
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
    EXPECT_TRUE(dlg.isVisible());  // "no": the job goes on, the window stays
    answer = true;
    EXPECT_TRUE(dlg.close());
    EXPECT_EQ(asked, 2);
    EXPECT_TRUE(dlg.QuitWhileJobRuns());
}

// Qt's buttons speak the selected language (its translation installed only
// with Chinese), and "No" stays the quit question's default in both.
TEST(DialogEndTest, QuitQuestionInQtsTextsOfTheLanguageWithNoAsDefault) {
    const struct {
        bool chinese;
        const char *yes, *no;
    } cases[] = {{true, "是(&Y)", "取消"}, {false, "&Yes", "&No"}, {true, "是(&Y)", "取消"}};
    for (const auto& c : cases) {
        ASSERT_EQ(InstallQtTranslations(c.chinese), 1);
        g_useChinese.store(c.chinese ? 1 : 0);
        CVornicDlg dlg({});
        std::unique_ptr<QMessageBox> question = dlg.NewQuitQuestion();
        EXPECT_EQ(question->button(QMessageBox::Yes)->text().toStdString(), c.yes);
        EXPECT_EQ(question->button(QMessageBox::No)->text().toStdString(), c.no);
        EXPECT_EQ(question->defaultButton(), question->button(QMessageBox::No));
    }
    InstallQtTranslations(false);
}

TEST(DialogChooserTest, CancelPutsThePreviousChoiceBack) {
    CVornicDlg dlg({});
    dlg.InitDialog();
    std::vector<QString> previousSeen;
    std::optional<QString> next;
    dlg.SetFileChooser([&](QWidget*, const QString& previous) {
        previousSeen.push_back(previous);
        return next;
    });
    QLineEdit* path = Get<QLineEdit>(dlg, IDC_FILE_PATH);

    path->setText(QStringLiteral("/typed/by/hand.hex"));
    next.reset();
    dlg.OnBrowse();  // nothing ever chosen: the box is emptied
    EXPECT_EQ(path->text(), QString());

    next = QStringLiteral("/data/first.hex");
    QTest::mouseClick(dlg.Control(IDC_BROWSE), Qt::LeftButton);
    EXPECT_EQ(path->text(), QStringLiteral("/data/first.hex"));
    EXPECT_EQ(path->cursorPosition(), path->text().size());

    path->setText(QStringLiteral("/typed/again.hex"));
    next.reset();
    dlg.OnBrowse();
    EXPECT_EQ(path->text(), QStringLiteral("/data/first.hex"));
    EXPECT_EQ(previousSeen,
              (std::vector<QString>{QString(), QString(), QStringLiteral("/data/first.hex")}));
}

TEST(DialogDropTest, OneLocalFileIsTakenAsTheChoosersChoice) {
    const QUrl file = QUrl::fromLocalFile(QStringLiteral("/data/fw 100%.hex"));
    const struct {
        const char* why;
        QList<QUrl> urls;
        bool taken;
    } cases[] = {
        {"one local file", {file}, true},
        {"two files", {file, QUrl::fromLocalFile(QStringLiteral("/data/b.hex"))}, false},
        {"not a local file", {QUrl(QStringLiteral("https://example.com/a.hex"))}, false},
        {"a folder", {QUrl::fromLocalFile(QDir::tempPath())}, false},
    };
    for (const auto& c : cases) {
        CVornicDlg dlg({});
        dlg.InitDialog();
        QLineEdit* path = Get<QLineEdit>(dlg, IDC_FILE_PATH);
        path->setText(QStringLiteral("/typed/by/hand.hex"));
        QMimeData data;
        data.setUrls(c.urls);
        QDragEnterEvent enter(QPoint(400, 200), Qt::CopyAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(&dlg, &enter);
        EXPECT_EQ(enter.isAccepted(), c.taken) << c.why;
        QDropEvent drop(QPointF(400, 200), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&dlg, &drop);
        EXPECT_EQ(path->text(), c.taken ? file.toLocalFile() : QStringLiteral("/typed/by/hand.hex"))
            << c.why;
        // As after the chooser: a cancelled chooser puts the dropped file back.
        dlg.SetFileChooser([](QWidget*, const QString&) { return std::optional<QString>(); });
        dlg.OnBrowse();
        EXPECT_EQ(path->text(), c.taken ? file.toLocalFile() : QString()) << c.why;
        EXPECT_EQ(path->cursorPosition(), path->text().size()) << c.why;
    }
}

QString Accessible(QWidget* widget, QAccessible::Text text) {
    return QAccessible::queryAccessibleInterface(widget)->text(text);
}

TEST(DialogAccessibilityTest, EveryControlIsNamedInTheSelectedLanguage) {
    const struct {
        bool chinese;
        const char *checkStatus, *pane;
        int banner;
        const char* bannerText;
    } cases[] = {
        {true, "查询设备读保护状态", "输出日志", IDB_BANNER_PROTECTED_ZH, "代码读保护已使能"},
        {false, "Check read-protect status of the device", "Output log", IDB_BANNER_UNPROTECTED_EN,
         "Code read protection is disabled"},
    };
    for (const auto& c : cases) {
        DialogOptions options;
        options.useChinese = c.chinese;
        CVornicDlg dlg(options);
        dlg.InitDialog();
        for (int id : kTabOrder)
            EXPECT_FALSE(Accessible(dlg.Control(id), QAccessible::Name).isEmpty()) << id;
        // Image buttons are named by their tooltips.
        for (int id : {IDC_CHECK_STATUS, IDC_DISABLE_PROTECT, IDC_ENABLE_PROTECT, IDC_EXECUTE,
                       IDC_CLEAR_OUTPUT})
            EXPECT_EQ(Accessible(dlg.Control(id), QAccessible::Name), dlg.Control(id)->toolTip());
        EXPECT_EQ(dlg.Control(IDC_CHECK_STATUS)->toolTip().toStdString(), c.checkStatus);
        EXPECT_EQ(Accessible(dlg.Control(IDC_OUTPUT), QAccessible::Name).toStdString(), c.pane);
        // A drop-down list is labelled by the text beside it.
        auto labels = QAccessible::queryAccessibleInterface(dlg.Control(IDC_ADDRESS))
                          ->relations(QAccessible::Label);
        ASSERT_EQ(labels.size(), 1);
        EXPECT_EQ(labels[0].first->object(), dlg.Control(IDC_ADDRESS_LABEL));

        QtControlsPort port(&dlg);
        port.ShowBitmap(IDC_STATUS_BITMAP, c.banner);
        EXPECT_EQ(
            Accessible(dlg.Control(IDC_STATUS_BITMAP), QAccessible::Description).toStdString(),
            c.bannerText);
    }
    g_useChinese.store(1);
}

TEST(DialogRoutingTest, EachButtonRunsItsOwnHandler) {
    CVornicDlg dlg({});
    dlg.InitDialog();
    std::vector<int> ran;
    const int ids[] = {IDC_OPEN_DEVICE,  IDC_EXECUTE,         IDC_CLEAR_OUTPUT,
                       IDC_CHECK_STATUS, IDC_DISABLE_PROTECT, IDC_ENABLE_PROTECT};
    for (int id : ids) dlg.SetHandler(id, [&ran, id] { ran.push_back(id); });
    for (int id : ids) qobject_cast<QAbstractButton*>(dlg.Control(id))->click();
    EXPECT_EQ(ran, std::vector<int>(std::begin(ids), std::end(ids)));
    // The check boxes have no handlers: ticking one runs nothing.
    Get<QCheckBox>(dlg, IDC_VERIFY)->click();
    EXPECT_EQ(ran.size(), std::size(ids));
}

TEST(DialogProgressTest, SinkShowsAndHidesTheBarFromAnyThread) {
    std::function<void(uint64_t, uint64_t)> sink;
    {
        CVornicDlg dlg({});
        dlg.InitDialog();
        sink = dlg.ProgressSink();
        std::thread worker([&] { sink(250, 1000); });
        worker.join();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !dlg.ProgressBar()->isHidden(); }));
        EXPECT_EQ(dlg.ProgressBar()->value(), 250);
        sink(0, 0);
        EXPECT_TRUE(QTest::qWaitFor([&] { return dlg.ProgressBar()->isHidden(); }));
    }
    sink(1, 2);  // the dialog is gone: nothing is queued for it
    QCoreApplication::processEvents();
}

}  // namespace
}  // namespace vornic_ui
