// Window figures: time from process start to the first painted frame of the
// main dialog, and log lines per second from a worker into the shown pane.
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "platform/controls/control_ids.h"
#include "platform/controls/controls.h"
#include "vornic/log/output_log.h"
#include "vornic/ui/qt_controls.h"
#include "vornic/ui/qt_translations.h"
#include "vornic/ui/vornic_dlg.h"

namespace {

// Seconds since boot at which this process started (from /proc), or -1.
double ProcessStartSeconds() {
    std::ifstream stat("/proc/self/stat");
    std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = content.rfind(')');
    if (close == std::string::npos) return -1;
    // Fields after the command name: state is field 3, starttime field 22.
    size_t pos = close + 2;
    for (int field = 3; field < 22; ++field) {
        pos = content.find(' ', pos);
        if (pos == std::string::npos) return -1;
        ++pos;
    }
    return std::strtod(content.c_str() + pos, nullptr) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double BootSecondsNow() {
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

class FirstPaint : public QObject {
  public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !painted) {
            painted = true;
            at = BootSecondsNow();
            if (loop != nullptr) QTimer::singleShot(0, loop, &QEventLoop::quit);
        }
        return QObject::eventFilter(watched, event);
    }
    bool painted = false;
    double at = 0;
    QEventLoop* loop = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
    const double mainEntered = BootSecondsNow();
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int lines = argc > 1 ? std::atoi(argv[1]) : 100000;
    if (lines <= 0) lines = 100000;
    QApplication app(argc, argv);
    // As the program starts in Chinese: Qt's translation is part of the start-up.
    vornic_ui::InstallQtTranslations(true);

    vornic_ui::CVornicDlg dialog(vornic_ui::DialogOptions{});
    vornic_ui::QtControlsPort port(&dialog);
    controls::SetMainDialog(&port);
    dialog.InitDialog();
    FirstPaint firstPaint;
    dialog.installEventFilter(&firstPaint);
    // A local loop, not the application's: quitting the application would
    // also close the controls port.
    QEventLoop paintLoop;
    firstPaint.loop = &paintLoop;
    dialog.show();
    paintLoop.exec();
    const double start = ProcessStartSeconds();
    std::printf("first paint: %.1f ms after process start (%.1f ms after main)\n",
                (firstPaint.at - start) * 1000.0, (firstPaint.at - mainEntered) * 1000.0);

    // The worker logs while the user-interface thread serves its loop; a 10 ms
    // timer records the longest gap the loop left (the window "freezing").
    g_debugOutput = false;
    QEventLoop loop;
    QElapsedTimer sinceTick;
    qint64 longestGapMs = 0;
    QTimer tick;
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout,
                     [&] { longestGapMs = std::max(longestGapMs, sinceTick.restart()); });
    std::atomic<bool> finished{false};
    QElapsedTimer elapsed;
    elapsed.start();
    sinceTick.start();
    tick.start();
    std::thread worker([&] {
        for (int i = 0; i < lines; ++i) LogMessage("line %d of the throughput run", i);
        finished = true;
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    const double seconds = static_cast<double>(elapsed.nsecsElapsed()) / 1e9;
    tick.stop();
    const int held = qobject_cast<QPlainTextEdit*>(dialog.Control(IDC_OUTPUT))->blockCount() - 1;
    std::printf(
        "log append: %d lines in %.2f s = %.0f lines/s; pane holds %d lines; "
        "longest event-loop gap %lld ms\n",
        lines, seconds, lines / seconds, held, static_cast<long long>(longestGapMs));
    port.Shutdown();
    controls::SetMainDialog(nullptr);
    return 0;
}
