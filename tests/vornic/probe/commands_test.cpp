// The command exchange on pipe 1, the link state machine, and the three
// buttons and the soft reset against the simulated probe.
#include <cstdio>
#include <sstream>
#include <thread>

#include "tests/vornic/probe/probe_fixture.h"

namespace {

class CommandsTest : public ProbeFixture {};

// Requests are four or seven bytes (a word big-endian); commands read 20
// bytes, protection changes 10.
TEST_F(CommandsTest, RequestBytesAndReadLengths) {
    Start("");
    sim->TakeTransfers();
    ProbeReply reply;
    ExchangeCommandWord(ProbeCommand::SetAddress, 0x20000000, kReplyReadLength, &reply);
    dialog->Click(IDC_ENABLE_PROTECT);   // enable, reset, query
    dialog->Click(IDC_DISABLE_PROTECT);  // disable, reset, query
    std::string wire;                    // each request in hex, then "<" and its read length
    for (auto& t : sim->TakeTransfers()) {
        if (t.pipe == 1 && !t.write) wire += "<" + std::to_string(t.requested) + "\n";
        for (char hex[4]; uint8_t b : t.write ? t.bytes : Bytes())
            wire += (std::snprintf(hex, sizeof hex, "%02X ", b), hex);
    }
    EXPECT_EQ(
        "81 01 04 20 00 00 00 <20\n"
        "81 06 01 03 <10\n81 0B 01 00 <20\n81 06 01 01 <20\n"
        "81 06 01 02 <10\n81 0B 01 00 <20\n81 06 01 01 <20\n",
        wire);
}

// One query over a probe that answers, refuses, garbles, stays silent or is
// absent: the exchange's outcome tells the link's failures from the answers.
TEST_F(CommandsTest, ExchangeOutcomes) {
    struct Case {
        const char* faults;
        Reason exchange, query;  // of ExchangeCommand and QueryDeviceStatus
    } cases[] = {
        {"", Reason::None, Reason::None},
        {"refuse:ReadProtect", Reason::None, Reason::NotAccepted},
        {"bad-marker:ReadProtect", Reason::WrongMarker, Reason::WrongMarker},
        {"no-reply:ReadProtect", Reason::NoReply, Reason::NoReply},
        {"absent", Reason::NotSent, Reason::NotSent},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults);
        Start(c.faults);
        ProbeReply reply;
        reply.bytes.fill(0x82);  // a failed read leaves it cleared
        EXPECT_EQ(c.exchange,
                  ExchangeCommand(ProbeCommand::ReadProtect, uint8_t{1}, 20, &reply).reason());
        EXPECT_EQ(c.exchange == Reason::NoReply || c.exchange == Reason::NotSent,
                  ProbeReply().bytes == reply.bytes);
        EXPECT_EQ(c.query, QueryDeviceStatus().reason());
        TearDown();
    }
}

