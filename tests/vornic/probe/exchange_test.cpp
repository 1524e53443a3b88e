// The command exchange: exact request bytes on the wire, read lengths, which
// replies each command accepts, and a failed transfer told from a refusal.
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "probe_fixture.h"

class ExchangeTest : public ProbeFixture {};

TEST_F(ExchangeTest, EveryRequestIsExactlyFourOrSevenBytesWhateverCameBefore) {
    Start("");
    sim->TakeTransfers();
    ProbeReply reply;
    ExchangeCommandWord(ProbeCommand::SetAddress, 0x08000000, kReplyReadLength, &reply);
    ExchangeCommand(ProbeCommand::ReadProtect, uint8_t{1}, kReplyReadLength, &reply);
    ExchangeCommandWord(ProbeCommand::SetAddress, 0x20000000, kReplyReadLength, &reply);
    ExchangeCommandWord(ProbeCommand::SetLength, 0x1234, kReplyReadLength, &reply);
    ExchangeCommand(ProbeCommand::SoftReset, uint8_t{0}, kReplyReadLength, &reply);
    for (uint8_t op = 1; op <= 4; ++op)
        ExchangeCommand(ProbeCommand::SelectOperation, op, kReplyReadLength, &reply);
    ExchangeCommand(ProbeCommand::ReadProtect, uint8_t{2}, kProtectChangeReadLength, &reply);
    ExchangeCommand(ProbeCommand::ReadProtect, uint8_t{3}, kProtectChangeReadLength, &reply);
    EXPECT_EQ((std::vector<Bytes>{
                  {0x81, 0x01, 0x04, 0x08, 0x00, 0x00, 0x00},
                  {0x81, 0x06, 0x01, 0x01},
                  {0x81, 0x01, 0x04, 0x20, 0x00, 0x00, 0x00},
                  {0x81, 0x05, 0x04, 0x00, 0x00, 0x12, 0x34},
                  {0x81, 0x0B, 0x01, 0x00},
                  {0x81, 0x02, 0x01, 0x01},
                  {0x81, 0x02, 0x01, 0x02},
                  {0x81, 0x02, 0x01, 0x03},
                  {0x81, 0x02, 0x01, 0x04},
                  {0x81, 0x06, 0x01, 0x02},
                  {0x81, 0x06, 0x01, 0x03},
              }),
              TakeRequests());
    EXPECT_EQ(0, g_requestBuffer.bytes[4]) << "bytes beyond the last frame are cleared";
}

TEST_F(ExchangeTest, CommandsReadTwentyBytesAndProtectionChangesTen) {
    Start("");
    sim->TakeTransfers();
    QueryDeviceStatus();
    SoftResetDevice();
    dialog->Click(IDC_ENABLE_PROTECT);
    dialog->Click(IDC_DISABLE_PROTECT);
    std::vector<std::pair<uint8_t, uint32_t>> reads;  // (request payload, read length)
    uint8_t last = 0;
    for (auto& t : sim->TakeTransfers()) {
        if (t.pipe != 1) continue;
        if (t.write)
            last = static_cast<uint8_t>((t.bytes[1] << 4) | t.bytes[3]);
        else
            reads.emplace_back(last, t.requested);
    }
    EXPECT_EQ((std::vector<std::pair<uint8_t, uint32_t>>{{0x61, 20},
                                                         {0xB0, 20},  // query, reset
                                                         {0x63, 10},
                                                         {0xB0, 20},
                                                         {0x61, 20},  // enable, reset, query
                                                         {0x62, 10},
                                                         {0xB0, 20},
                                                         {0x61, 20}}),  // disable, reset, query
              reads);
}

TEST_F(ExchangeTest, BadPayloadOrReadLengthSendsNothing) {
    Start("");
    sim->TakeTransfers();
    ProbeReply reply;
    reply.bytes.fill(0xEE);
    const uint8_t two[2] = {1, 2};
    EXPECT_EQ(Reason::NotSent,
              ExchangeCommand(ProbeCommand::ReadProtect, two, 20, &reply).reason());
    EXPECT_EQ(0, reply.Marker()) << "reply cleared even when refused";
    EXPECT_EQ(Reason::NotSent,
              ExchangeCommand(ProbeCommand::ReadProtect, uint8_t{1}, 21, &reply).reason());
    EXPECT_TRUE(TakeRequests().empty());
}

