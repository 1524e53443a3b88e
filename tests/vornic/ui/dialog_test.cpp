// The main dialog: layout and tab order, the start-up sequence and its texts,
// tooltips, the about item, Enter and Escape, the chooser and a dropped file,
// what a screen reader is told, the quit question.
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
#include "image_button.h"
#include "language.h"
#include "output_log.h"
#include "qt_controls.h"
#include "vornic_dlg.h"

namespace vornic_ui {
namespace {

template <class T>
T* Get(CVornicDlg& dlg, int id) {
    T* w = qobject_cast<T*>(dlg.Control(id));
    EXPECT_NE(w, nullptr) << "control " << id;
    return w;
}

struct TabStop {
    int id, x, y, w, h;
};
// The controls of the dialog template that take the focus, in tab order, with
// their places (x, y, width, height in dialog units).
const TabStop kTabOrder[] = {
    {IDC_FILE_PATH, 165, 123, 220, 13},   {IDC_BROWSE, 389, 122, 19, 16},
    {IDC_ERASE_ALL, 168, 52, 81, 10},     {IDC_EXECUTE, 320, 142, 37, 36},
    {IDC_OUTPUT, 159, 205, 255, 105},     {IDC_CLEAR_OUTPUT, 372, 142, 37, 36},
    {IDC_PROGRAMME, 168, 69, 68, 10},     {IDC_VERIFY, 168, 88, 60, 10},
    {IDC_CHECK_STATUS, 164, 142, 37, 36}, {IDC_DISABLE_PROTECT, 216, 142, 37, 36},
    {IDC_ADDRESS, 209, 26, 60, 69},       {IDC_ENABLE_PROTECT, 268, 142, 37, 36},
    {IDC_RESET, 168, 106, 32, 10},        {IDC_MCU_TYPE, 209, 7, 60, 69},
};

TEST(DialogLayoutTest, ControlsSitAtTheirTemplatePlaces) {
    CVornicDlg dlg({});
    EXPECT_EQ(dlg.size(), QSize(626, 470));
    for (const TabStop& stop : kTabOrder) {
        QRect expected = DluRect(stop.x, stop.y, stop.w, stop.h);
        QWidget* w = dlg.Control(stop.id);
        // A closed drop-down list: the template height is its open list.
        if (qobject_cast<QComboBox*>(w) != nullptr) expected.setHeight(w->height());
        EXPECT_EQ(w->geometry(), expected) << stop.id;
    }
    EXPECT_EQ(Get<QLabel>(dlg, IDC_STATUS_BITMAP)->geometry(), QRect(246, 270, 366, 29));
    EXPECT_EQ(DluRect(1, 1, 150, 311), QRect(2, 2, 225, 466));  // the left picture's size
    EXPECT_TRUE(dlg.Control(IDC_LINK_STATUS)->isHidden());
    EXPECT_TRUE(dlg.Control(IDC_OPEN_DEVICE)->isHidden());
}

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

    std::vector<int> order;
    for (const TabStop& stop : kTabOrder) order.push_back(stop.id);
    auto walk = [&](Qt::Key key) {
        std::vector<int> met;
        dlg.Control(IDC_FILE_PATH)->setFocus();
        for (size_t i = 0; i < order.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), key);
            int id = 0;
            for (int candidate : order)
                if (dlg.Control(candidate) == QApplication::focusWidget()) id = candidate;
            met.push_back(id);
        }
        return met;
    };
    std::vector<int> forward(order.begin() + 1, order.end());
    forward.push_back(order.front());
    EXPECT_EQ(walk(Qt::Key_Tab), forward);
    EXPECT_EQ(walk(Qt::Key_Backtab), std::vector<int>(order.rbegin(), order.rend()));

    pane->setFocus();
    QTest::keyClicks(pane, QStringLiteral("typed"));
    QTest::keyClick(pane, Qt::Key_Backspace);
    EXPECT_EQ(pane->toPlainText().toStdString(), line.toStdString());
}

