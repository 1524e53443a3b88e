// The main dialog: controls, start-up sequence, chooser, about item, routing.
#include "vornic/ui/vornic_dlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QProxyStyle>
#include <QToolTip>
#include <QUrl>
#include <atomic>
#include <mutex>

#include "platform/controls/control_ids.h"
#include "vornic/log/language.h"
#include "vornic/log/output_log.h"
#include "vornic/ui/about_dlg.h"

namespace vornic_ui {

namespace {

constexpr int kDialogWidthDlu = 417;
constexpr int kDialogHeightDlu = 313;
constexpr int kTooltipDelayMs = 200;
// Height of a closed drop-down list; the template's height is its open list.
constexpr int kComboHeightPx = 22;
constexpr int kComboArrowPx = 16;

// The application style of this window: its tooltip delay, and drop-down
// lists whose arrow leaves the 60-unit-wide box room for "0x08000000".
class DialogStyle : public QProxyStyle {
  public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_ToolTip_WakeUpDelay) return kTooltipDelayMs;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl sub,
                         const QWidget* widget) const override {
        if (control == CC_ComboBox && (sub == SC_ComboBoxArrow || sub == SC_ComboBoxEditField)) {
            const QRect r = option->rect;
            const int arrow = kComboArrowPx;
            if (sub == SC_ComboBoxArrow)
                return QRect(r.right() - arrow, r.top() + 1, arrow, r.height() - 2);
            return QRect(r.left() + 3, r.top() + 2, r.width() - arrow - 5, r.height() - 4);
        }
        return QProxyStyle::subControlRect(control, option, sub, widget);
    }
};

QFont DialogFont() {
    QFont font;
    // 9 points; the CJK fallbacks keep the Chinese texts from showing as boxes.
    font.setFamilies({"SimSun", "WenQuanYi Micro Hei", "Noto Sans CJK SC", "Noto Sans CJK"});
    font.setPointSize(9);
    return font;
}

QFont OutputFont() {
    QFont font;
    font.setFamilies({"WenQuanYi Micro Hei Mono", "Noto Sans Mono CJK SC", "DejaVu Sans Mono"});
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    font.setPointSize(9);
    return font;
}

}  // namespace

// Carries progress from any thread to the dialog; the latest figures win and
// at most one update is queued at a time.
class ProgressChannel {
  public:
    explicit ProgressChannel(CVornicDlg* dialog) : m_dialog(dialog) {}

    void Post(uint64_t done, uint64_t total) {
        m_done.store(done, std::memory_order_relaxed);
        m_total.store(total, std::memory_order_relaxed);
        if (m_pending.exchange(true)) return;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_dialog == nullptr) return;
        QMetaObject::invokeMethod(
            m_dialog,
            [this, self = m_self.lock()] {
                if (!self) return;
                m_pending.store(false);
                std::lock_guard<std::mutex> inner(m_mutex);
                if (m_dialog != nullptr)
                    m_dialog->ApplyProgress(m_done.load(std::memory_order_relaxed),
                                            m_total.load(std::memory_order_relaxed));
            },
            Qt::QueuedConnection);
    }

    void Detach() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_dialog = nullptr;
    }

    std::weak_ptr<ProgressChannel> m_self;

  private:
    std::mutex m_mutex;
    CVornicDlg* m_dialog;
    std::atomic<uint64_t> m_done{0};
    std::atomic<uint64_t> m_total{0};
    std::atomic<bool> m_pending{false};
};