TEST_F(ExchangeTest, ReplyThatNeverComesLeavesAClearedBuffer) {
    Start("no-reply:ReadProtect");
    ProbeReply reply;
    reply.bytes.fill(0x82);
    EXPECT_EQ(Reason::NoReply,
              ExchangeCommand(ProbeCommand::ReadProtect, uint8_t{1}, 20, &reply).reason());
    for (uint8_t b : reply.bytes) ASSERT_EQ(0, b);
}

// Per command: which reply fault shows up how in the log.
TEST_F(ExchangeTest, ReplyAcceptancePerCommand) {
    struct Case {
        const char* faults;
        int button;  // 0: soft reset called directly
        LogLines lines;
        const char* why;
    } cases[] = {
        {"", IDC_CHECK_STATUS, {"【读保护已解除】"}, "valid answer"},
        {"no-reply:ReadProtect", IDC_CHECK_STATUS, {"【读保护查询失败】"}, "no answer"},
        {"bad-marker:ReadProtect", IDC_CHECK_STATUS, {"【读保护查询失败】"}, "wrong marker"},
        {"refuse:ReadProtect",
         IDC_CHECK_STATUS,
         {"【读保护查询失败】"},
         "result 0 is neither 1 nor 2"},
        {"refuse:ReadProtect", IDC_DISABLE_PROTECT, {"解除读保护失败!"}, "result other than 3"},
        {"bad-marker:ReadProtect", IDC_ENABLE_PROTECT, {"使能读保护失败!"}, "wrong marker"},
        {"", 0, {"软复位设置成功!"}, "length 1 and result 1"},
        {"refuse:SoftReset", 0, {"软复位设置失败!"}, "result 0"},
        {"bad-marker:SoftReset", 0, {}, "wrong marker: silent"},
        {"no-reply:SoftReset", 0, {}, "no reply: silent"},
    };
    for (const Case& c : cases) {
        Start(c.faults);
        ClearOutput();
        if (c.button != 0)
            dialog->Click(c.button);
        else
            SoftResetDevice();
        EXPECT_EQ(c.lines, Lines()) << c.faults << " / " << c.button << ": " << c.why;
        TearDown();
    }
}

// The same query over a probe that answers, refuses, garbles, stays silent or
// is gone: the exchange's outcome tells the link's failures from the probe's
// answers, and the trace shows each on the wire.
TEST_F(ExchangeTest, TransportFailuresAreToldFromRefusals) {
    struct Case {
        const char* faults;
        bool removed;         // unplugged before the exchange
        Reason exchange;      // ExchangeCommand's outcome
        Reason query;         // QueryDeviceStatus's
        const char* wire[2];  // the trace's request and reply, time left out
    } cases[] = {
        {"",
         false,
         Reason::None,
         Reason::None,
         {"1 out 4 4 ok 81 06 01 01", "1 in 20 4 ok 82 06 01 02"}},
        {"refuse:ReadProtect",
         false,
         Reason::None,
         Reason::NotAccepted,
         {"1 out 4 4 ok 81 06 01 01", "1 in 20 4 ok 82 06 01 00"}},
        {"bad-marker:ReadProtect",
         false,
         Reason::WrongMarker,
         Reason::WrongMarker,
         {"1 out 4 4 ok 81 06 01 01", "1 in 20 4 ok 7e 06 01 02"}},
        {"no-reply:ReadProtect",
         false,
         Reason::NoReply,
         Reason::NoReply,
         {"1 out 4 4 ok 81 06 01 01", "1 in 20 0 timeout"}},
        {"",
         true,
         Reason::NotSent,
         Reason::NotSent,
         {"1 out 4 0 no-device 81 06 01 01", "1 in 20 0 no-device"}},
    };
    const std::string trace =
        (std::filesystem::temp_directory_path() / ("vornic-trace-" + std::to_string(::getpid())))
            .string();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.faults << (c.removed ? " removed" : ""));
        Start(c.faults);
        if (c.removed) sim->Unplug();
        std::string error;
        ASSERT_EQ(1, probelib::StartTrace(trace, &error)) << error;
        ProbeReply reply;
        EXPECT_EQ(c.exchange,
                  ExchangeCommand(ProbeCommand::ReadProtect, uint8_t{1}, 20, &reply).reason());
        probelib::StopTrace();
        EXPECT_EQ(c.query, QueryDeviceStatus().reason());

        std::ifstream in(trace);
        std::string line;
        std::getline(in, line);  // the heading
        for (const char* want : c.wire) {
            std::getline(in, line);
            EXPECT_EQ(want, line.substr(line.find(' ') + 1, std::string(want).size()));
        }
        TearDown();
    }
    std::filesystem::remove(trace);
}
