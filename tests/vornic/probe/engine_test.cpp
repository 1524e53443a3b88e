// The programme/verify engine and the download job against the simulated
// probe: what goes over both pipes, what the log says, and the job's steps.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "tests/vornic/probe/probe_fixture.h"
#include "vornic/image/firmware_image.h"
#include "vornic/probe/download_job.h"
#include "vornic/probe/programme_verify.h"

namespace {

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

class EngineTest : public ProbeFixture {
  protected:
    // A linked, unprotected probe (as the job's status query leaves it), the
    // address 0x08000000 and every step box ticked; English log lines.
    void StartEngine(const char* faults) {
        Start(faults, false);
        dialog->SetHandler(IDC_EXECUTE, OnExecute);
        dialog->SetItems(IDC_ADDRESS, {"0x08000000", "0x20000000"});
        dialog->SetSelection(IDC_ADDRESS, 0);
        for (int id : {IDC_ERASE_ALL, IDC_PROGRAMME, IDC_VERIFY, IDC_RESET})
            dialog->SetChecked(id, true);
        g_readProtected = 0;
        sim->TakeTransfers();
        ClearOutput();
    }
    void TearDown() override {
        WaitForDownloadJob();
        g_firmwareImage.Clear();
        ProbeFixture::TearDown();
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
};

// Each case from a fresh simulator with `faults`, its flash erased (for a
// verify: holding the image), and an image of `length` bytes.
TEST_F(EngineTest, ProgrammeAndVerifyRuns) {
    const std::string programme = "Programme address is affirmed!\nProgramme length is affirmed!\n",
                      verify = "Verify address is affirmed!\nVerify length is affirmed!\n",
                      begin = programme + "Begin to programme...\n",
                      done = begin + "Succeed to programme!\n";
    struct Case {
        const char* why;
        const char* faults;
        uint32_t verifyOnly;
        bool verifyBox;
        uint32_t length;
        // Programme: an unerased zero byte there; verify: a byte that differs;
        // -2: no address chosen.
        int bad;
        const char* wire;
        Reason reason;
        std::string log;
    } cases[] = {
        {"an empty image", "", 0, false, 0, -1, "A L O2 P0 S", Reason::None, done},
        {"one packet", "", 0, false, 64, -1, "A L O2 P64 S", Reason::None, done},
        {"a page: a status after every second packet", "", 0, false, 128, -1, "A L O2 P64 P64 S",
         Reason::None, done},
        {"a page and a byte", "", 0, false, 129, -1, "A L O2 P64 P64 S P1 S", Reason::None, done},
        {"programme and verify: a handshake of 4 then 2, and a wait", "", 0, true, 200, -1,
         "A L O4 O2 P64 P64 S P64 P8 S", Reason::None,
         programme +
             "Begin to programme and verify...\nSucceed to programme!\nSucceed to verify!\n"},
        {"verify: a status after every packet", "", 1, true, 300, -1,
         "A L O3 P64 S P64 S P64 S P64 S P44 S", Reason::None,
         verify + "Begin to verify...\nSucceed to verify!\n"},
        {"an unerased byte fails its page, told at the packet after it", "", 0, false, 300, 150,
         "A L O2 P64 P64 S P64 P64 S", Reason::NotAccepted,
         begin + "Fail to page-programme at #192 byte!\n"},
        {"a differing byte fails the verify at its packet", "", 1, true, 300, 130,
         "A L O3 P64 S P64 S P64 S", Reason::Differs,
         verify + "Begin to verify...\nFail to verify at #128 byte!\n"},
        {"a short write ends the run", "short-write:2", 0, false, 300, -1, "A L O2 P64 P32",
         Reason::ShortWrite, begin + "Fail to programme!\n"},
        {"an unmarked final status", "bad-marker:data", 0, false, 100, -1, "A L O2 P64 P36 S",
         Reason::WrongMarker, begin + "Fail to programme!\n"},
        {"no address chosen", "", 0, false, 10, -2, "", Reason::NoAddress,
         "Please to choose programme address!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        StartEngine(c.faults);
        dialog->SetChecked(IDC_VERIFY, c.verifyBox);
        if (c.bad == -2) dialog->SetSelection(IDC_ADDRESS, -1);
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
        EXPECT_EQ(c.reason, ProgrammeVerify(c.verifyOnly).reason());
        const bool waits = c.reason == Reason::None && c.verifyBox && !c.verifyOnly;
        EXPECT_GE(std::chrono::steady_clock::now() - start,
                  std::chrono::milliseconds(waits ? 500 : 0));
        EXPECT_EQ(c.wire, Wire());
        EXPECT_EQ(c.log, Log());
        EXPECT_TRUE(c.reason != Reason::None || c.verifyOnly ||
                    std::equal(image.begin(), image.end(), sim->Flash().begin()));
        TearDown();
    }
}

// One Execute with an empty path box over an image from before: the steps in
// order, each failed one with its reason, and the end of the log. The boxes
// ticked: Erase, Programme, Verify, Reset.
TEST_F(EngineTest, JobSteps) {
    struct Case {
        const char* faults;
        bool image;
        std::string boxes;
        const char *steps, *logEnd;
    } cases[] = {
        {"absent", true, "EPVR", "convert(file missing) status(no probe)",
         "No device connection detected!\n"},
        {"protected", true, "EPVR", "convert(file missing) status(read-protected)",
         "Please disable read-protect at first...\n"},
        {"", false, "EPVR", "convert(file missing) status programme(no image)",
         "The data file is invalid!\n"},
        {"", false, "ER", "convert(file missing) status erase reset",
         "Succeed to clear-all!\nSucceed to set soft-reset!\n"},
        {"refuse:SelectOperation/1", true, "EPVR",
         "convert(file missing) status erase(result not accepted)", "Fail to clear-all!\n"},
        {"refuse:SetLength", true, "EPVR",
         "convert(file missing) status erase programme(result not accepted) reset",
         "Invalid programme length!\nSucceed to set soft-reset!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults);
        StartEngine(c.faults);
        if (c.image) SetImage(Pattern(10));
        for (int i = 0; int id : {IDC_ERASE_ALL, IDC_PROGRAMME, IDC_VERIFY, IDC_RESET})
            dialog->SetChecked(id, c.boxes.find("EPVR"[i++]) != std::string::npos);
        dialog->Click(IDC_EXECUTE);
        WaitForDownloadJob();
        std::string steps;
        for (const StepOutcome& s : LastDownloadJob().steps) {
            steps += std::string(steps.empty() ? "" : " ") + StepName(s.step);
            if (!s.outcome.Ok()) steps += std::string("(") + ReasonText(s.outcome.reason()) + ")";
        }
        EXPECT_EQ(c.steps, steps);
        EXPECT_TRUE(Log().ends_with(c.logEnd)) << Log();
        TearDown();
    }
}

TEST_F(EngineTest, SecondExecuteOrACommandWhileAJobRunsIsRefused) {
    StartEngine("latency-us:2000");
    SetImage(Pattern(2000));
    dialog->Click(IDC_EXECUTE);
    ASSERT_TRUE(DownloadJobRunning());
    dialog->Click(IDC_EXECUTE);
    dialog->Click(IDC_CHECK_STATUS);
    WaitForDownloadJob();
    const std::string busy = "The device is busy, wait for the current operation to finish\n";
    const std::string refused =
        "Not choose file\n" + busy + busy;  // the job's first line, then the refusals
    EXPECT_EQ(refused, Log().substr(0, refused.size()));
    EXPECT_TRUE(Log().ends_with("Succeed to set soft-reset!\n"));
}

}  // namespace