TEST(DialogLayoutTest, TemplateTextsBeforeStartUp) {
    CVornicDlg dlg({});
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("代码烧录"));
    EXPECT_EQ(Get<QPushButton>(dlg, IDC_OPEN_DEVICE)->text(), QStringLiteral("打开设备"));
    EXPECT_EQ(Get<QPushButton>(dlg, IDC_BROWSE)->text(), QStringLiteral("..."));
    EXPECT_EQ(Get<QCheckBox>(dlg, IDC_ERASE_ALL)->text(), QStringLiteral("全擦"));
    EXPECT_EQ(Get<QLabel>(dlg, IDC_ADDRESS_LABEL)->text(), QStringLiteral("编程地址:"));
    QComboBox* address = Get<QComboBox>(dlg, IDC_ADDRESS);
    ASSERT_EQ(address->count(), 2);
    EXPECT_EQ(address->itemText(1), QStringLiteral("0x20000000"));
    EXPECT_EQ(address->currentIndex(), -1);  // selected only by the start-up sequence
    EXPECT_FALSE(Get<QCheckBox>(dlg, IDC_RESET)->isChecked());
    EXPECT_FALSE(Get<QLabel>(dlg, IDC_STATUS_BITMAP)->pixmap().isNull());
}

TEST(DialogStartUpTest, DefaultStateAndPathFromFirstArgument) {
    DialogOptions options;
    options.firstArgument = "/tmp/fw 100%.hex";
    CVornicDlg dlg(options);
    ASSERT_EQ(dlg.InitDialog(), 1);
    EXPECT_EQ(g_useChinese.load(), 1);
    for (int id : {IDC_ERASE_ALL, IDC_PROGRAMME, IDC_VERIFY, IDC_RESET})
        EXPECT_TRUE(Get<QCheckBox>(dlg, id)->isChecked()) << id;
    EXPECT_EQ(Get<QComboBox>(dlg, IDC_ADDRESS)->currentText(), QStringLiteral("0x08000000"));
    EXPECT_EQ(Get<QComboBox>(dlg, IDC_MCU_TYPE)->currentText(), QStringLiteral("CH32V103"));
    EXPECT_EQ(Get<QLineEdit>(dlg, IDC_FILE_PATH)->text(), QStringLiteral("/tmp/fw 100%.hex"));
    EXPECT_EQ(Get<QLineEdit>(dlg, IDC_LINK_STATUS)->text(), QStringLiteral("等待设备连接"));
    EXPECT_TRUE(
        Get<QPlainTextEdit>(dlg, IDC_OUTPUT)->toPlainText().isEmpty());  // no probe, no line
    EXPECT_FALSE(dlg.windowIcon().isNull());
    EXPECT_EQ(dlg.Images().Count(), 5);
    const int indices[][2] = {{IDC_CHECK_STATUS, 0},
                              {IDC_DISABLE_PROTECT, 1},
                              {IDC_ENABLE_PROTECT, 2},
                              {IDC_CLEAR_OUTPUT, 3},
                              {IDC_EXECUTE, 4}};
    for (const auto& [id, index] : indices)
        EXPECT_EQ(Get<ImageButton>(dlg, id)->ImageIndex(), index) << id;
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

TEST(DialogStartUpTest, TooltipsTextsDelayAndColours) {
    CVornicDlg dlg({});
    dlg.InitDialog();
    EXPECT_EQ(dlg.Control(IDC_CHECK_STATUS)->toolTip(), QStringLiteral("查询设备读保护状态"));
    EXPECT_EQ(dlg.Control(IDC_DISABLE_PROTECT)->toolTip(), QStringLiteral("解除设备读保护"));
    EXPECT_EQ(dlg.Control(IDC_ENABLE_PROTECT)->toolTip(), QStringLiteral("使能设备读保护"));
    EXPECT_EQ(dlg.Control(IDC_EXECUTE)->toolTip(), QStringLiteral("执行"));
    EXPECT_EQ(dlg.Control(IDC_CLEAR_OUTPUT)->toolTip(), QStringLiteral("清除输出信息"));
    EXPECT_EQ(QApplication::style()->styleHint(QStyle::SH_ToolTip_WakeUpDelay), 200);
    EXPECT_EQ(QToolTip::palette().color(QPalette::ToolTipText), QColor(Qt::black));
    EXPECT_EQ(QToolTip::palette().color(QPalette::ToolTipBase), QColor(Qt::white));
}

TEST(DialogStartUpTest, EnglishTextsAndSimulatedTitle) {
    DialogOptions options;
    options.useChinese = false;
    options.simulatedTarget = "CH32V103";
    CVornicDlg dlg(options);
    dlg.InitDialog();
    EXPECT_EQ(g_useChinese.load(), 0);
    EXPECT_EQ(Get<QCheckBox>(dlg, IDC_ERASE_ALL)->text(), QStringLiteral("Erase-All"));
    EXPECT_EQ(Get<QCheckBox>(dlg, IDC_PROGRAMME)->text(), QStringLiteral("Programme"));
    EXPECT_EQ(Get<QCheckBox>(dlg, IDC_VERIFY)->text(), QStringLiteral("Verify"));
    EXPECT_EQ(Get<QCheckBox>(dlg, IDC_RESET)->text(), QStringLiteral("Reset"));
    EXPECT_EQ(Get<QLabel>(dlg, IDC_MCU_LABEL)->text(), QStringLiteral("MCU Type:"));
    EXPECT_EQ(Get<QLabel>(dlg, IDC_ADDRESS_LABEL)->text(), QStringLiteral("Address:"));
    EXPECT_EQ(Get<QLineEdit>(dlg, IDC_LINK_STATUS)->text(), QStringLiteral("Wait for device link"));
    EXPECT_EQ(dlg.Control(IDC_EXECUTE)->toolTip(), QStringLiteral("Execute"));
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Flash Download [simulated CH32V103]"));
    // The hidden open button keeps its template text until the probe link changes it.
    EXPECT_EQ(Get<QPushButton>(dlg, IDC_OPEN_DEVICE)->text(), QStringLiteral("打开设备"));
    g_useChinese.store(1);
}

TEST(DialogStartUpTest, AboutItemFollowsASeparatorAndOpensTheAboutBox) {
    CVornicDlg dlg({});
    dlg.InitDialog();
    ASSERT_NE(dlg.ContextMenu(), nullptr);
    QList<QAction*> actions = dlg.ContextMenu()->actions();
    ASSERT_EQ(actions.size(), 2);
    EXPECT_TRUE(actions[0]->isSeparator());
    EXPECT_EQ(actions[1]->text(), QStringLiteral("关于 Vornic(&A)..."));

    QString title, text;
    bool hadDefault = false;
    QTimer::singleShot(0, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr) return;
        title = modal->windowTitle();
        if (auto* l = modal->findChild<QLabel*>(QStringLiteral("aboutText"))) text = l->text();
        if (auto* ok = modal->findChild<QPushButton*>(QStringLiteral("aboutOk"))) {
            hadDefault = ok->isDefault() && ok->text() == QStringLiteral("确定");
            ok->click();
        }
    });
    actions[1]->trigger();  // modal: returns when the timer has pressed OK
    EXPECT_EQ(title, QStringLiteral("关于 Vornic"));
    EXPECT_EQ(text, QStringLiteral("Vornic 1.0 版"));
    EXPECT_TRUE(hadDefault);
}