CVornicDlg::CVornicDlg(DialogOptions options, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      m_options(std::move(options)),
      m_hIcon(LoadResourceIcon(IDI_MAINFRAME)),
      m_progressChannel(std::make_shared<ProgressChannel>(this)) {
    m_progressChannel->m_self = m_progressChannel;
    m_fileChooser = [](QWidget* owner, const QString& previous) -> std::optional<QString> {
        QString path =
            QFileDialog::getOpenFileName(owner, QString(), previous,
                                         QStringLiteral("HexData Files(*.hex);;"
                                                        "Firmware Files(*.hex *.bin *.elf)"));
        if (path.isEmpty()) return std::nullopt;
        return path;
    };
    setFont(DialogFont());
    setWindowTitle(QStringLiteral("代码烧录"));
    setFixedSize(DluToPx(kDialogWidthDlu), DluToPx(kDialogHeightDlu));
    setAcceptDrops(true);
    CreateControls();
}

CVornicDlg::~CVornicDlg() { m_progressChannel->Detach(); }

void CVornicDlg::CreateControls() {
    // Created in tab order; the focus chain follows creation.
    auto place = [this](int id, QWidget* w, QRect r) {
        w->setGeometry(r);
        if (id != 0) m_controls[id] = w;
    };
    auto imageButton = [this, &place](int id, int x, int y) {
        auto* b = new ImageButton(this);
        b->setAutoDefault(false);
        b->installEventFilter(this);
        place(id, b, DluRect(x, y, 37, 36));
        connect(b, &QPushButton::clicked, this, [this, id] { RunCommand(id); });
        return b;
    };
    auto pushButton = [this, &place](int id, const QString& text, QRect r) {
        auto* b = new QPushButton(text, this);
        b->setAutoDefault(false);
        b->installEventFilter(this);
        place(id, b, r);
        connect(b, &QPushButton::clicked, this, [this, id] { RunCommand(id); });
        return b;
    };
    auto checkBox = [this, &place](int id, const QString& text, QRect r) {
        auto* c = new QCheckBox(text, this);
        place(id, c, r);
        return c;
    };
    auto label = [this, &place](int id, const QString& text, QRect r) {
        auto* l = new QLabel(text, this);
        place(id, l, r);
        return l;
    };
    auto combo = [this, &place](int id, QStringList items, int x, int y, int w) {
        auto* c = new QComboBox(this);
        c->addItems(items);
        c->setCurrentIndex(-1);
        place(id, c, QRect(DluToPx(x), DluToPx(y), DluToPx(x + w) - DluToPx(x), kComboHeightPx));
        return c;
    };

    auto* linkStatus = new QLineEdit(this);
    linkStatus->setReadOnly(true);
    place(IDC_LINK_STATUS, linkStatus, DluRect(303, 18, 6, 12));
    linkStatus->hide();
    pushButton(IDC_OPEN_DEVICE, QStringLiteral("打开设备"), DluRect(304, 19, 6, 16))->hide();

    auto* path = new QLineEdit(this);
    // A file dropped on the box is the window's drop (the chooser's handling),
    // not text to insert.
    path->setAcceptDrops(false);
    place(IDC_FILE_PATH, path, DluRect(165, 123, 220, 13));
    pushButton(IDC_BROWSE, QStringLiteral("..."), DluRect(389, 122, 19, 16));
    checkBox(IDC_ERASE_ALL, QStringLiteral("全擦"), DluRect(168, 52, 81, 10));
    m_btnExecute = imageButton(IDC_EXECUTE, 320, 142);

    // The pane takes the focus so that its text can be selected and copied,
    // but no typed text; Tab moves on to the next control.
    auto* output = new QPlainTextEdit(this);
    output->setReadOnly(true);
    output->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    output->setTabChangesFocus(true);
    output->setAcceptDrops(false);
    output->setUndoRedoEnabled(false);
    output->setFont(OutputFont());
    output->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    output->installEventFilter(this);
    place(IDC_OUTPUT, output, DluRect(159, 205, 255, 105));

    m_btnClearOutput = imageButton(IDC_CLEAR_OUTPUT, 372, 142);
    checkBox(IDC_PROGRAMME, QStringLiteral("编程"), DluRect(168, 69, 68, 10));
    checkBox(IDC_VERIFY, QStringLiteral("校验"), DluRect(168, 88, 60, 10));
    m_btnCheckStatus = imageButton(IDC_CHECK_STATUS, 164, 142);
    m_btnDisableProtect = imageButton(IDC_DISABLE_PROTECT, 216, 142);
    // Each label names its drop-down list for a screen reader.
    QLabel* addressLabel =
        label(IDC_ADDRESS_LABEL, QStringLiteral("编程地址:"), DluRect(166, 28, 71, 8));
    addressLabel->setBuddy(combo(
        IDC_ADDRESS, {QStringLiteral("0x08000000"), QStringLiteral("0x20000000")}, 209, 26, 60));
    m_btnEnableProtect = imageButton(IDC_ENABLE_PROTECT, 268, 142);
    checkBox(IDC_RESET, QStringLiteral("复位"), DluRect(168, 106, 32, 10));

    auto* picture = new QLabel(this);
    picture->setPixmap(LoadResourcePixmap(IDB_LEFT_PICTURE));
    picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(0, picture, DluRect(1, 1, 150, 311));

    QLabel* mcuLabel = label(IDC_MCU_LABEL, QStringLiteral("MCU型号:"), DluRect(166, 10, 49, 8));
    mcuLabel->setBuddy(combo(IDC_MCU_TYPE, {QStringLiteral("CH32V103")}, 209, 7, 60));

    auto* banner = new QLabel(this);
    banner->setPixmap(LoadResourcePixmap(IDB_BANNER_BLANK));
    banner->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(IDC_STATUS_BITMAP, banner, DluRect(164, 180, 244, 19));

    // Between the banner and the pane: the data phase of a running job.
    m_progress = new QProgressBar(this);
    m_progress->setTextVisible(false);
    m_progress->setRange(0, 1000);
    QRect bannerRect = banner->geometry();
    m_progress->setGeometry(bannerRect.left(), bannerRect.bottom() + 3, bannerRect.width(), 4);
    m_progress->setFocusPolicy(Qt::NoFocus);
    m_progress->hide();

    // The picture was created late in the tab order but must not cover the controls.
    picture->lower();
}

QWidget* CVornicDlg::Control(int controlId) const {
    auto it = m_controls.find(controlId);
    return it == m_controls.end() ? nullptr : it->second;
}

void CVornicDlg::SetHandler(int controlId, std::function<void()> handler) {
    m_handlers[controlId] = std::move(handler);
}

void CVornicDlg::RunCommand(int controlId) {
    if (controlId == IDC_BROWSE) {
        OnBrowse();
        return;
    }
    auto it = m_handlers.find(controlId);
    if (it != m_handlers.end() && it->second) {
        // A copy: the handler may replace itself in the table while it runs.
        std::function<void()> handler = it->second;
        handler();
    }
}

int CVornicDlg::InitDialog() {
    if (m_initialised) return 1;
    m_initialised = true;

    g_useChinese.store(m_options.useChinese ? 1 : 0);

    // The window manager owns the system menu here: the about item lives in
    // the dialog's context menu, after a separator, as on the system menu.
    const QString aboutText = QStringLiteral("关于 Vornic(&A)...");
    m_contextMenu = new QMenu(this);
    m_contextMenu->setSeparatorsCollapsible(false);
    if (!aboutText.isEmpty()) {
        m_contextMenu->addSeparator();
        m_contextMenu->addAction(aboutText, this, &CVornicDlg::OnAbout);
    }

    setWindowIcon(m_hIcon);

    for (int id :
         {IDI_CHECK_STATUS, IDI_DISABLE_PROTECT, IDI_ENABLE_PROTECT, IDI_CLEAR_OUTPUT, IDI_EXECUTE})
        m_imageList.Add(LoadResourcePixmap(id));

    for (ImageButton* b : {m_btnCheckStatus, m_btnDisableProtect, m_btnEnableProtect,
                           m_btnClearOutput, m_btnExecute})
        b->SetImageList(&m_imageList);
    m_btnCheckStatus->SetImageIndex(0);
    m_btnDisableProtect->SetImageIndex(1);
    m_btnEnableProtect->SetImageIndex(2);
    m_btnClearOutput->SetImageIndex(3);
    m_btnExecute->SetImageIndex(4);

    // The pane has no text limit of its own: it holds every line until cleared.
    static_cast<QPlainTextEdit*>(Control(IDC_OUTPUT))->setMaximumBlockCount(0);

    static_cast<QLineEdit*>(Control(IDC_LINK_STATUS))
        ->setText(QString::fromUtf8(Tr("等待设备连接", "Wait for device link")));

    if (m_hooks.registerDeviceNotify) m_hooks.registerDeviceNotify();

    for (int id : {IDC_ERASE_ALL, IDC_PROGRAMME, IDC_VERIFY, IDC_RESET})
        static_cast<QCheckBox*>(Control(id))->setChecked(true);

    if (m_hooks.startUpProbeLink) m_hooks.startUpProbeLink();

    auto* address = static_cast<QComboBox*>(Control(IDC_ADDRESS));
    address->setCurrentIndex(0);
    // An image for SRAM has no business with the flash's content: choosing
    // 0x20000000 unticks the erase box, which the user may tick again.
    connect(address, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index == 1) static_cast<QCheckBox*>(Control(IDC_ERASE_ALL))->setChecked(false);
    });
    static_cast<QComboBox*>(Control(IDC_MCU_TYPE))->setCurrentIndex(0);

    m_btnCheckStatus->setToolTip(
        QString::fromUtf8(Tr("查询设备读保护状态", "Check read-protect status of the device")));
    m_btnDisableProtect->setToolTip(
        QString::fromUtf8(Tr("解除设备读保护", "Disable read-protect")));
    m_btnEnableProtect->setToolTip(QString::fromUtf8(Tr("使能设备读保护", "Enable read-protect")));
    m_btnExecute->setToolTip(QString::fromUtf8(Tr("执行", "Execute")));
    m_btnClearOutput->setToolTip(QString::fromUtf8(Tr("清除输出信息", "Clear output")));

    // What a screen reader calls the controls that show no text of their own.
    for (ImageButton* b : {m_btnCheckStatus, m_btnDisableProtect, m_btnEnableProtect, m_btnExecute,
                           m_btnClearOutput})
        b->setAccessibleName(b->toolTip());
    Control(IDC_OUTPUT)->setAccessibleName(QString::fromUtf8(Tr("输出日志", "Output log")));
    Control(IDC_FILE_PATH)->setAccessibleName(QString::fromUtf8(Tr("固件文件", "Firmware file")));
    Control(IDC_BROWSE)
        ->setAccessibleName(QString::fromUtf8(Tr("选择固件文件", "Choose firmware file")));

    if (dynamic_cast<DialogStyle*>(QApplication::style()) == nullptr)
        QApplication::setStyle(new DialogStyle);
    QPalette tipPalette = QToolTip::palette();
    tipPalette.setColor(QPalette::ToolTipText, Qt::black);
    tipPalette.setColor(QPalette::ToolTipBase, Qt::white);
    QToolTip::setPalette(tipPalette);

    if (g_useChinese.load() == 0) {
        static_cast<QCheckBox*>(Control(IDC_ERASE_ALL))->setText(QStringLiteral("Erase-All"));
        static_cast<QCheckBox*>(Control(IDC_PROGRAMME))->setText(QStringLiteral("Programme"));
        static_cast<QCheckBox*>(Control(IDC_VERIFY))->setText(QStringLiteral("Verify"));
        static_cast<QCheckBox*>(Control(IDC_RESET))->setText(QStringLiteral("Reset"));
        static_cast<QLabel*>(Control(IDC_MCU_LABEL))->setText(QStringLiteral("MCU Type:"));
        static_cast<QLabel*>(Control(IDC_ADDRESS_LABEL))->setText(QStringLiteral("Address:"));
        setWindowTitle(QStringLiteral("Flash Download"));
    }
    if (!m_options.simulatedTarget.empty()) {
        // Nobody must take the simulator for a board.
        setWindowTitle(windowTitle() + QString::fromUtf8(Tr(" [模拟目标 ", " [simulated ")) +
                       QString::fromStdString(m_options.simulatedTarget) + QStringLiteral("]"));
    }

    if (m_options.firstArgument)
        static_cast<QLineEdit*>(Control(IDC_FILE_PATH))
            ->setText(QString::fromLocal8Bit(m_options.firstArgument->c_str()));
    return 1;
}

