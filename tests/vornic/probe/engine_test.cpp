// The programme/verify engine and the download job against the simulated probe:
// the data-pipe sequences, failure offsets, the handshake and the job's flows.
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "probe_fixture.h"
#include "vornic/image/firmware_image.h"
#include "vornic/probe/download_job.h"
#include "vornic/probe/programme_verify.h"

namespace {

std::vector<uint8_t> Pattern(uint32_t length) {
    std::vector<uint8_t> bytes(length);
    for (uint32_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}

void SetImage(const std::vector<uint8_t>& bytes) {
    g_firmwareImage.data = std::make_unique<uint8_t[]>(kImageCapacity);
    if (!bytes.empty()) std::memcpy(g_firmwareImage.data.get(), bytes.data(), bytes.size());
    g_firmwareImage.length = static_cast<uint32_t>(bytes.size());
}

class EngineTest : public ProbeFixture {
  protected:
    void StartEngine(const char* faults, bool chinese = false) {
        Start(faults, chinese);
        dialog->SetHandler(IDC_EXECUTE, OnExecute);
        dialog->SetItems(IDC_ADDRESS, {"0x08000000", "0x20000000"});
        dialog->SetSelection(IDC_ADDRESS, 0);
        for (int id : {IDC_ERASE_ALL, IDC_PROGRAMME, IDC_VERIFY, IDC_RESET})
            dialog->SetChecked(id, true);
        if (g_deviceHandle.load() != -1) {
            ProbeSession session;
            ASSERT_TRUE(session.Held());
            ASSERT_TRUE(QueryDeviceStatus().Ok());
        }
        sim->TakeTransfers();
        ClearOutput();
    }
    void TearDown() override {
        WaitForDownloadJob();
        g_firmwareImage.Clear();
        ProbeFixture::TearDown();
    }
    // The data pipe as a string: "P64" a packet write of 64 bytes, "S" a status read.
    std::string DataPipe() {
        std::string out;
        for (auto& t : sim->TakeTransfers()) {
            if (t.pipe != 2) continue;
            if (!out.empty()) out += ' ';
            out += t.write ? "P" + std::to_string(t.bytes.size()) : std::string("S");
        }
        return out;
    }
    void SetBoxes(bool erase, bool programme, bool verify, bool reset) {
        dialog->SetChecked(IDC_ERASE_ALL, erase);
        dialog->SetChecked(IDC_PROGRAMME, programme);
        dialog->SetChecked(IDC_VERIFY, verify);
        dialog->SetChecked(IDC_RESET, reset);
    }
    // The job's steps in order, each failed one with its reason:
    // "convert(file missing) status erase".
    std::string RunJob() {
        dialog->Click(IDC_EXECUTE);
        WaitForDownloadJob();
        std::string steps;
        for (const StepOutcome& s : LastDownloadJob().steps) {
            if (!steps.empty()) steps += ' ';
            steps += StepName(s.step);
            if (!s.outcome.Ok()) steps += std::string("(") + ReasonText(s.outcome.reason()) + ")";
        }
        return steps;
    }
};

TEST_F(EngineTest, ProgrammeSequencesByLength) {
    struct Case {
        uint32_t length;
        const char* pipe;
    };
    const Case cases[] = {
        {0, "P0 S"},
        {64, "P64 S"},
        {128, "P64 P64 S"},
        {129, "P64 P64 S P1 S"},
        {300, "P64 P64 S P64 P64 S P44 S"},
    };
    StartEngine("");
    dialog->SetChecked(IDC_VERIFY, false);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        SetImage(Pattern(c.length));
        EXPECT_TRUE(ProgrammeVerify(0).Ok());
        EXPECT_EQ(c.pipe, DataPipe());
        EXPECT_EQ((LogLines{"Programme address is affirmed!", "Programme length is affirmed!",
                            "Begin to programme...", "Succeed to programme!"}),
                  TakeLines());
        auto flash = sim->Flash();
        auto want = Pattern(c.length);
        EXPECT_TRUE(std::equal(want.begin(), want.end(), flash.begin()));
        // Erase for the next case: the flash only clears bits.
        sim->LoadFlash(std::vector<uint8_t>(flash.size(), 0xFF));
    }
}

TEST_F(EngineTest, VerifySequencesAndSetUpRequests) {
    StartEngine("");
    auto image = Pattern(300);
    sim->LoadFlash(image);
    SetImage(image);
    EXPECT_TRUE(ProgrammeVerify(1).Ok());
    auto transfers = sim->TakeTransfers();
    std::vector<Bytes> requests;
    std::string pipe;
    for (auto& t : transfers) {
        if (t.pipe == 1 && t.write) requests.push_back(t.bytes);
        if (t.pipe == 2) pipe += t.write ? "P" + std::to_string(t.bytes.size()) + " " : "S ";
    }
    EXPECT_EQ("P64 S P64 S P64 S P64 S P44 S ", pipe);
    ASSERT_EQ(3u, requests.size());
    EXPECT_EQ((Bytes{0x81, 0x01, 0x04, 0x08, 0x00, 0x00, 0x00}), requests[0]);
    EXPECT_EQ((Bytes{0x81, 0x05, 0x04, 0x00, 0x00, 0x01, 0x2C}), requests[1]);
    EXPECT_EQ((Bytes{0x81, 0x02, 0x01, 0x03}), requests[2]);
    EXPECT_EQ((LogLines{"Verify address is affirmed!", "Verify length is affirmed!",
                        "Begin to verify...", "Succeed to verify!"}),
              TakeLines());
}

TEST_F(EngineTest, FailureOffsets) {
    StartEngine("", true);
    auto image = Pattern(300);
    // An unerased zero byte at 150 fails the second page, reported at 192.
    std::vector<uint8_t> flash(image.size(), 0xFF);
    flash[150] = 0x00;
    image[150] = 0x5A;
    sim->LoadFlash(flash);
    SetImage(image);
    dialog->SetChecked(IDC_VERIFY, false);
    EXPECT_EQ(Reason::NotAccepted, ProgrammeVerify(0).reason());
    EXPECT_EQ("192字节时页编程失败!", TakeLines().back());
    EXPECT_EQ("P64 P64 S P64 P64 S", DataPipe());

    // A differing byte at 130 fails the verify at the packet at 128.
    image = Pattern(300);
    auto content = image;
    content[130] ^= 1;
    sim->LoadFlash(content);
    SetImage(image);
    EXPECT_EQ(Reason::Differs, ProgrammeVerify(1).reason());
    EXPECT_EQ("P64 S P64 S P64 S", DataPipe());
    EXPECT_EQ("校验至128字节时失败!", TakeLines().back());
}

TEST_F(EngineTest, ProgrammeAndVerifyHandshakeWaitsBetweenSuccesses) {
    StartEngine("");
    SetImage(Pattern(200));
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(ProgrammeVerify(0).Ok());
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(500));
    std::vector<Bytes> ops;
    for (auto& r : TakeRequests())
        if (r.size() == 4 && r[1] == 0x02) ops.push_back(r);
    EXPECT_EQ((std::vector<Bytes>{{0x81, 0x02, 0x01, 0x04}, {0x81, 0x02, 0x01, 0x02}}), ops);
    EXPECT_EQ((LogLines{"Programme address is affirmed!", "Programme length is affirmed!",
                        "Begin to programme and verify...", "Succeed to programme!",
                        "Succeed to verify!"}),
              TakeLines());
}

