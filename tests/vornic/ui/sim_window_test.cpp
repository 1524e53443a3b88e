// The whole window wired to the simulated probe as the program wires it: a
// full Execute and a status check with their log lines, banners and progress
// bar, and the start-up open and hot-plug events arriving from the probe
// library's thread while the window runs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/controls/control_ids.h"
#include "platform/controls/controls.h"
#include "platform/probelib/probelib.h"
#include "platform/probelib/sim/sim_backend.h"
#include "tests/vornic/image/hex_records.h"
#include "vornic/log/output_log.h"
#include "vornic/probe/download_job.h"
#include "vornic/probe/probe_link.h"
#include "vornic/ui/command_line.h"
#include "vornic/ui/command_routing.h"
#include "vornic/ui/qt_controls.h"
#include "vornic/ui/resources.h"
#include "vornic/ui/vornic_dlg.h"

using namespace vornic_probe;

namespace vornic_ui {
namespace {

// Runs the event loop until `done` holds or 10 s pass. The worker and the
// notification thread wait on this thread for every control call, so the
// test must keep the loop turning instead of blocking.
bool PumpUntil(const std::function<bool()>& done) { return QTest::qWaitFor(done, 10000); }

class SimWindowTest : public ::testing::Test {
  protected:
    // The plain simulator, or the one a window command line asks for.
    void Open(bool chinese, const std::vector<std::string>& args = {}) {
        std::string error;
        if (args.empty()) {
            ASSERT_EQ(probelib::ConfigureProblem::None,
                      probelib::Configure({.backend = "sim"}, &error))
                << error;
        } else {
            std::vector<const char*> argv{"vornic"};
            for (const std::string& arg : args) argv.push_back(arg.c_str());
            CommandLine commandLine;
            ASSERT_EQ(1, ParseCommandLine(int(argv.size()), argv.data(), &commandLine, &error));
            ASSERT_EQ(1, SelectProbeBackend(commandLine));
        }
        g_deviceHandle.store(-1);
        g_logCounter.store(0);
        DialogOptions options;
        options.useChinese = chinese;
        options.simulatedTarget = "CH32V103";
        dlg = std::make_unique<CVornicDlg>(options);
        port = std::make_unique<QtControlsPort>(dlg.get());
        controls::SetMainDialog(port.get());
        InstallCommandRouting(*dlg);
        ASSERT_EQ(1, dlg->InitDialog());
        dlg->show();
    }
    void Close() {
        if (!dlg) return;
        CH375SetDeviceNotify(0, nullptr, nullptr);
        PumpUntil([] { return !DownloadJobRunning(); });
        controls::SetMainDialog(nullptr);
        port->Shutdown();
        port.reset();
        dlg.reset();
    }
    void TearDown() override {
        Close();
        std::filesystem::remove_all(dir);
    }

    // Writes app.hex (40 bytes at 0x0000 in three records), puts it in the
    // path box and runs one Execute to its end.
    void Execute() {
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "app.hex", std::ios::binary) << hextest::kApp;
        qobject_cast<QLineEdit*>(dlg->Control(IDC_FILE_PATH))
            ->setText(QString::fromStdString((dir / "app.hex").string()));
        qobject_cast<QPushButton*>(dlg->Control(IDC_EXECUTE))->click();
        ASSERT_TRUE(PumpUntil([] { return !DownloadJobRunning(); }));
    }

    // The pane's lines without their "NNNN#hh:mm:ss:mmm>> " heads, each ended by "\n".
    std::string Log() {
        std::string texts;
        for (const QString& line :
             qobject_cast<QPlainTextEdit*>(dlg->Control(IDC_OUTPUT))->toPlainText().split('\n'))
            if (!line.isEmpty()) texts += line.mid(line.indexOf(">> ") + 3).toStdString() + "\n";
        return texts;
    }
    std::string Text(int id) {
        if (auto* edit = qobject_cast<QLineEdit*>(dlg->Control(id)))
            return edit->text().toStdString();
        return qobject_cast<QPushButton*>(dlg->Control(id))->text().toStdString();
    }
    bool BannerShows(int resourceId) {
        QImage shown = qobject_cast<QLabel*>(dlg->Control(IDC_STATUS_BITMAP))->pixmap().toImage();
        return shown.convertToFormat(QImage::Format_ARGB32) ==
               LoadResourcePixmap(resourceId).toImage().convertToFormat(QImage::Format_ARGB32);
    }