void CVornicDlg::showEvent(QShowEvent* event) {
    if (!m_initialised) InitDialog();
    QDialog::showEvent(event);
}

void CVornicDlg::OnBrowse() {
    std::optional<QString> chosen = m_fileChooser(this, m_chosenFile);
    if (chosen) m_chosenFile = *chosen;
    // Chosen or cancelled, the box shows the chooser's file: after a cancel the
    // previous choice, even over a path typed by hand since.
    ShowChosenFile();
}

void CVornicDlg::ShowChosenFile() {
    auto* path = static_cast<QLineEdit*>(Control(IDC_FILE_PATH));
    path->setText(m_chosenFile);
    path->end(false);
}

namespace {
// The path of a drop that carries exactly one local file (not a folder).
std::optional<QString> DroppedFile(const QMimeData* data) {
    if (data == nullptr || data->urls().size() != 1) return std::nullopt;
    const QUrl& url = data->urls().front();
    if (!url.isLocalFile()) return std::nullopt;
    QString path = url.toLocalFile();
    if (path.isEmpty() || QFileInfo(path).isDir()) return std::nullopt;
    return path;
}
}  // namespace

void CVornicDlg::dragEnterEvent(QDragEnterEvent* event) {
    if (DroppedFile(event->mimeData())) event->acceptProposedAction();
}