TEST_F(EngineTest, ShortWriteAndUnmarkedFinalEndAsFailure) {
    StartEngine("short-write:2");
    dialog->SetChecked(IDC_VERIFY, false);
    SetImage(Pattern(300));
    EXPECT_EQ(Reason::ShortWrite, ProgrammeVerify(0).reason());
    EXPECT_EQ("P64 P32", DataPipe());
    EXPECT_EQ("Fail to programme!", TakeLines().back());

    StartEngine("bad-marker:data");
    dialog->SetChecked(IDC_VERIFY, false);
    SetImage(Pattern(100));
    EXPECT_EQ(Reason::WrongMarker, ProgrammeVerify(0).reason());
    EXPECT_EQ("P64 P36 S", DataPipe());
    EXPECT_EQ("Fail to programme!", TakeLines().back());
}

TEST_F(EngineTest, NoImageAndNoAddress) {
    StartEngine("");
    EXPECT_EQ(Reason::NoImage, ProgrammeVerify(0).reason());
    EXPECT_EQ(LogLines{"The data file is invalid!"}, TakeLines());
    SetImage(Pattern(10));
    dialog->SetSelection(IDC_ADDRESS, -1);
    EXPECT_EQ(Reason::NoAddress, ProgrammeVerify(1).reason());
    EXPECT_EQ(LogLines{"Please to choose programme address!"}, TakeLines());
    EXPECT_TRUE(TakeRequests().empty());
}

