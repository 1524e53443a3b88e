// The link state machine: start-up open, the open/close toggle, arrival and
// removal events, in both languages.
#include <thread>

#include "probe_fixture.h"

class LinkTest : public ProbeFixture {
  protected:
    // Delivers an event from a thread that is not the user-interface thread,
    // as the library does.
    void Notify(uint32_t event) {
        std::thread([event] { OnDeviceNotify(event); }).join();
    }
};

TEST_F(LinkTest, StartUpWithAProbeOpensIt) {
    Start("");
    EXPECT_NE(-1, g_deviceHandle.load());
    EXPECT_EQ("检测到设备已连接", LinkText());
    EXPECT_EQ("关闭设备", Caption());
    EXPECT_EQ(LogLines{"打开设备成功!"}, Lines());
    EXPECT_EQ(0u, dialog->GetText(IDC_OUTPUT).rfind("0000#", 0));
}

TEST_F(LinkTest, StartUpWithoutAProbeIsSilent) {
    Start("absent");
    EXPECT_EQ(-1, g_deviceHandle.load());
    EXPECT_EQ("等待设备连接", LinkText());
    EXPECT_EQ("打开设备", Caption());
    EXPECT_TRUE(Lines().empty());
}

TEST_F(LinkTest, EnglishTexts) {
    Start("", false);
    EXPECT_EQ("Device is linked", LinkText());
    EXPECT_EQ("CLOSE DEVICE", Caption());
    dialog->Click(IDC_OPEN_DEVICE);
    EXPECT_EQ("OPEN DEVICE", Caption());
    EXPECT_EQ("Waiting for link...", LinkText());
    EXPECT_EQ((LogLines{"Succeed to open device!", "Succeed to close device!"}), Lines());
    probelib::SelectBackend("sim", "absent", "", nullptr);
    dialog->Click(IDC_OPEN_DEVICE);
    EXPECT_EQ("Fail to open device!", Lines().back());
}

TEST_F(LinkTest, ToggleClosesAndReopens) {
    Start("");
    dialog->Click(IDC_OPEN_DEVICE);
    EXPECT_EQ(-1, g_deviceHandle.load());
    EXPECT_FALSE(sim->IsOpen());
    EXPECT_EQ("打开设备", Caption());
    EXPECT_EQ("等待设备连接...", LinkText());
    dialog->Click(IDC_OPEN_DEVICE);
    EXPECT_NE(-1, g_deviceHandle.load());
    EXPECT_EQ("关闭设备", Caption());
    EXPECT_EQ("等待设备连接...", LinkText()) << "the open branch leaves the link text";
    EXPECT_EQ((LogLines{"打开设备成功!", "关闭设备成功!", "打开设备成功!"}), Lines());
}

TEST_F(LinkTest, OpenFailureKeepsTheCaptionAndLogs) {
    Start("absent");
    dialog->Click(IDC_OPEN_DEVICE);
    EXPECT_EQ(-1, g_deviceHandle.load());
    EXPECT_EQ("打开设备", Caption());
    EXPECT_EQ(LogLines{"打开设备失败!"}, Lines());
}

TEST_F(LinkTest, CloseCaptionWithNoHandleOnlyRestoresTheOpenCaption) {
    Start("");
    g_deviceHandle = -1;
    dialog->Click(IDC_OPEN_DEVICE);
    EXPECT_EQ("打开设备", Caption());
    EXPECT_EQ("检测到设备已连接", LinkText());
    EXPECT_TRUE(sim->IsOpen()) << "no close call";
    EXPECT_EQ(LogLines{"打开设备成功!"}, Lines());
}

TEST_F(LinkTest, PlugInOpensThroughTheNotificationThread) {
    Start("absent");
    sim->Plug();
    probelib::WaitForNotifications();
    EXPECT_EQ("检测到设备已连接", LinkText());
    EXPECT_EQ("关闭设备", Caption());
    EXPECT_NE(-1, g_deviceHandle.load());
    EXPECT_EQ(LogLines{"打开设备成功!"}, Lines());
}

TEST_F(LinkTest, RemovalWhileOpenClosesAndBlanksTheBanner) {
    Start("");
    QueryDeviceStatus();
    ASSERT_EQ(IDB_BANNER_UNPROTECTED_ZH, Banner());
    ClearOutput();
    sim->Unplug();
    probelib::WaitForNotifications();
    EXPECT_EQ(-1, g_deviceHandle.load());
    EXPECT_EQ("打开设备", Caption());
    EXPECT_EQ("等待设备连接...", LinkText());
    EXPECT_EQ(IDB_BANNER_BLANK, Banner());
    EXPECT_EQ(LogLines{"关闭设备成功!"}, Lines());
    EXPECT_EQ(0, g_readProtected.load()) << "removal leaves the flag";
}

TEST_F(LinkTest, RemovalWithNoDeviceOpenChangesOnlyTextAndBanner) {
    Start("absent");
    dialog->ShowBitmap(IDC_STATUS_BITMAP, IDB_BANNER_PROTECTED_ZH);
    Notify(0);
    EXPECT_EQ("检测到设备已断开连接.", LinkText());
    EXPECT_EQ(IDB_BANNER_BLANK, Banner());
    EXPECT_EQ("打开设备", Caption());
    EXPECT_TRUE(Lines().empty());
}

TEST_F(LinkTest, ArrivalWhileTheCloseCaptionShowsLeavesTheToolClosed) {
    Start("");
    ClearOutput();
    Notify(3);
    EXPECT_EQ(-1, g_deviceHandle.load());
    EXPECT_EQ("打开设备", Caption());
    EXPECT_EQ("检测到设备已连接", LinkText());
    EXPECT_TRUE(sim->IsOpen()) << "the old handle is abandoned, not closed";
    EXPECT_TRUE(Lines().empty());
    // The next click opens again.
    dialog->Click(IDC_OPEN_DEVICE);
    EXPECT_NE(-1, g_deviceHandle.load());
}

TEST_F(LinkTest, OtherEventCodesDoNothing) {
    Start("");
    ClearOutput();
    Notify(1);
    Notify(7);
    EXPECT_EQ("检测到设备已连接", LinkText());
    EXPECT_EQ("关闭设备", Caption());
    EXPECT_TRUE(Lines().empty());
}

TEST_F(LinkTest, UnplugDuringADataRunArrivesAsARemoval) {
    Start("unplug-after:1");
    ClearOutput();
    ProbeReply reply;
    ExchangeCommandWord(ProbeCommand::SetAddress, 0x08000000, 20, &reply);
    ExchangeCommandWord(ProbeCommand::SetLength, 256, 20, &reply);
    ExchangeCommand(ProbeCommand::SelectOperation, uint8_t{2}, 20, &reply);
    ASSERT_EQ(2, reply.Result());
    uint8_t packet[64] = {};
    uint32_t length = 64;
    CH375WriteEndP(0, kDataPipe, packet, &length);
    probelib::WaitForNotifications();
    EXPECT_EQ(-1, g_deviceHandle.load());
    EXPECT_EQ("等待设备连接...", LinkText());
    EXPECT_EQ(LogLines{"关闭设备成功!"}, Lines());
}