void CVornicDlg::dropEvent(QDropEvent* event) {
    std::optional<QString> file = DroppedFile(event->mimeData());
    if (!file) return;
    event->acceptProposedAction();
    // As if the chooser had returned it.
    m_chosenFile = *file;
    ShowChosenFile();
}

void CVornicDlg::OnAbout() {
    CAboutDlg about(this);
    about.exec();
}

void CVornicDlg::contextMenuEvent(QContextMenuEvent* event) {
    if (m_contextMenu != nullptr) m_contextMenu->exec(event->globalPos());
}

void CVornicDlg::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && (event->modifiers() & ~Qt::KeypadModifier) == 0) {
        // A focused push button takes Enter as its click; anywhere else Enter
        // is the dialog's OK and ends the dialog.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            if (button->isEnabled()) button->click();
        } else {
            accept();
        }
        return;
    }
    QDialog::keyPressEvent(event);
}

bool CVornicDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        const bool enter = (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
                           (key->modifiers() & ~Qt::KeypadModifier) == 0;
        if (enter && watched == Control(IDC_OUTPUT)) {
            // The pane takes no Enter of its own: as in the path box, Enter is OK.
            accept();
            return true;
        }
        if (enter) {
            // A push button with the focus takes Enter as its click.
            if (auto* button = qobject_cast<QPushButton*>(watched)) {
                if (button->isEnabled()) button->click();
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

std::unique_ptr<QMessageBox> CVornicDlg::NewQuitQuestion() {
    auto box = std::make_unique<QMessageBox>(
        QMessageBox::Question, windowTitle(),
        QString::fromUtf8(
            Tr("下载正在进行，确定要退出吗?", "A download is in progress. Quit anyway?")),
        QMessageBox::Yes | QMessageBox::No, this);
    // An Enter pressed by habit must not end a running job.
    box->setDefaultButton(QMessageBox::No);
    box->setEscapeButton(QMessageBox::No);
    // "取消" reads as "stay" to a Chinese user more plainly than Qt's "否".
    if (g_useChinese.load() != 0) box->button(QMessageBox::No)->setText(QStringLiteral("取消"));
    return box;
}

bool CVornicDlg::AskQuitWhileJobRuns() {
    if (m_confirmQuit) return m_confirmQuit();
    return NewQuitQuestion()->exec() == QMessageBox::Yes;
}

void CVornicDlg::done(int result) {
    // Quitting half-way leaves the target partly programmed: ask first.
    if (m_hooks.jobRunning && m_hooks.jobRunning()) {
        if (!AskQuitWhileJobRuns()) return;
        m_quitWhileJobRuns = true;
    }
    QDialog::done(result);
}

std::function<void(uint64_t, uint64_t)> CVornicDlg::ProgressSink() const {
    std::shared_ptr<ProgressChannel> channel = m_progressChannel;
    return [channel](uint64_t done, uint64_t total) { channel->Post(done, total); };
}

void CVornicDlg::ApplyProgress(uint64_t done, uint64_t total) {
    if (total == 0) {
        m_progress->hide();
        return;
    }
    if (done > total) done = total;
    m_progress->setValue(static_cast<int>(done * 1000 / total));
    m_progress->show();
}

}  // namespace vornic_ui