TEST_F(EngineTest, JobWithoutProbe) {
    StartEngine("absent");
    dialog->SetText(IDC_FILE_PATH, "/nonexistent/app.bin");
    EXPECT_EQ("convert(file missing) status(no probe)", RunJob());
    auto lines = TakeLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("No device connection detected!", lines.back());
}

TEST_F(EngineTest, JobOnProtectedTargetAndWithoutImage) {
    StartEngine("");
    sim->SetReadProtected(true);
    SetImage(Pattern(10));
    dialog->SetText(IDC_FILE_PATH, "");
    EXPECT_EQ("convert(file missing) status(read-protected)", RunJob());
    EXPECT_EQ("Please disable read-protect at first...", TakeLines().back());

    // No image with programme ticked: refused before the erase.
    sim->SetReadProtected(false);
    g_firmwareImage.Clear();
    EXPECT_EQ("convert(file missing) status programme(no image)", RunJob());
    EXPECT_EQ("The data file is invalid!", TakeLines().back());
    for (auto& r : TakeRequests()) EXPECT_NE((Bytes{0x81, 0x02, 0x01, 0x01}), r);

    // Erase and reset alone run without an image.
    SetBoxes(true, false, false, true);
    EXPECT_EQ("convert(file missing) status erase reset", RunJob());
    auto lines = TakeLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ("Succeed to clear-all!", lines[lines.size() - 2]);
    EXPECT_EQ("Succeed to set soft-reset!", lines.back());
}

TEST_F(EngineTest, FailedEraseEndsTheJob) {
    StartEngine("refuse:SelectOperation/1");
    SetImage(Pattern(10));
    EXPECT_EQ("convert(file missing) status erase(result not accepted)", RunJob());
    EXPECT_EQ("Fail to clear-all!", TakeLines().back());
    for (auto& r : TakeRequests()) EXPECT_NE(0x0B, r[1]);
}

TEST_F(EngineTest, FailedProgrammeIsFollowedByReset) {
    StartEngine("refuse:SetLength");
    SetImage(Pattern(10));
    EXPECT_EQ("convert(file missing) status erase programme(result not accepted) reset", RunJob());
    auto lines = TakeLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ("Invalid programme length!", lines[lines.size() - 2]);
    EXPECT_EQ("Succeed to set soft-reset!", lines.back());
}

TEST_F(EngineTest, SecondExecuteWhileJobRunsIsRefused) {
    StartEngine("latency-us:2000");
    SetImage(Pattern(2000));
    dialog->Click(IDC_EXECUTE);
    ASSERT_TRUE(DownloadJobRunning());
    dialog->Click(IDC_EXECUTE);
    dialog->Click(IDC_CHECK_STATUS);
    WaitForDownloadJob();
    EXPECT_FALSE(DownloadJobRunning());
    int busy = 0;
    for (auto& line : TakeLines())
        if (line == "The device is busy, wait for the current operation to finish") ++busy;
    EXPECT_EQ(2, busy);
}

}  // namespace