    std::unique_ptr<CVornicDlg> dlg;
    std::unique_ptr<QtControlsPort> port;
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("vornic-ui-sim-" + std::to_string(getpid()));
};

TEST_F(SimWindowTest, ExecuteAndCheckStatusInTheShownWindow) {
    Open(false);
    Execute();
    const std::string job =
        "Succeed to open device!\nSucceed to trans file from .HEX to .BIN.\n"
        "Succeed to clear-all!\nProgramme address is affirmed!\nProgramme length is affirmed!\n"
        "Begin to programme and verify...\nSucceed to programme!\nSucceed to verify!\n"
        "Succeed to set soft-reset!\n";
    // The last lines come through the port; let them land.
    ASSERT_TRUE(PumpUntil([&] { return Log() == job; })) << Log();
    EXPECT_TRUE(BannerShows(IDB_BANNER_UNPROTECTED_EN)) << "the job's status query";
    EXPECT_TRUE(PumpUntil([&] { return !dlg->ProgressBar()->isVisible(); }));
    std::vector<uint8_t> flash = probelib::sim::ActiveSim()->Flash();
    for (int i = 0; i < 40; ++i) EXPECT_EQ(i + 1, flash[i]) << i;
    EXPECT_EQ(0xFF, flash[40]);
    EXPECT_TRUE(std::filesystem::exists(dir / "app.bin"));

    probelib::sim::ActiveSim()->SetReadProtected(true);
    qobject_cast<QPushButton*>(dlg->Control(IDC_CHECK_STATUS))->click();
    EXPECT_EQ(job + "【Read-Protect is enabled】\n", Log());
    EXPECT_TRUE(BannerShows(IDB_BANNER_PROTECTED_EN));
    EXPECT_EQ("Device is linked(Read-Protect enabled)", Text(IDC_LINK_STATUS));

    // A cleared path box: the conversion's own line and nothing after it,
    // not a job for the previous image.
    probelib::sim::ActiveSim()->SetReadProtected(false);
    qobject_cast<QLineEdit*>(dlg->Control(IDC_FILE_PATH))->clear();
    auto* execute = qobject_cast<QPushButton*>(dlg->Control(IDC_EXECUTE));
    execute->click();
    ASSERT_TRUE(PumpUntil([] { return !DownloadJobRunning(); }));
    const std::string refused = job + "【Read-Protect is enabled】\nNot choose file\n";
    EXPECT_TRUE(PumpUntil([&] { return Log() == refused; })) << Log();
    EXPECT_EQ(flash, probelib::sim::ActiveSim()->Flash());
    EXPECT_TRUE(execute->isEnabled());
    // An SRAM start address unticks the erase box; it may be ticked again.
    auto* erase = qobject_cast<QCheckBox*>(dlg->Control(IDC_ERASE_ALL));
    qobject_cast<QComboBox*>(dlg->Control(IDC_ADDRESS))->setCurrentIndex(1);
    EXPECT_FALSE(erase->isChecked());
    erase->setChecked(true);
    qobject_cast<QComboBox*>(dlg->Control(IDC_ADDRESS))->setCurrentIndex(0);
    EXPECT_TRUE(erase->isChecked());
}

TEST_F(SimWindowTest, StartUpOpenAndHotPlugWhileTheWindowRuns) {
    Open(true);
    auto sim = probelib::sim::ActiveSim();
    EXPECT_EQ("打开设备成功!\n", Log());
    EXPECT_EQ("关闭设备", Text(IDC_OPEN_DEVICE));

    sim->Unplug();
    // The removal text is replaced at once by the close's own link text.
    ASSERT_TRUE(PumpUntil([&] { return Text(IDC_LINK_STATUS) == "等待设备连接..."; }))
        << Text(IDC_LINK_STATUS);
    EXPECT_EQ("打开设备成功!\n关闭设备成功!\n", Log());
    EXPECT_EQ("打开设备", Text(IDC_OPEN_DEVICE));
    EXPECT_TRUE(BannerShows(IDB_BANNER_BLANK));

    sim->Plug();
    ASSERT_TRUE(PumpUntil([&] { return Log() == "打开设备成功!\n关闭设备成功!\n打开设备成功!\n"; }))
        << Log();
    EXPECT_EQ("检测到设备已连接", Text(IDC_LINK_STATUS));
    EXPECT_EQ("关闭设备", Text(IDC_OPEN_DEVICE));
}

// --probe picks one of the simulated probes as in vornic-cli: SIM2 of three
// keeps its state in FILE.SIM2; a probe not on the bus is never opened.
TEST_F(SimWindowTest, ProbeOptionPicksTheSimulatedProbe) {
    const std::string state = (dir / "state").string();
    const struct {
        const char* probe;
        const char* log;
        const char* stateFile;  // the one state file written, or null
    } rows[] = {
        {"SIM2", "Succeed to open device!\nSucceed to trans file from .HEX to .BIN.\n",
         "state.SIM2"},
        {"SIM9", "Succeed to trans file from .HEX to .BIN.\nNo device connection detected!\n",
         nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.probe);
        Open(false, {"--simulate=probes:3", std::string("--probe=") + row.probe,
                     "--sim-state=" + state, "--lang=en"});
        Execute();
        ASSERT_TRUE(PumpUntil([&] { return Log().starts_with(row.log); })) << Log();
        std::vector<std::string> written;
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            if (entry.path().filename().string().starts_with("state"))
                written.push_back(entry.path().filename().string());
        EXPECT_EQ(
            row.stateFile ? std::vector<std::string>{row.stateFile} : std::vector<std::string>{},
            written);
        Close();
        std::filesystem::remove_all(dir);
    }
}

}  // namespace
}  // namespace vornic_ui
