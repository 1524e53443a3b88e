// The programme/verify engine and the download job against the simulated
// probe: what crosses both pipes, what the log says, and the job's steps.
#include <algorithm>
#include <chrono>

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
    struct Case {
        const char *why, *faults;
        uint32_t verifyOnly;
        bool verifyBox;
        uint32_t length;
        int bad;  // programme: an unerased zero byte there; verify: a differing byte; -2: no
                  // address
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
        {"a short write ends the run", "short-write:2", 0, false, 300, -1, "A L O2 P64 P32",
         Reason::ShortWrite, "Begin to programme...\nFail to programme!\n"},
        {"an unmarked final status", "bad-marker:data", 0, false, 100, -1, "A L O2 P64 P36 S",
         Reason::WrongMarker, "Begin to programme...\nFail to programme!\n"},
        {"no address chosen", "", 0, false, 10, -2, "", Reason::NoAddress,
         "Please to choose programme address!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        StartEngine(c.faults, c.verifyBox ? "V" : "");
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
        EXPECT_TRUE(Log().ends_with(c.logEnd)) << Log();
        EXPECT_TRUE(c.reason != Reason::None || c.verifyOnly ||
                    std::equal(image.begin(), image.end(), sim->Flash().begin()));
        TearDown();
    }
}

// One Execute with an empty path box over an image from before (or none): the
// steps after the conversion (which finds no file) in order, each failed one
// with its reason, and the end of the log.
TEST_F(EngineTest, JobSteps) {
    struct Case {
        const char* faults;
        bool image;
        const char *boxes, *steps, *logEnd;
        bool busy = false;  // a command holds the probe session
    } cases[] = {
        {"absent", true, "EPVR", " status(no probe)", "No device connection detected!\n"},
        {"", false, "EPVR", " status programme(no image)", "The data file is invalid!\n"},
        {"", false, "ER", " status erase reset",
         "Succeed to clear-all!\nSucceed to set soft-reset!\n"},
        {"refuse:SelectOperation/1", true, "EPVR", " status erase(result not accepted)",
         "Fail to clear-all!\n"},
        {"refuse:SetLength", true, "EPVR", " status erase programme(result not accepted) reset",
         "Invalid programme length!\nSucceed to set soft-reset!\n"},
        {"", true, "EPVR", " status(probe busy)",
         "The device is busy, wait for the current operation to finish\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults);
        StartEngine(c.faults, c.boxes);
        if (c.image) SetImage(Pattern(10));
        {
            ProbeSession command;  // released at once unless a command holds it
            if (!c.busy) command.Release();
            dialog->Click(IDC_EXECUTE);
        }
        WaitForDownloadJob();
        std::string steps;
        for (const StepOutcome& s : LastDownloadJob().steps) {
            if (s.step != Step::Convert) steps += std::string(" ") + StepName(s.step);
            if (!s.outcome.Ok() && s.step != Step::Convert)
                steps += std::string("(") + ReasonText(s.outcome.reason()) + ")";
        }
        EXPECT_EQ(c.steps, steps);
        EXPECT_TRUE(Log().ends_with(c.logEnd)) << Log();
        TearDown();
    }
}

}  // namespace
