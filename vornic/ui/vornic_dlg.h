// The main dialog: every control of the flash download window at its fixed
// place, its start-up sequence, the file chooser and the routing of clicks.
#pragma once

#include <QDialog>
#include <QPointer>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "vornic/ui/image_button.h"
#include "vornic/ui/resources.h"

class QMenu;
class QMessageBox;
class QProgressBar;

namespace vornic_ui {

// What the command line decides for the dialog.
struct DialogOptions {
    bool useChinese = true;                    // --lang=zh (default) or en
    std::optional<std::string> firstArgument;  // pre-fills the path box
    std::string simulatedTarget;               // non-empty: shown in the title
};

// Start-up and shutdown calls into the flash code, filled by the command routing.
struct DialogHooks {
    std::function<void()> registerDeviceNotify;  // hot-plug registration
    std::function<void()> startUpProbeLink;      // the one open attempt at start-up
    std::function<bool()> jobRunning;            // a download job is in progress
};

// Converts dialog units of the template into pixels: 1.5 pixels per unit,
// halves rounded up.
constexpr int DluToPx(int units) { return (units * 3 + 1) / 2; }

// The pixel rectangle of a template rectangle (x, y, width, height in units).
inline QRect DluRect(int x, int y, int w, int h) {
    return QRect(QPoint(DluToPx(x), DluToPx(y)), QPoint(DluToPx(x + w) - 1, DluToPx(y + h) - 1));
}

class ProgressChannel;

class CVornicDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CVornicDlg(DialogOptions options, QWidget* parent = nullptr);
    ~CVornicDlg() override;

    // The click handler of a button; replaces an earlier one.
    void SetHandler(int controlId, std::function<void()> handler);
    DialogHooks& Hooks() { return m_hooks; }

    // The start-up sequence (language, about item, icons, images, texts, hot-plug
    // registration, default ticks and selections, first probe open, tooltips).
    // Runs once; the first show runs it if nobody did. Returns 1.
    int InitDialog();
    bool Initialised() const { return m_initialised; }

    // The control with this id, or null.
    QWidget* Control(int controlId) const;
    QMenu* ContextMenu() const { return m_contextMenu; }
    QProgressBar* ProgressBar() const { return m_progress; }
    const ImageList& Images() const { return m_imageList; }
    // The last path the chooser returned (kept for its next opening).
    const QString& ChosenFile() const { return m_chosenFile; }
    // True when the dialog was ended while a download job was running.
    bool QuitWhileJobRuns() const { return m_quitWhileJobRuns; }

    // Shows the data phase of a job: done of total units; total 0 hides the bar.
    // The returned function may be called from any thread, also after the
    // dialog is gone (it then does nothing).
    std::function<void(uint64_t done, uint64_t total)> ProgressSink() const;

    // The file chooser: the chosen path, or nothing on cancel.
    using FileChooser =
        std::function<std::optional<QString>(QWidget* parent, const QString& previous)>;
    void SetFileChooser(FileChooser chooser) { m_fileChooser = std::move(chooser); }
    // Asked when the dialog is ended while a job runs; true quits anyway.
    void SetQuitConfirmation(std::function<bool()> confirm) { m_confirmQuit = std::move(confirm); }

    void OnBrowse();
    void OnAbout();
    // The question asked before a running job is abandoned; "No" is its default.
    std::unique_ptr<QMessageBox> NewQuitQuestion();

    // Ends the dialog; while a job runs only after the user confirms.
    void done(int result) override;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    // One local file dropped on the window is taken as the chooser's choice.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    void CreateControls();
    void ShowChosenFile();
    void RunCommand(int controlId);
    bool AskQuitWhileJobRuns();
    void ApplyProgress(uint64_t done, uint64_t total);

    DialogOptions m_options;
    DialogHooks m_hooks;
    ImageList m_imageList{QSize(48, 48)};
    QIcon m_hIcon;
    std::map<int, QWidget*> m_controls;
    std::map<int, std::function<void()>> m_handlers;
    ImageButton* m_btnCheckStatus = nullptr;
    ImageButton* m_btnDisableProtect = nullptr;
    ImageButton* m_btnEnableProtect = nullptr;
    ImageButton* m_btnClearOutput = nullptr;
    ImageButton* m_btnExecute = nullptr;
    QMenu* m_contextMenu = nullptr;
    QProgressBar* m_progress = nullptr;
    QString m_chosenFile;
    FileChooser m_fileChooser;
    std::function<bool()> m_confirmQuit;
    std::shared_ptr<ProgressChannel> m_progressChannel;
    bool m_initialised = false;
    bool m_quitWhileJobRuns = false;

    friend class ProgressChannel;
};

}  // namespace vornic_ui
