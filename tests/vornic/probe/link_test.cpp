// The link state machine: start-up open, the open/close toggle, arrival and
// removal events, in both languages.
#include <sstream>
#include <thread>

#include "tests/vornic/probe/probe_fixture.h"

namespace {

class LinkTest : public ProbeFixture {};

// Each case starts the link over a fresh simulator, then acts in order: "click"
// the hidden open button, an "arrival", "removal" or "event7" delivered from a
// thread of its own, "plug" or "unplug" the simulated probe, or "forget" the
// tool's handle. The protected banner is shown before the acts.
TEST_F(LinkTest, StatesOfTheLink) {
    struct Case {
        const char* why;
        const char* faults;  // "absent": no probe at start-up
        const char* acts;
        bool open, simOpen;  // the tool holds a handle; the simulated device is open
        const char *link, *caption, *log;
        bool bannerBlanked = false;
        bool english = false;
    } cases[] = {
        {"start-up with a probe opens it", "", "", true, true, "检测到设备已连接", "关闭设备",
         "打开设备成功!\n"},
        {"start-up without a probe is silent", "absent", "", false, false, "等待设备连接",
         "打开设备", ""},
        {"the toggle closes and opens; the open leaves the link text", "", "click click", true,
         true, "等待设备连接...", "关闭设备", "打开设备成功!\n关闭设备成功!\n打开设备成功!\n"},
        {"a failed open keeps the caption", "absent", "click", false, false, "等待设备连接",
         "打开设备", "打开设备失败!\n"},
        {"the close caption without a handle only puts the open caption back", "", "forget click",
         false, true, "检测到设备已连接", "打开设备", "打开设备成功!\n"},
        {"a plug-in opens through the notification thread", "absent", "plug", true, true,
         "检测到设备已连接", "关闭设备", "打开设备成功!\n"},
        {"a removal while open closes and blanks the banner", "", "unplug", false, false,
         "等待设备连接...", "打开设备", "打开设备成功!\n关闭设备成功!\n", true},
        {"a removal with nothing open changes the text and the banner", "absent", "removal", false,
         false, "检测到设备已断开连接.", "打开设备", "", true},
        {"an arrival abandons the open handle without closing it", "", "arrival", false, true,
         "检测到设备已连接", "打开设备", "打开设备成功!\n"},
        {"other event codes do nothing", "", "event7", true, true, "检测到设备已连接", "关闭设备",
         "打开设备成功!\n"},
        {"English: the toggle", "", "click", false, false, "Waiting for link...", "OPEN DEVICE",
         "Succeed to open device!\nSucceed to close device!\n", false, true},
        {"English: a failed open", "absent", "click", false, false, "Wait for device link",
         "打开设备", "Fail to open device!\n", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        Start(c.faults, !c.english);
        dialog->ShowBitmap(IDC_STATUS_BITMAP, IDB_BANNER_PROTECTED_ZH);
        std::istringstream acts(c.acts);
        for (std::string act; acts >> act;) {
            if (act == "click") dialog->Click(IDC_OPEN_DEVICE);
            if (act == "arrival" || act == "removal" || act == "event7")
                std::thread(OnDeviceNotify, act == "arrival" ? 3 : act == "removal" ? 0 : 7).join();
            if (act == "plug") sim->Plug();
            if (act == "unplug") sim->Unplug();
            if (act == "forget") g_deviceHandle = -1;
            probelib::WaitForNotifications();
        }
        EXPECT_EQ(c.open, g_deviceHandle.load() != -1);
        EXPECT_EQ(c.simOpen, sim->IsOpen());
        EXPECT_EQ(c.link, LinkText());
        EXPECT_EQ(c.caption, Caption());
        EXPECT_EQ(c.log, Log());
        EXPECT_EQ(c.bannerBlanked ? IDB_BANNER_BLANK : IDB_BANNER_PROTECTED_ZH, Banner());
        TearDown();
    }
}

}  // namespace
