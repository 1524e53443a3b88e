// The whole window wired to the simulated probe: a full Execute with its log
// lines, banner and progress bar, and the start-up open and hot-plug events
// arriving from the probe library's thread while the window runs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "command_routing.h"
#include "control_ids.h"
#include "controls.h"
#include "download_job.h"
#include "output_log.h"
#include "probe_link.h"
#include "probelib.h"
#include "qt_controls.h"
#include "resources.h"
#include "sim_backend.h"
#include "vornic_dlg.h"

namespace vornic_ui {
namespace {

// Runs the event loop until `done` holds or 10 s pass. The worker and the
// notification thread wait on this thread for every control call, so the
// test must keep the loop turning instead of blocking.
bool PumpUntil(const std::function<bool()>& done) { return QTest::qWaitFor(done, 10000); }

// The pane's lines without their "NNNN#hh:mm:ss:mmm>> " heads.
std::vector<std::string> PaneTexts(CVornicDlg& dlg) {
    auto* pane = qobject_cast<QPlainTextEdit*>(dlg.Control(IDC_OUTPUT));
    std::vector<std::string> texts;
    for (const QString& line : pane->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        std::string s = line.toStdString();
        size_t head = s.find(">> ");
        texts.push_back(head == std::string::npos ? s : s.substr(head + 3));
    }
    return texts;
}

std::string Text(CVornicDlg& dlg, int id) {
    if (auto* edit = qobject_cast<QLineEdit*>(dlg.Control(id))) return edit->text().toStdString();
    if (auto* button = qobject_cast<QPushButton*>(dlg.Control(id)))
        return button->text().toStdString();
    return {};
}

bool SameImage(const QPixmap& shown, int resourceId) {
    return shown.toImage().convertToFormat(QImage::Format_ARGB32) ==
           LoadResourcePixmap(resourceId).toImage().convertToFormat(QImage::Format_ARGB32);
}

// A window as the program builds it, on a fresh simulated probe.
class SimWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_EQ(1, probelib::SelectBackend("sim", Faults(), "", &error)) << error;
        g_deviceHandle.store(-1);
        g_logCounter.store(0);
        DialogOptions options;
        options.useChinese = Chinese();
        options.simulatedTarget = "CH32V103";
        dlg = std::make_unique<CVornicDlg>(options);
        port = std::make_unique<QtControlsPort>(dlg.get());
        controls::SetMainDialog(port.get());
        InstallCommandRouting(*dlg);
    }
    void TearDown() override {
        CH375SetDeviceNotify(0, nullptr, nullptr);
        PumpUntil([] { return !DownloadJobRunning(); });
        controls::SetMainDialog(nullptr);
        port->Shutdown();
        port.reset();
        dlg.reset();
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }
    virtual const char* Faults() const { return ""; }
    virtual bool Chinese() const { return true; }

    std::string WriteHex() {
        dir = std::filesystem::temp_directory_path() /
              ("vornic-ui-sim-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
        std::string hex = (dir / "app.hex").string();
        // 40 bytes at 0x0000 in three records.
        std::ofstream(hex, std::ios::binary) << ":100000000102030405060708090A0B0C0D0E0F1068\r\n"
                                                ":100010001112131415161718191A1B1C1D1E1F2058\r\n"
                                                ":080020002122232425262728B4\r\n"
                                                ":00000001FF\r\n";
        return hex;
    }

    std::unique_ptr<CVornicDlg> dlg;
    std::unique_ptr<QtControlsPort> port;
    std::filesystem::path dir;
};

class EnglishSimWindowTest : public SimWindowTest {
    bool Chinese() const override { return false; }
};

TEST_F(EnglishSimWindowTest, ExecuteRunsTheWholeJobInTheShownWindow) {
    ASSERT_EQ(1, dlg->InitDialog());
    dlg->show();
    std::string hex = WriteHex();
    qobject_cast<QLineEdit*>(dlg->Control(IDC_FILE_PATH))->setText(QString::fromStdString(hex));
    qobject_cast<QPushButton*>(dlg->Control(IDC_EXECUTE))->click();
    ASSERT_TRUE(PumpUntil([] { return !DownloadJobRunning(); }));
    // The last lines come through the port; let them land.
    ASSERT_TRUE(PumpUntil([&] { return PaneTexts(*dlg).size() >= 9; }));

    EXPECT_EQ((std::vector<std::string>{
                  "Succeed to open device!", "Succeed to trans file from .HEX to .BIN.",
                  "Succeed to clear-all!", "Programme address is affirmed!",
                  "Programme length is affirmed!", "Begin to programme and verify...",
                  "Succeed to programme!", "Succeed to verify!", "Succeed to set soft-reset!"}),
              PaneTexts(*dlg));

    // The job's status query shows the unprotected banner of the language.
    auto* banner = qobject_cast<QLabel*>(dlg->Control(IDC_STATUS_BITMAP));
    EXPECT_TRUE(SameImage(banner->pixmap(), IDB_BANNER_UNPROTECTED_EN));
    // The bar is gone once the data phase is over.
    EXPECT_TRUE(PumpUntil([&] { return !dlg->ProgressBar()->isVisible(); }));

    std::vector<uint8_t> flash = probelib::sim::ActiveSim()->Flash();
    ASSERT_GE(flash.size(), 41u);
    for (int i = 0; i < 40; ++i) EXPECT_EQ(i + 1, flash[i]) << i;
    EXPECT_EQ(0xFF, flash[40]);
    EXPECT_TRUE(std::filesystem::exists(dir / "app.bin"));
}

TEST_F(SimWindowTest, StartUpOpenAndHotPlugWhileTheWindowRuns) {
    ASSERT_EQ(1, dlg->InitDialog());
    dlg->show();
    auto sim = probelib::sim::ActiveSim();
    EXPECT_EQ((std::vector<std::string>{"打开设备成功!"}), PaneTexts(*dlg));
    EXPECT_EQ("关闭设备", Text(*dlg, IDC_OPEN_DEVICE));

    sim->Unplug();
    ASSERT_TRUE(PumpUntil([&] { return Text(*dlg, IDC_OPEN_DEVICE) == "打开设备"; }));
    // The removal text is replaced at once by the close's own link text.
    ASSERT_TRUE(PumpUntil([&] { return Text(*dlg, IDC_LINK_STATUS) == "等待设备连接..."; }))
        << Text(*dlg, IDC_LINK_STATUS);
    EXPECT_EQ((std::vector<std::string>{"打开设备成功!", "关闭设备成功!"}), PaneTexts(*dlg));
    EXPECT_EQ(-1, g_deviceHandle.load());
    EXPECT_FALSE(sim->IsOpen());
    auto* banner = qobject_cast<QLabel*>(dlg->Control(IDC_STATUS_BITMAP));
    EXPECT_TRUE(SameImage(banner->pixmap(), IDB_BANNER_BLANK));

    sim->Plug();
    ASSERT_TRUE(PumpUntil([&] { return PaneTexts(*dlg).size() >= 3; }));
    EXPECT_EQ("打开设备成功!", PaneTexts(*dlg).back());
    EXPECT_EQ("检测到设备已连接", Text(*dlg, IDC_LINK_STATUS));
    EXPECT_EQ("关闭设备", Text(*dlg, IDC_OPEN_DEVICE));
    EXPECT_NE(-1, g_deviceHandle.load());
    EXPECT_TRUE(sim->IsOpen());
}

}  // namespace
}  // namespace vornic_ui
