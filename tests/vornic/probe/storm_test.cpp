// A hot-plug storm while a worker runs commands and the user clicks: every
// thread finishes (no deadlock), and only known messages appear (run under
// ThreadSanitizer for races).
#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "probe_fixture.h"

class StormTest : public ProbeFixture {};

TEST_F(StormTest, HotPlugStormWhileCommandsRun) {
    Start("latency-us:20");
    std::atomic<bool> stop{false};
    std::atomic<int> workerRuns{0};
    std::thread worker([&] {
        // Runs until the storm is over and it has done some exchanges itself.
        // The deadline only guards against a hang; a loaded machine may be slow.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!(stop && workerRuns >= 20) && std::chrono::steady_clock::now() < deadline) {
            ProbeSession session;
            if (!session.Held() || g_deviceHandle.load() == -1) {
                std::this_thread::yield();
                continue;
            }
            ++workerRuns;
            QueryDeviceStatus();
            SoftResetDevice();
            LogMessage("%s", "worker");
        }
    });
    std::thread plugger([&] {
        for (int i = 0; i < 60; ++i) {
            sim->Unplug();
            std::this_thread::yield();
            sim->Plug();
        }
    });
    for (int i = 0; i < 60; ++i) {
        dialog->Click(i % 3 == 0 ? IDC_OPEN_DEVICE : IDC_CHECK_STATUS);
        if (i % 7 == 0) dialog->Click(IDC_ENABLE_PROTECT);
        if (i % 7 == 3) dialog->Click(IDC_DISABLE_PROTECT);
    }
    plugger.join();
    stop = true;
    worker.join();
    probelib::WaitForNotifications();
    EXPECT_GE(workerRuns.load(), 20);

    const std::set<std::string> known = {"worker",
                                         "打开设备成功!",
                                         "打开设备失败!",
                                         "关闭设备成功!",
                                         "软复位设置成功!",
                                         "软复位设置失败!",
                                         "未检测到硬件设备!",
                                         "【读保护查询失败】",
                                         "【读保护已使能】",
                                         "【读保护已解除】",
                                         "解除读保护成功!",
                                         "解除读保护失败!",
                                         "使能读保护成功!",
                                         "使能读保护失败!",
                                         "设备忙，请等待当前操作完成"};
    for (const std::string& line : Lines()) EXPECT_EQ(1u, known.count(line)) << line;

    // The last event was an arrival: once it has run, the link is open again.
    if (g_deviceHandle.load() == -1) dialog->Click(IDC_OPEN_DEVICE);
    EXPECT_NE(-1, g_deviceHandle.load());
    EXPECT_TRUE(sim->IsOpen());
}