TEST(DialogEndTest, EnterInPathBoxEndsTheDialog) {
    CVornicDlg dlg({});
    dlg.InitDialog();
    dlg.show();
    QLineEdit* path = Get<QLineEdit>(dlg, IDC_FILE_PATH);
    path->setFocus();
    QTest::keyClick(path, Qt::Key_Return);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
}

TEST(DialogEndTest, EnterOnACheckBoxOrInThePaneEndsTheDialog) {
    for (int id : {IDC_ERASE_ALL, IDC_OUTPUT}) {
        CVornicDlg dlg({});
        dlg.InitDialog();
        dlg.show();
        dlg.Control(id)->setFocus();
        QTest::keyClick(dlg.Control(id), Qt::Key_Enter, Qt::KeypadModifier);
        EXPECT_FALSE(dlg.isVisible()) << id;
    }
}

TEST(DialogEndTest, EnterOnAFocusedButtonClicksItInstead) {
    CVornicDlg dlg({});
    dlg.InitDialog();
    int clicks = 0;
    dlg.SetHandler(IDC_CHECK_STATUS, [&] { ++clicks; });
    dlg.show();
    QApplication::setActiveWindow(&dlg);
    dlg.Control(IDC_CHECK_STATUS)->setFocus();
    ASSERT_EQ(dlg.focusWidget(), dlg.Control(IDC_CHECK_STATUS));
    QTest::keyClick(dlg.Control(IDC_CHECK_STATUS), Qt::Key_Return);
    EXPECT_EQ(clicks, 1);
    EXPECT_TRUE(dlg.isVisible());
}

