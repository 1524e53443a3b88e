// A hot-plug storm while a worker runs commands and the user clicks: every
// thread finishes (no deadlock), only the commands' own lines appear, and the
// link ends open (run under ThreadSanitizer for races).
#include <atomic>
#include <set>
#include <sstream>
#include <thread>

#include "tests/vornic/probe/probe_fixture.h"

class StormTest : public ProbeFixture {};

TEST_F(StormTest, HotPlugStormWhileCommandsRun) {
    Start("latency-us:20");
    std::atomic<bool> stormOver{false};
    std::atomic<int> workerRuns{0};
    std::thread worker([&] {
        // Goes on until the storm is over and it has done twenty runs itself,
        // or the link stays closed after the storm.
        while (!stormOver || (workerRuns < 20 && g_deviceHandle.load() != -1)) {
            ProbeSession session;
            if (!session.Held() || g_deviceHandle.load() == -1) {
                std::this_thread::yield();
                continue;
            }
            ++workerRuns;
            QueryDeviceStatus();
            SoftResetDevice();
        }
    });
    std::thread plugger([&] {
        for (int i = 0; i < 60; ++i) {
            sim->Unplug();
            std::this_thread::yield();
            sim->Plug();
        }
    });
    for (int i = 0; i < 60; ++i)
        dialog->Click(i % 3 == 0   ? IDC_OPEN_DEVICE
                      : i % 3 == 1 ? IDC_CHECK_STATUS
                                   : (i % 2 ? IDC_ENABLE_PROTECT : IDC_DISABLE_PROTECT));
    plugger.join();
    probelib::WaitForNotifications();
    // The last event was an arrival; a click reopens what a storm left closed.
    for (int i = 0; i < 2 && g_deviceHandle.load() == -1; ++i) dialog->Click(IDC_OPEN_DEVICE);
    stormOver = true;
    worker.join();
    EXPECT_GE(workerRuns.load(), 20);

    const std::set<std::string> known = {"打开设备成功!",      "打开设备失败!",
                                         "关闭设备成功!",      "软复位设置成功!",
                                         "软复位设置失败!",    "未检测到硬件设备!",
                                         "【读保护查询失败】", "【读保护已使能】",
                                         "【读保护已解除】",   "解除读保护成功!",
                                         "解除读保护失败!",    "使能读保护成功!",
                                         "使能读保护失败!",    "设备忙，请等待当前操作完成"};
    std::istringstream log(Log());
    for (std::string line; std::getline(log, line);) EXPECT_EQ(1u, known.count(line)) << line;
    EXPECT_NE(-1, g_deviceHandle.load());
    EXPECT_TRUE(sim->IsOpen());
}
