// The command exchange: the exact request bytes and read lengths on pipe 1,
// and a failed transfer told from a refusal, as the wire trace shows them.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "tests/vornic/probe/probe_fixture.h"

namespace {

class ExchangeTest : public ProbeFixture {};

// Every request is four or seven bytes whatever came before; commands read 20
// bytes and protection changes 10.
TEST_F(ExchangeTest, RequestBytesAndReadLengths) {
    Start("");
    sim->TakeTransfers();
    ProbeReply reply;
    ExchangeCommandWord(ProbeCommand::SetAddress, 0x20000000, kReplyReadLength, &reply);
    ExchangeCommandWord(ProbeCommand::SetLength, 0x1234, kReplyReadLength, &reply);
    for (uint8_t op = 1; op <= 4; ++op)
        ExchangeCommand(ProbeCommand::SelectOperation, op, kReplyReadLength, &reply);
    dialog->Click(IDC_ENABLE_PROTECT);   // enable, reset, query
    dialog->Click(IDC_DISABLE_PROTECT);  // disable, reset, query
    std::vector<std::string> exchanges;  // each request in hex, then "<" and its read length
    for (auto& t : sim->TakeTransfers()) {
        if (t.pipe == 1 && !t.write) exchanges.back() += "<" + std::to_string(t.requested);
        if (t.pipe != 1 || !t.write) continue;
        exchanges.emplace_back();
        for (uint8_t b : t.bytes) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02X ", b);
            exchanges.back() += hex;
        }
    }
    EXPECT_EQ((std::vector<std::string>{
                  "81 01 04 20 00 00 00 <20",
                  "81 05 04 00 00 12 34 <20",
                  "81 02 01 01 <20",
                  "81 02 01 02 <20",
                  "81 02 01 03 <20",
                  "81 02 01 04 <20",
                  "81 06 01 03 <10",
                  "81 0B 01 00 <20",
                  "81 06 01 01 <20",
                  "81 06 01 02 <10",
                  "81 0B 01 00 <20",
                  "81 06 01 01 <20",
              }),
              exchanges);
}

// The same query over a probe that answers, refuses, garbles, stays silent or
// is gone: the exchange's outcome tells the link's failures from the probe's
// answers, and the trace shows each on the wire.
TEST_F(ExchangeTest, TransportFailuresAreToldFromRefusals) {
    struct Case {
        const char* faults;
        bool removed;                 // unplugged before the exchange
        Reason exchange;              // ExchangeCommand's outcome
        Reason query;                 // QueryDeviceStatus's
        const char *request, *reply;  // as the trace shows them, time left out
    } cases[] = {
        {"", false, Reason::None, Reason::None, "1 out 4 4 ok 81 06 01 01",
         "1 in 20 4 ok 82 06 01 02"},
        {"refuse:ReadProtect", false, Reason::None, Reason::NotAccepted, "1 out 4 4 ok 81 06 01 01",
         "1 in 20 4 ok 82 06 01 00"},
        {"bad-marker:ReadProtect", false, Reason::WrongMarker, Reason::WrongMarker,
         "1 out 4 4 ok 81 06 01 01", "1 in 20 4 ok 7e 06 01 02"},
        {"no-reply:ReadProtect", false, Reason::NoReply, Reason::NoReply,
         "1 out 4 4 ok 81 06 01 01", "1 in 20 0 timeout"},
        {"", true, Reason::NotSent, Reason::NotSent, "1 out 4 0 no-device 81 06 01 01",
         "1 in 20 0 no-device"},
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
        reply.bytes.fill(0x82);  // a failed read leaves it cleared
        EXPECT_EQ(c.exchange,
                  ExchangeCommand(ProbeCommand::ReadProtect, uint8_t{1}, 20, &reply).reason());
        EXPECT_EQ(c.exchange == Reason::NoReply || c.removed, ProbeReply().bytes == reply.bytes);
        probelib::StopTrace();
        EXPECT_EQ(c.query, QueryDeviceStatus().reason());

        std::ifstream in(trace);
        std::string line;
        std::getline(in, line);  // the heading
        for (const std::string want : {c.request, c.reply}) {
            std::getline(in, line);
            EXPECT_EQ(want, line.substr(line.find(' ') + 1, want.size()));
        }
        TearDown();
    }
    std::filesystem::remove(trace);
}

}  // namespace
