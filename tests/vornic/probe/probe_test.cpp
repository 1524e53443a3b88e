// The flash code against the simulated probe behind a headless dialog: the
// command exchange on pipe 1, the link state machine, the three buttons and
// the soft reset, the programme/verify engine and the download job's steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/controls/control_ids.h"
#include "platform/controls/headless_dialog.h"
#include "platform/probelib/lifetime.h"
#include "platform/probelib/probelib.h"
#include "platform/probelib/sim/sim_backend.h"
#include "vornic/image/firmware_image.h"
#include "vornic/log/language.h"
#include "vornic/log/output_log.h"
#include "vornic/probe/device_commands.h"
#include "vornic/probe/download_job.h"
#include "vornic/probe/probe_link.h"
#include "vornic/probe/probe_session.h"
#include "vornic/probe/programme_verify.h"

using namespace vornic_image;
using namespace vornic_probe;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pattern(uint32_t length) {
    Bytes bytes(length);
    for (uint32_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}
void SetImage(const Bytes& bytes) {
    g_firmwareImage.data = std::make_unique<uint8_t[]>(kImageCapacity);
    std::copy(bytes.begin(), bytes.end(), g_firmwareImage.data.get());
    g_firmwareImage.length = static_cast<uint32_t>(bytes.size());
}

class ProbeTest : public ::testing::Test {
  protected:
    // Fresh sim with `faults`, then the start-up of the link.
    void Start(const char* faults, bool chinese = true) {
        g_useChinese = chinese ? 1 : 0;
        g_debugOutput = false;
        g_deviceHandle = -1;
        g_readProtected = 1;
        std::string error;
        ASSERT_EQ(probelib::ConfigureProblem::None,
                  probelib::Configure({.backend = "sim", .simFaults = faults}, &error))
            << error;
        sim = probelib::sim::ActiveSim();
        dialog = std::make_unique<controls::HeadlessDialog>();
        controls::SetMainDialog(dialog.get());
        dialog->SetHandler(IDC_OPEN_DEVICE, OnOpenCloseDevice);
        dialog->SetHandler(IDC_CHECK_STATUS, OnCheckStatus);
        dialog->SetHandler(IDC_DISABLE_PROTECT, OnDisableReadProtect);
        dialog->SetHandler(IDC_ENABLE_PROTECT, OnEnableReadProtect);
        dialog->SetText(IDC_OPEN_DEVICE, "打开设备");
        dialog->ShowBitmap(IDC_STATUS_BITMAP, IDB_BANNER_BLANK);
        StartUpProbeLink();
    }
    void TearDown() override {
        WaitForDownloadJob();
        g_firmwareImage.Clear();
        CH375SetDeviceNotify(0, nullptr, nullptr);
        probelib::WaitForNotifications();
        controls::SetMainDialog(nullptr);
        dialog.reset();
    }
    // The texts of the pane's lines without their "NNNN#HH:MM:SS:mmm>> " header
    // and CR, each ended by "\n".
    std::string Log() {
        std::string texts;
        std::istringstream pane(dialog->GetText(IDC_OUTPUT));
        for (std::string line; std::getline(pane, line);)
            texts += line.substr(line.find(">> ") + 3, line.size() - line.find(">> ") - 4) + "\n";
        return texts;
    }
    int Banner() { return dialog->ShownBitmap(IDC_STATUS_BITMAP); }
    // A linked, unprotected probe (as the job's status query leaves it), the
    // address 0x08000000 and the step boxes of `boxes` ticked (Erase,
    // Programme, Verify, Reset); English log lines.
    void StartEngine(const char* faults, std::string boxes = "EPVR") {
        Start(faults, false);
        dialog->SetHandler(IDC_EXECUTE, OnExecute);
        dialog->SetItems(IDC_ADDRESS, {"0x08000000", "0x20000000"});
        dialog->SetSelection(IDC_ADDRESS, 0);
        for (int i = 0; int id : {IDC_ERASE_ALL, IDC_PROGRAMME, IDC_VERIFY, IDC_RESET})
            dialog->SetChecked(id, boxes.find("EPVR"[i++]) != std::string::npos);
        g_readProtected = 0;
        sim->TakeTransfers();
        ClearOutput();
    }
    // Both pipes as one string: "A", "L" and "O2" the address, length and
    // operation requests, "P64" a packet of 64 bytes, "S" a status read.
    std::string Wire() {
        std::string out;
        for (auto& t : sim->TakeTransfers()) {
            if (t.pipe == 1 && !t.write) continue;
            if (!out.empty()) out += ' ';
            if (t.pipe == 2) out += t.write ? "P" + std::to_string(t.bytes.size()) : "S";
            if (t.pipe == 1) out += t.bytes[1] == 0x01 ? "A" : t.bytes[1] == 0x05 ? "L" : "O";
            if (t.pipe == 1 && t.bytes[1] == 0x02) out += std::to_string(t.bytes[3]);
        }
        return out;
    }

    std::shared_ptr<probelib::sim::SimBackend> sim;
    std::unique_ptr<controls::HeadlessDialog> dialog;
};

// Requests are four or seven bytes (a word big-endian); commands read 20
// bytes, protection changes 10.
TEST_F(ProbeTest, RequestBytesAndReadLengths) {
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
TEST_F(ProbeTest, ExchangeOutcomes) {
    struct Case {
        const char* faults;
        Reason exchange, query;  // of ExchangeCommand and QueryDeviceStatus
    } cases[] = {
        {"", Reason::None, Reason::None},
        {"refuse:ReadProtect", Reason::None, Reason::NotAccepted},
        {"bad-marker:ReadProtect", Reason::WrongMarker, Reason::WrongMarker},
        {"bad-echo:ReadProtect", Reason::WrongMarker, Reason::WrongMarker},
        {"no-reply:ReadProtect", Reason::TimedOut, Reason::TimedOut},
        {"stall:ReadProtect", Reason::Stalled, Reason::Stalled},
        {"absent", Reason::ProbeGone, Reason::ProbeGone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults);
        Start(c.faults);
        ProbeReply reply;
        reply.bytes.fill(0x82);  // a failed read leaves it cleared
        EXPECT_EQ(c.exchange,
                  ExchangeCommand(ProbeCommand::ReadProtect, uint8_t{1}, 20, &reply).reason());
        EXPECT_EQ(Outcome(c.exchange).kind() == Kind::Transport, ProbeReply().bytes == reply.bytes);
        EXPECT_EQ(c.query, QueryDeviceStatus().reason());
        TearDown();
    }
}

// Each case starts the link over a fresh simulator, then acts in order: "click"
// the hidden open button, an "arrival" or "removal" delivered from a thread of
// its own, "plug" or "unplug" the simulated probe. The protected banner is
// shown before the acts.
TEST_F(ProbeTest, StatesOfTheLink) {
    struct Case {
        const char *faults, *acts;  // faults "absent": no probe at start-up
        bool open, simOpen;         // the tool holds a handle; the simulated device is open
        const char *link, *caption, *log;
        bool bannerBlanked = false;
    } cases[] = {
        // Start-up opens a probe that is there, and is silent without one.
        {"", "", true, true, "检测到设备已连接", "关闭设备", "打开设备成功!\n"},
        {"absent", "", false, false, "等待设备连接", "打开设备", ""},
        // The toggle closes and opens (the open leaves the link text); a failed
        // open keeps the caption.
        {"", "click click", true, true, "等待设备连接...", "关闭设备",
         "打开设备成功!\n关闭设备成功!\n打开设备成功!\n"},
        {"absent", "click", false, false, "等待设备连接", "打开设备", "打开设备失败!\n"},
        // A plug-in opens through the notification thread; a removal closes
        // what is open and blanks the banner; an arrival abandons the open
        // handle without closing it.
        {"absent", "plug", true, true, "检测到设备已连接", "关闭设备", "打开设备成功!\n"},
        {"", "unplug", false, false, "等待设备连接...", "打开设备",
         "打开设备成功!\n关闭设备成功!\n", true},
        {"absent", "removal", false, false, "检测到设备已断开连接.", "打开设备", "", true},
        {"", "arrival", false, true, "检测到设备已连接", "打开设备", "打开设备成功!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.faults << ": " << c.acts);
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

// Who has the probe when a button is pressed: nobody, a job, or nobody at all
// (the tool holds no handle, though the probe is there).
enum Hold { kFree, kBusy, kNoHandle };

// Each case: a fresh simulator with `faults` whose flash holds 0x12 bytes, the
// flag set to `flagBefore` and the blank banner shown, then one button (0: the
// soft reset alone): the log, the flag, the banner, the flash and the link text.
TEST_F(ProbeTest, OutcomesOfEachButton) {
    const char* disabled = "解除读保护成功!\n软复位设置成功!\n";
    struct Case {
        const char* faults;
        int button, flagBefore;
        const char* log;
        int flagAfter, banner = IDB_BANNER_BLANK;
        Hold hold = kFree;
        bool erased = false;
        const char* link = "检测到设备已连接";
    } cases[] = {
        {"", IDC_CHECK_STATUS, 1, "【读保护已解除】\n", 0, IDB_BANNER_UNPROTECTED_ZH, kFree, false,
         "检测到设备已连接(读保护已解除)"},
        {"protected", IDC_CHECK_STATUS, 0, "【读保护已使能】\n", 1, IDB_BANNER_PROTECTED_ZH, kFree,
         false, "检测到设备已连接(读保护已使能)"},
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
        Start(c.faults);
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

// Each case from a fresh simulator with `faults`, its flash erased (for a
// verify: holding the image), and an image of `length` bytes.
TEST_F(ProbeTest, ProgrammeAndVerifyRuns) {
    struct Case {
        const char *why, *faults;
        uint32_t verifyOnly;
        bool verifyBox;
        uint32_t length;
        int bad;  // programme: an unerased zero byte there; verify: a differing byte
        const char* wire;
        Reason reason;
        const char* logEnd;
    } cases[] = {
        {"an empty image", "", 0, false, 0, -1, "A L O2 P0 S", Reason::None,
         "Begin to programme...\nSucceed to programme!\n"},
        {"programme and verify: a handshake of 4 then 2, and a wait", "", 0, true, 200, -1,
         "A L O4 O2 P64 P64 S P64 P8 S", Reason::None,
         "Begin to programme and verify...\nSucceed to programme!\nSucceed to verify!\n"},
        {"verify: a status after every packet", "", 1, true, 300, -1,
         "A L O3 P64 S P64 S P64 S P64 S P44 S", Reason::None,
         "Verify length is affirmed!\nBegin to verify...\nSucceed to verify!\n"},
        {"an unerased byte fails its page, told at the packet after it", "", 0, false, 300, 150,
         "A L O2 P64 P64 S P64 P64 S", Reason::NotAccepted,
         "Fail to page-programme at #192 byte!\n"},
        {"a differing byte fails the verify at its packet", "", 1, true, 300, 130,
         "A L O3 P64 S P64 S P64 S", Reason::Differs, "Fail to verify at #128 byte!\n"},
        {"a refused verify status says nothing of the content", "refuse:data", 1, true, 100, -1,
         "A L O3 P64 S", Reason::NotAccepted, "Fail to verify at #0 byte!\n"},
        {"a short write ends the run", "short-write:2", 0, false, 300, -1, "A L O2 P64 P32",
         Reason::ShortWrite, "Begin to programme...\nFail to programme!\n"},
        {"an unmarked final status", "bad-marker:data", 0, false, 100, -1, "A L O2 P64 P36 S",
         Reason::WrongMarker, "Begin to programme...\nFail to programme!\n"},
        {"the probe removed after a packet", "unplug-after:1", 0, false, 124, -1, "A L O2 P64",
         Reason::ProbeGone, "Begin to programme...\nFail to programme!\n"},
        {"a final status that never comes", "no-reply:data", 0, false, 100, -1, "A L O2 P64 P36 S",
         Reason::TimedOut, "Begin to programme...\nFail to programme!\n"},
        {"a verify status read that stalls", "stall:data", 1, true, 100, -1, "A L O3 P64 S",
         Reason::Stalled, "Begin to verify...\nFail to verify at #0 byte!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        StartEngine(c.faults, "");
        FixedInputs inputs;
        inputs.verify = c.verifyBox;
        Bytes image = Pattern(c.length), flash(c.length, 0xFF);
        if (c.verifyOnly) flash = image;
        if (c.bad >= 0 && c.verifyOnly) flash[c.bad] ^= 1;
        if (c.bad >= 0 && !c.verifyOnly) {
            flash[c.bad] = 0;  // a byte the image sets to 0x5A cannot come back from 0
            image[c.bad] = 0x5A;
        }
        sim->LoadFlash(flash);
        SetImage(image);
        const auto start = std::chrono::steady_clock::now();
        std::optional<uint32_t> differs;
        EXPECT_EQ(c.reason, ProgrammeVerify(c.verifyOnly, inputs, {}, &differs).reason());
        // The first differing packet, by its address in the target.
        EXPECT_EQ(c.reason == Reason::Differs ? std::optional(0x08000000u + c.bad / 64 * 64)
                                              : std::nullopt,
                  differs);
        const bool waits = c.reason == Reason::None && c.verifyBox && !c.verifyOnly;
        EXPECT_GE(std::chrono::steady_clock::now() - start,
                  std::chrono::milliseconds(waits ? 500 : 0));
        EXPECT_EQ(c.wire, Wire());
        // A removal closes the probe on the notification thread: that line
        // may come before or after the run's last one.
        probelib::WaitForNotifications();
        std::string log = Log();
        const std::string closed = "Succeed to close device!\n";
        if (c.reason == Reason::ProbeGone && log.find(closed) != std::string::npos)
            log.erase(log.find(closed), closed.size());
        EXPECT_TRUE(log.ends_with(c.logEnd)) << log;
        EXPECT_TRUE(c.reason != Reason::None || c.verifyOnly ||
                    std::equal(image.begin(), image.end(), sim->Flash().begin()));
        TearDown();
    }
}

// One job on a 10-byte BIN, or without a file, from the window's Execute (its
// boxes and path box) and from fixed inputs: the steps after the conversion in
// order, each failed one with its reason, and the end of the log. Without a
// file a programme or verify step stops the job at the conversion's own line.
TEST_F(ProbeTest, JobSteps) {
    struct Case {
        const char* faults;
        bool image;
        const char *boxes, *steps, *logEnd;
        bool busy = false;  // a command holds the probe session
    } cases[] = {
        {"absent", true, "EPVR", " status(no probe)", "No device connection detected!\n"},
        {"", false, "EPVR", "", "Not choose file\n"},
        {"", false, "ER", " status erase reset",
         "Succeed to clear-all!\nSucceed to set soft-reset!\n"},
        {"refuse:SelectOperation/1", true, "EPVR", " status erase(result not accepted)",
         "Fail to clear-all!\n"},
        {"refuse:SetLength", true, "EPVR", " status erase programme(result not accepted) reset",
         "Invalid programme length!\nSucceed to set soft-reset!\n"},
        {"", true, "EPVR", " status(probe busy)",
         "The device is busy, wait for the current operation to finish\n", true},
    };
    for (const Case& c : cases)
        for (bool window : {true, false}) {
            SCOPED_TRACE(std::string(c.faults) + (window ? " from the window" : " from values"));
            StartEngine(c.faults, window ? c.boxes : "");
            const std::string bin =
                ::testing::TempDir() + "job-" + std::to_string(getpid()) + ".bin";
            if (c.image) std::ofstream(bin, std::ios::binary).write("0123456789", 10);
            dialog->SetText(IDC_FILE_PATH, window && c.image ? bin : "");
            FixedInputs inputs;
            inputs.path = c.image ? bin : "";
            for (int i = 0;
                 bool* box : {&inputs.erase, &inputs.programme, &inputs.verify, &inputs.reset})
                *box = std::string(c.boxes).find("EPVR"[i++]) != std::string::npos;
            Report report;
            {
                ProbeSession command;  // released at once unless a command holds it
                if (!c.busy) command.Release();
                if (window) {
                    dialog->Click(IDC_EXECUTE);
                    WaitForDownloadJob();
                    report = LastDownloadJob();
                } else {
                    report = RunDownloadJob(inputs);
                }
            }
            std::string steps;
            for (const StepOutcome& s : report.steps) {
                if (s.step != Step::Convert) steps += std::string(" ") + StepName(s.step);
                if (!s.outcome.Ok() && s.step != Step::Convert)
                    steps += std::string("(") + ReasonText(s.outcome.reason()) + ")";
            }
            EXPECT_EQ(c.steps, steps);
            EXPECT_TRUE(Log().ends_with(c.logEnd)) << Log();
            std::remove(bin.c_str());
            TearDown();
        }
}

// The job asks for each input when the step that needs it is reached, not
// once at the start: each question with the log lines before it.
TEST_F(ProbeTest, JobAsksEachInputWhenItsStepIsReached) {
    struct Recorder final : JobInputs {
        FixedInputs answers;
        std::function<size_t()> lines;
        std::string asked;
        void Ask(const char* name) {
            asked += std::string(asked.empty() ? "" : " ") + name + "@" + std::to_string(lines());
        }
        bool Erase() override { return Ask("E"), answers.erase; }
        bool Programme() override { return Ask("P"), answers.programme; }
        bool Verify() override { return Ask("V"), answers.verify; }
        bool Reset() override { return Ask("R"), answers.reset; }
        std::string Path() override { return Ask("path"), answers.path; }
        int AddressIndex() override { return Ask("address"), answers.addressIndex; }
    } inputs;
    StartEngine("", "");
    const std::string bin = ::testing::TempDir() + "ask-" + std::to_string(getpid()) + ".bin";
    std::ofstream(bin, std::ios::binary).write("0123456789", 10);
    inputs.answers.path = bin;
    inputs.answers.erase = inputs.answers.programme = inputs.answers.verify = true;
    inputs.answers.reset = true;
    inputs.lines = [this] {
        const std::string log = Log();
        return static_cast<size_t>(std::count(log.begin(), log.end(), '\n'));
    };
    EXPECT_TRUE(RunDownloadJob(inputs).Ok()) << Log();
    // A BIN is taken silently; then 1 the erase, 2-3 address and length,
    // 4 the start, 5 programmed, 6 verified.
    EXPECT_EQ("path@0 P@0 address@0 E@0 P@1 address@1 V@3 V@5 V@6 P@6 R@6", inputs.asked) << Log();
    std::remove(bin.c_str());
}

}  // namespace