TEST(DialogEndTest, EscapeEndsTheDialog) {
    CVornicDlg dlg({});
    dlg.InitDialog();
    dlg.show();
    QTest::keyClick(&dlg, Qt::Key_Escape);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
}

TEST(DialogEndTest, QuitWhileJobRunsAsksFirst) {
    CVornicDlg dlg({});
    dlg.InitDialog();
    bool running = true;
    int asked = 0;
    bool answer = false;
    dlg.Hooks().jobRunning = [&] { return running; };
    dlg.SetQuitConfirmation([&] {
        ++asked;
        return answer;
    });
    dlg.show();
    QTest::keyClick(&dlg, Qt::Key_Escape);
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(dlg.isVisible());  // "no": the job goes on, the window stays
    EXPECT_FALSE(dlg.close());
    EXPECT_EQ(asked, 2);
    answer = true;
    EXPECT_TRUE(dlg.close());
    EXPECT_EQ(asked, 3);
    EXPECT_TRUE(dlg.QuitWhileJobRuns());

    // Without a job nobody is asked.
    CVornicDlg idle({});
    idle.InitDialog();
    idle.Hooks().jobRunning = [] { return false; };
    idle.SetQuitConfirmation([&] { return ++asked, false; });
    idle.show();
    QTest::keyClick(&idle, Qt::Key_Escape);
    EXPECT_FALSE(idle.isVisible());
    EXPECT_EQ(asked, 3);
    EXPECT_FALSE(idle.QuitWhileJobRuns());
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
        int banner;
        const char* bannerText;
        const char* pane;
    } cases[] = {
        {true, IDB_BANNER_PROTECTED_ZH, "代码读保护已使能", "输出日志"},
        {false, IDB_BANNER_UNPROTECTED_EN, "Code read protection is disabled", "Output log"},
    };
    for (const auto& c : cases) {
        DialogOptions options;
        options.useChinese = c.chinese;
        CVornicDlg dlg(options);
        dlg.InitDialog();
        for (const TabStop& stop : kTabOrder)
            EXPECT_FALSE(Accessible(dlg.Control(stop.id), QAccessible::Name).isEmpty()) << stop.id;
        for (int id : {IDC_CHECK_STATUS, IDC_DISABLE_PROTECT, IDC_ENABLE_PROTECT, IDC_EXECUTE,
                       IDC_CLEAR_OUTPUT}) {
            EXPECT_EQ(Accessible(dlg.Control(id), QAccessible::Name), dlg.Control(id)->toolTip());
            EXPECT_FALSE(dlg.Control(id)->toolTip().isEmpty());
        }
        EXPECT_EQ(Accessible(dlg.Control(IDC_OUTPUT), QAccessible::Name), c.pane);
        // A drop-down list is labelled by the text beside it.
        auto labels = QAccessible::queryAccessibleInterface(dlg.Control(IDC_ADDRESS))
                          ->relations(QAccessible::Label);
        ASSERT_EQ(labels.size(), 1);
        EXPECT_EQ(labels[0].first->object(), dlg.Control(IDC_ADDRESS_LABEL));

        QtControlsPort port(&dlg);
        port.ShowBitmap(IDC_STATUS_BITMAP, c.banner);
        EXPECT_EQ(Accessible(dlg.Control(IDC_STATUS_BITMAP), QAccessible::Description),
                  c.bannerText);
        port.ShowBitmap(IDC_STATUS_BITMAP, IDB_BANNER_BLANK);
        EXPECT_EQ(Accessible(dlg.Control(IDC_STATUS_BITMAP), QAccessible::Description), "");
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
