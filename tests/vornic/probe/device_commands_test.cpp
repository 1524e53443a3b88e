// Status query, read-protect changes and soft reset: flag rules, banners,
// link texts and messages; refusal without a device or while busy.
#include "probe_fixture.h"

class DeviceCommandsTest : public ProbeFixture {};

TEST_F(DeviceCommandsTest, CheckStatusShowsBannerLinkTextAndMessage) {
    Start("");
    ClearOutput();
    EXPECT_EQ(IDB_BANNER_BLANK, Banner());
    dialog->Click(IDC_CHECK_STATUS);
    EXPECT_EQ(0, g_readProtected.load());
    EXPECT_EQ(IDB_BANNER_UNPROTECTED_ZH, Banner());
    EXPECT_EQ("检测到设备已连接(读保护已解除)", LinkText());
    EXPECT_EQ(LogLines{"【读保护已解除】"}, TakeLines());

    sim->SetReadProtected(true);
    dialog->Click(IDC_CHECK_STATUS);
    EXPECT_EQ(1, g_readProtected.load());
    EXPECT_EQ(IDB_BANNER_PROTECTED_ZH, Banner());
    EXPECT_EQ("检测到设备已连接(读保护已使能)", LinkText());
    EXPECT_EQ(LogLines{"【读保护已使能】"}, TakeLines());
}

TEST_F(DeviceCommandsTest, LanguageFlagPicksTheBannerSetOfTheNextQuery) {
    Start("protected", false);
    dialog->Click(IDC_CHECK_STATUS);
    EXPECT_EQ(IDB_BANNER_PROTECTED_EN, Banner());
    EXPECT_EQ("Device is linked(Read-Protect enabled)", LinkText());
    EXPECT_EQ("【Read-Protect is enabled】", Lines().back());
    g_useChinese = 1;
    EXPECT_EQ(IDB_BANNER_PROTECTED_EN, Banner()) << "the banner shown stays";
    sim->SetReadProtected(false);
    QueryDeviceStatus();
    EXPECT_EQ(IDB_BANNER_UNPROTECTED_ZH, Banner());
    g_useChinese = 0;
    QueryDeviceStatus();
    EXPECT_EQ(IDB_BANNER_UNPROTECTED_EN, Banner());
}

TEST_F(DeviceCommandsTest, FailedQueryKeepsFlagBannerAndLinkText) {
    Start("refuse:ReadProtect");
    g_readProtected = 0;
    dialog->ShowBitmap(IDC_STATUS_BITMAP, IDB_BANNER_UNPROTECTED_ZH);
    ClearOutput();
    EXPECT_EQ(Reason::NotAccepted, QueryDeviceStatus().reason());
    dialog->Click(IDC_CHECK_STATUS);
    EXPECT_EQ(0, g_readProtected.load());
    EXPECT_EQ(IDB_BANNER_UNPROTECTED_ZH, Banner());
    EXPECT_EQ("检测到设备已连接", LinkText());
    EXPECT_EQ(LogLines{"【读保护查询失败】"}, Lines());
}

TEST_F(DeviceCommandsTest, DisableErasesResetsAndRequeries) {
    Start("protected");
    sim->LoadFlash(Bytes(64, 0x12));
    ClearOutput();
    dialog->Click(IDC_DISABLE_PROTECT);
    EXPECT_EQ((LogLines{"解除读保护成功!", "软复位设置成功!"}), Lines());
    EXPECT_EQ(0, g_readProtected.load());
    EXPECT_EQ(IDB_BANNER_UNPROTECTED_ZH, Banner()) << "follow-up query";
    EXPECT_EQ("检测到设备已连接", LinkText()) << "only check status changes the link text";
    EXPECT_FALSE(sim->ReadProtected());
    EXPECT_EQ(0xFF, sim->Flash()[0]);
}