// Each case starts the link over a fresh simulator, then acts in order: "click"
// the hidden open button, an "arrival" or "removal" delivered from a thread of
// its own, "plug" or "unplug" the simulated probe. The protected banner is
// shown before the acts.
TEST_F(CommandsTest, StatesOfTheLink) {
    struct Case {
        const char* why;
        const char* faults;  // "absent": no probe at start-up
        const char* acts;
        bool open, simOpen;  // the tool holds a handle; the simulated device is open
        const char *link, *caption, *log;
        bool bannerBlanked = false;
    } cases[] = {
        {"start-up with a probe opens it", "", "", true, true, "检测到设备已连接", "关闭设备",
         "打开设备成功!\n"},
        {"start-up without a probe is silent", "absent", "", false, false, "等待设备连接",
         "打开设备", ""},
        {"the toggle closes and opens; the open leaves the link text", "", "click click", true,
         true, "等待设备连接...", "关闭设备", "打开设备成功!\n关闭设备成功!\n打开设备成功!\n"},
        {"a failed open keeps the caption", "absent", "click", false, false, "等待设备连接",
         "打开设备", "打开设备失败!\n"},
        {"a plug-in opens through the notification thread", "absent", "plug", true, true,
         "检测到设备已连接", "关闭设备", "打开设备成功!\n"},
        {"a removal while open closes and blanks the banner", "", "unplug", false, false,
         "等待设备连接...", "打开设备", "打开设备成功!\n关闭设备成功!\n", true},
        {"a removal with nothing open changes the text and the banner", "absent", "removal", false,
         false, "检测到设备已断开连接.", "打开设备", "", true},
        {"an arrival abandons the open handle without closing it", "", "arrival", false, true,
         "检测到设备已连接", "打开设备", "打开设备成功!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        Start(c.faults);
        dialog->ShowBitmap(IDC_STATUS_BITMAP, IDB_BANNER_PROTECTED_ZH);
        std::istringstream acts(c.acts);
        for (std::string act; acts >> act;) {
            if (act == "click") dialog->Click(IDC_OPEN_DEVICE);
            if (act == "arrival" || act == "removal")
                std::thread(OnDeviceNotify, act == "arrival" ? kDeviceArrival : kDeviceRemoval)
                    .join();
            if (act == "plug") sim->Plug();
            if (act == "unplug") sim->Unplug();
            probelib::WaitForNotifications();
        }
        EXPECT_EQ(c.open, g_deviceHandle.load() != -1);
        EXPECT_EQ(c.simOpen, sim->IsOpen());
        EXPECT_EQ(c.link, dialog->GetText(IDC_LINK_STATUS));
        EXPECT_EQ(c.caption, dialog->GetText(IDC_OPEN_DEVICE));
        EXPECT_EQ(c.log, Log());
        EXPECT_EQ(c.bannerBlanked ? IDB_BANNER_BLANK : IDB_BANNER_PROTECTED_ZH, Banner());
        TearDown();
    }
}

// Who has the probe when the button is pressed: nobody, a job (the session is
// taken), or nobody at all (the tool holds no handle, though the probe is there).
enum Hold { kFree, kBusy, kNoHandle };

// Each case: a fresh simulator with `faults` whose flash holds 0x12 bytes, the
// flag set to `flagBefore` and the blank banner shown, then one button (0: the
// soft reset alone): the log, the flag, the banner, the flash and the link text.
TEST_F(CommandsTest, OutcomesOfEachButton) {
    const char* disabled = "解除读保护成功!\n软复位设置成功!\n";
    struct Case {
        const char* faults;
        int button, flagBefore;
        const char* log;
        int flagAfter, banner = IDB_BANNER_BLANK;
        Hold hold = kFree;
        bool erased = false;
        const char* link = "检测到设备已连接";
        bool english = false;
    } cases[] = {
        {"", IDC_CHECK_STATUS, 1, "【读保护已解除】\n", 0, IDB_BANNER_UNPROTECTED_ZH, kFree, false,
         "检测到设备已连接(读保护已解除)"},
        {"protected", IDC_CHECK_STATUS, 0, "【读保护已使能】\n", 1, IDB_BANNER_PROTECTED_ZH, kFree,
         false, "检测到设备已连接(读保护已使能)"},
        {"protected", IDC_CHECK_STATUS, 0, "【Read-Protect is enabled】\n", 1,
         IDB_BANNER_PROTECTED_EN, kFree, false, "Device is linked(Read-Protect enabled)", true},
        {"refuse:ReadProtect", IDC_CHECK_STATUS, 0, "【读保护查询失败】\n", 0},
        // A disable erases, resets and queries, even when the query then fails.
        {"protected", IDC_DISABLE_PROTECT, 1, disabled, 0, IDB_BANNER_UNPROTECTED_ZH, kFree, true},
        {"protected,no-reply:ReadProtect/1", IDC_DISABLE_PROTECT, 1, disabled, 0, IDB_BANNER_BLANK,
         kFree, true},
        // A refused disable assumes protection stays on; a failed enable leaves the flag.
        {"refuse:ReadProtect", IDC_DISABLE_PROTECT, 0, "解除读保护失败!\n", 1},
        {"", IDC_ENABLE_PROTECT, 0, "使能读保护成功!\n软复位设置成功!\n", 1,
         IDB_BANNER_PROTECTED_ZH},
        {"bad-marker:ReadProtect", IDC_ENABLE_PROTECT, 0, "使能读保护失败!\n", 0},
        // A reset is logged when the probe answers, silent when the marker is wrong.
        {"", 0, 1, "软复位设置成功!\n", 1},
        {"refuse:SoftReset", 0, 1, "软复位设置失败!\n", 1},
        {"bad-marker:SoftReset", 0, 1, "", 1},
        {"", IDC_ENABLE_PROTECT, 0, "未检测到硬件设备!\n", 0, IDB_BANNER_BLANK, kNoHandle},
        {"protected", IDC_DISABLE_PROTECT, 1, "设备忙，请等待当前操作完成\n", 1, IDB_BANNER_BLANK,
         kBusy},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.faults << " button " << c.button << " " << c.hold);
        Start(c.faults, !c.english);
        sim->LoadFlash(Bytes(64, 0x12));
        g_readProtected = c.flagBefore;
        if (c.hold == kNoHandle) g_deviceHandle = -1;
        ClearOutput();
        sim->TakeTransfers();
        {
            ProbeSession job;  // released at once unless a job holds it
            if (c.hold != kBusy) job.Release();
            c.button != 0 ? dialog->Click(c.button) : (void)SoftResetDevice();
        }
        EXPECT_EQ(c.log, Log());
        EXPECT_EQ(c.flagAfter, g_readProtected.load());
        EXPECT_EQ(c.banner, Banner());
        EXPECT_EQ(c.link, dialog->GetText(IDC_LINK_STATUS));
        EXPECT_EQ(c.erased ? 0xFF : 0x12, sim->Flash()[0]);
        EXPECT_TRUE(c.hold == kFree || sim->TakeTransfers().empty()) << "no traffic";
        TearDown();
    }
}

}  // namespace
