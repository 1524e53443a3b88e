// Start-up of the window program: options, probe backend, the modal dialog,
// and the quick exit when the user quits while a job runs.
#include "vornic/ui/vornic_app.h"

#include <QAbstractButton>
#include <QImage>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/controls/control_ids.h"
#include "platform/controls/controls.h"
#include "platform/probelib/lifetime.h"
#include "vornic/ui/command_line.h"
#include "vornic/ui/command_routing.h"
#include "vornic/ui/qt_controls.h"
#include "vornic/ui/qt_translations.h"
#include "vornic/ui/vornic_dlg.h"

namespace vornic_ui {

namespace {

constexpr int kScreenshotSettleMs = 400;
constexpr int kScreenshotJobLimitMs = 60000;

// Grabs the dialog into a PNG once it is shown (after an optional click and
// the job it starts), then ends the dialog.
void ArrangeScreenshot(CVornicDlg& dialog, const CommandLine& commandLine, int* status) {
    QString file = QString::fromLocal8Bit(commandLine.screenshot->c_str());
    int clickId = commandLine.screenshotClick;
    QTimer::singleShot(kScreenshotSettleMs, &dialog, [&dialog, file, clickId, status] {
        if (clickId != 0)
            if (auto* b = qobject_cast<QAbstractButton*>(dialog.Control(clickId))) b->click();
        auto* poll = new QTimer(&dialog);
        auto started = std::make_shared<int>(0);
        QObject::connect(poll, &QTimer::timeout, &dialog, [&dialog, file, status, poll, started] {
            *started += 100;
            const DialogHooks& hooks = dialog.Hooks();
            if (hooks.jobRunning && hooks.jobRunning() && *started < kScreenshotJobLimitMs) return;
            // The pane repaints in batches; grabbed in between, it comes out black.
            if (!dialog.Control(IDC_OUTPUT)->updatesEnabled()) return;
            poll->stop();
            QImage image = dialog.grab().toImage();
            if (!image.save(file, "PNG")) {
                std::fprintf(stderr, "vornic: cannot write %s\n", file.toLocal8Bit().constData());
                *status = 1;
            }
            // Nobody is there to answer the quit question of a job that overran.
            dialog.SetQuitConfirmation([] { return true; });
            dialog.done(0);
        });
        poll->start(100);
    });
}

// Closes the window after a delay as the close box would, answering the quit
// question of a running job as asked; lets a script test the quit path.
void ArrangeClose(CVornicDlg& dialog, const CommandLine& commandLine) {
    bool answer = commandLine.closeAnswer;
    QTimer::singleShot(commandLine.closeAfterMs, &dialog, [&dialog, answer] {
        dialog.SetQuitConfirmation([answer] {
            std::fprintf(stderr, "vornic: quit while a job runs: %s\n", answer ? "yes" : "no");
            return answer;
        });
        dialog.close();
    });
}

}  // namespace

CVornicApp::CVornicApp(int& argc, char** argv) : m_argc(argc), m_argv(argv), m_app(argc, argv) {}

int CVornicApp::Run() {
    CommandLine commandLine;
    std::string error;
    // The toolkit has taken its own options out of argv already.
    if (ParseCommandLine(m_argc, m_argv, &commandLine, &error) == 0) {
        std::fprintf(stderr, "vornic: %s\n%s", error.c_str(), UsageText());
        return 2;
    }
    // --help never gets here: main prints the usage before the toolkit starts.
    if (SelectProbeBackend(commandLine) == 0) return 1;
    InstallQtTranslations(commandLine.useChinese);  // without it Qt's dialogs stay English

    DialogOptions options;
    options.useChinese = commandLine.useChinese;
    options.firstArgument = commandLine.file;
    if (commandLine.backend.backend == "sim") options.simulatedTarget = "CH32V103";

    CVornicDlg dialog(options);
    QtControlsPort port(&dialog);
    controls::SetMainDialog(&port);
    InstallCommandRouting(dialog);
    dialog.InitDialog();

    int status = 0;
    if (commandLine.screenshot) ArrangeScreenshot(dialog, commandLine, &status);
    if (commandLine.closeAfterMs >= 0) ArrangeClose(dialog, commandLine);
    dialog.exec();  // the modal result is of no interest

    if (dialog.QuitWhileJobRuns()) {
        // The worker still uses the port, the dialog and the probe: end the
        // process now rather than destroy them under it.
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(status);
    }
    port.Shutdown();
    // Notifications stop only once the port no longer waits for the dialog.
    probelib::Shutdown();
    controls::SetMainDialog(nullptr);
    return status;
}

}  // namespace vornic_ui