TEST_F(DeviceCommandsTest, DisableWhoseFollowUpQueryFailsLeavesFlagZeroAndTheBanner) {
    Start("protected,no-reply:ReadProtect/1");
    dialog->ShowBitmap(IDC_STATUS_BITMAP, IDB_BANNER_PROTECTED_ZH);
    ClearOutput();
    dialog->Click(IDC_DISABLE_PROTECT);
    EXPECT_EQ((LogLines{"解除读保护成功!", "软复位设置成功!"}), Lines())
        << "the failed query is silent";
    EXPECT_EQ(0, g_readProtected.load());
    EXPECT_EQ(IDB_BANNER_PROTECTED_ZH, Banner());
}

TEST_F(DeviceCommandsTest, EnableResetsAndRequeries) {
    Start("");
    g_readProtected = 0;
    ClearOutput();
    dialog->Click(IDC_ENABLE_PROTECT);
    EXPECT_EQ((LogLines{"使能读保护成功!", "软复位设置成功!"}), Lines());
    EXPECT_EQ(1, g_readProtected.load());
    EXPECT_EQ(IDB_BANNER_PROTECTED_ZH, Banner());
    EXPECT_TRUE(sim->ReadProtected());
}

TEST_F(DeviceCommandsTest, FailedDisableMarksProtectedFailedEnableLeavesTheFlag) {
    Start("no-reply:ReadProtect");
    g_readProtected = 0;
    ClearOutput();
    dialog->Click(IDC_DISABLE_PROTECT);
    EXPECT_EQ(1, g_readProtected.load());
    g_readProtected = 0;
    dialog->Click(IDC_ENABLE_PROTECT);
    EXPECT_EQ(0, g_readProtected.load());
    EXPECT_EQ((LogLines{"解除读保护失败!", "使能读保护失败!"}), Lines());
    EXPECT_EQ(IDB_BANNER_BLANK, Banner());
}

TEST_F(DeviceCommandsTest, NoDeviceRefusesEveryButtonWithoutTraffic) {
    Start("absent");
    sim->Plug();  // present but never opened by the tool
    probelib::WaitForNotifications();
    dialog->Click(IDC_OPEN_DEVICE);  // closes again
    ASSERT_EQ(-1, g_deviceHandle.load());
    ClearOutput();
    sim->TakeTransfers();
    for (int button : {IDC_CHECK_STATUS, IDC_DISABLE_PROTECT, IDC_ENABLE_PROTECT})
        dialog->Click(button);
    EXPECT_EQ(LogLines(3, "未检测到硬件设备!"), Lines());
    EXPECT_TRUE(sim->TakeTransfers().empty());
    EXPECT_EQ(1, g_readProtected.load());
}

TEST_F(DeviceCommandsTest, CommandFindingTheSessionTakenIsRefused) {
    Start("");
    ClearOutput();
    sim->TakeTransfers();
    {
        ProbeSession job;
        ASSERT_TRUE(job.Held());
        EXPECT_TRUE(ProbeSessionTaken());
        EXPECT_FALSE(ProbeSession().Held());
        for (int button : {IDC_CHECK_STATUS, IDC_DISABLE_PROTECT, IDC_ENABLE_PROTECT})
            dialog->Click(button);
        EXPECT_TRUE(sim->TakeTransfers().empty());
    }
    EXPECT_FALSE(ProbeSessionTaken());
    EXPECT_EQ(LogLines(3, "设备忙，请等待当前操作完成"), TakeLines());
    g_useChinese = 0;
    ProbeSession job;
    dialog->Click(IDC_CHECK_STATUS);
    EXPECT_EQ(LogLines{"The device is busy, wait for the current operation to finish"}, Lines());
}

TEST(ProbeSession, MovesToAnotherThreadAndReleasesThere) {
    ProbeSession session;
    ASSERT_TRUE(session.Held());
    std::thread worker([s = std::move(session)]() mutable {
        EXPECT_TRUE(s.Held());
        s.Release();
    });
    EXPECT_FALSE(session.Held());
    worker.join();
    EXPECT_FALSE(ProbeSessionTaken());
    ProbeSession again;
    EXPECT_TRUE(again.Held());
}
