// The three buttons and the soft reset: which replies each accepts, and what
// an answer, a refusal, a garbled or missing reply, no probe or a busy probe
// do to the log, the read-protect flag, the banner and the link text.
#include "tests/vornic/probe/probe_fixture.h"

namespace {

class DeviceCommandsTest : public ProbeFixture {};

// Who has the probe when the button is pressed: nobody, a job (the session is
// taken), or nobody at all (the tool holds no handle, though the probe is there).
enum Hold { kFree, kBusy, kNoHandle };

// Each case: a fresh simulator with `faults` whose flash holds 0x12 bytes, the
// flag set to `flagBefore` and the blank banner shown, then one button.
TEST_F(DeviceCommandsTest, OutcomesOfEachButton) {
    const char *linked = "检测到设备已连接", *disabled = "解除读保护成功!\n软复位设置成功!\n";
    const int blank = IDB_BANNER_BLANK, protectedZh = IDB_BANNER_PROTECTED_ZH,
              unprotectedZh = IDB_BANNER_UNPROTECTED_ZH;
    struct Case {
        const char* why;
        const char* faults;
        int button;  // 0: the soft reset alone
        int flagBefore;
        const char* log;
        int flagAfter;
        int banner;
        const char* link;
        bool erased = false;
        bool english = false;
        Hold hold = kFree;
    } cases[] = {
        {"unprotected", "", IDC_CHECK_STATUS, 1, "【读保护已解除】\n", 0, unprotectedZh,
         "检测到设备已连接(读保护已解除)"},
        {"protected", "protected", IDC_CHECK_STATUS, 0, "【读保护已使能】\n", 1, protectedZh,
         "检测到设备已连接(读保护已使能)"},
        {"protected, in English", "protected", IDC_CHECK_STATUS, 0, "【Read-Protect is enabled】\n",
         1, IDB_BANNER_PROTECTED_EN, "Device is linked(Read-Protect enabled)", false, true},
        {"a result neither 1 nor 2", "refuse:ReadProtect", IDC_CHECK_STATUS, 0,
         "【读保护查询失败】\n", 0, blank, linked},
        {"no answer", "no-reply:ReadProtect", IDC_CHECK_STATUS, 0, "【读保护查询失败】\n", 0, blank,
         linked},
        {"a wrong marker", "bad-marker:ReadProtect", IDC_CHECK_STATUS, 0, "【读保护查询失败】\n", 0,
         blank, linked},
        {"disable erases, resets and queries", "protected", IDC_DISABLE_PROTECT, 1, disabled, 0,
         unprotectedZh, linked, true},
        {"disable whose query fails", "protected,no-reply:ReadProtect/1", IDC_DISABLE_PROTECT, 1,
         disabled, 0, blank, linked, true},
        {"a refused disable assumes protection stays on", "refuse:ReadProtect", IDC_DISABLE_PROTECT,
         0, "解除读保护失败!\n", 1, blank, linked},
        {"enable resets and queries", "", IDC_ENABLE_PROTECT, 0,
         "使能读保护成功!\n软复位设置成功!\n", 1, protectedZh, linked},
        {"a failed enable leaves the flag", "bad-marker:ReadProtect", IDC_ENABLE_PROTECT, 0,
         "使能读保护失败!\n", 0, blank, linked},
        {"reset: length 1 and result 1", "", 0, 1, "软复位设置成功!\n", 1, blank, linked},
        {"reset: result 0", "refuse:SoftReset", 0, 1, "软复位设置失败!\n", 1, blank, linked},
        {"reset: a wrong marker is silent", "bad-marker:SoftReset", 0, 1, "", 1, blank, linked},
        {"reset: no reply is silent", "no-reply:SoftReset", 0, 1, "", 1, blank, linked},
        {"no probe", "", IDC_ENABLE_PROTECT, 0, "未检测到硬件设备!\n", 0, blank, linked, false,
         false, kNoHandle},
        {"busy", "protected", IDC_DISABLE_PROTECT, 1, "设备忙，请等待当前操作完成\n", 1, blank,
         linked, false, false, kBusy},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        Start(c.faults, !c.english);
        sim->LoadFlash(Bytes(64, 0x12));
        g_readProtected = c.flagBefore;
        if (c.hold == kNoHandle) g_deviceHandle = -1;
        ClearOutput();
        sim->TakeTransfers();
        {
            ProbeSession job;  // released at once unless a job holds it
            if (c.hold != kBusy) job.Release();
            if (c.button != 0)
                dialog->Click(c.button);
            else
                SoftResetDevice();
        }
        EXPECT_EQ(c.log, Log());
        EXPECT_EQ(c.flagAfter, g_readProtected.load());
        EXPECT_EQ(c.banner, Banner());
        EXPECT_EQ(c.link, LinkText());
        EXPECT_EQ(c.erased ? 0xFF : 0x12, sim->Flash()[0]);
        EXPECT_TRUE(c.hold == kFree || sim->TakeTransfers().empty()) << "no traffic";
        TearDown();
    }
}

}  // namespace
