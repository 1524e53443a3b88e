// The simulator's fault option string: what is accepted, what is refused and why.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "platform/probelib/sim/faults.h"

using probelib::sim::Faults;
using probelib::sim::ParseFaults;

TEST(FaultOptions, AcceptsEveryOptionAndAimsSuffixedOnesAtOneProbe) {
    const char* text =
        "probes:4,protected@SIM3,no-reply:ReadProtect,refuse:0x0B,bad-marker:5,"
        "unplug-after:7,short-write:3,latency-us:250,no-reply:data,"
        "refuse:ReadProtect/1,refuse:SetLength@SIM2,swap-after:50,,";
    for (uint32_t probe = 0; probe < 4; ++probe) {
        Faults f;
        std::string error;
        ASSERT_EQ(1, ParseFaults(text, &f, &error, probe)) << error;
        EXPECT_EQ(probe == 3, f.startProtected) << probe;
        EXPECT_EQ(probe == 2, f.refuse.count(0x05) == 1) << probe;
        EXPECT_FALSE(f.absent);
        EXPECT_EQ((std::set<int>{0x06, probelib::sim::kDataStatusFault}), f.noReply);
        EXPECT_EQ(1u, f.refuse.count(0x0B));
        EXPECT_EQ(1u, f.refuse.count(probelib::sim::PayloadFaultKey(0x06, 1)));
        EXPECT_EQ(std::set<int>{0x05}, f.badMarker);
        EXPECT_EQ((std::vector<uint32_t>{7, 3, 250, 50, 4}),
                  (std::vector<uint32_t>{f.unplugAfter, f.shortWrite, f.latencyUs, f.swapAfterMs,
                                         f.probes}));
    }
}

TEST(FaultOptions, RefusesBadItemsAndLeavesTheOutputAlone) {
    struct Case {
        const char* text;
        const char* why;
    } cases[] = {
        {"protect", "unknown name"},
        {"protected:1", "flag given a value"},
        {"no-reply:", "command missing"},
        {"no-reply:Erase", "unknown command name"},
        {"refuse:0x100", "code beyond a byte"},
        {"unplug-after:0", "zero would mean never, say nothing instead"},
        {"unplug-after:-1", "negative"},
        {"short-write:x", "not a number"},
        {"latency-us:99999999", "an absurd delay would hang tests"},
        {"absent,bogus", "one bad item spoils the list"},
        {"refuse:ReadProtect/256", "payload beyond a byte"},
        {"refuse:data/1", "the data pipe has no payloads"},
        {"probes:0", "no probe at all: say absent"},
        {"probes:17", "at most 16 probes"},
        {"probes:2@SIM1", "the bus is not one probe's"},
        {"refuse:1@SIM1", "one probe unless probes:N says more"},
        {"probes:4,refuse:1@SIM01", "probe names are SIM0, SIM1, ..."},
        {"refuse:1@sim0", "nor sim0"},
        {"swap-after:0", "zero would mean never"},
    };
    for (const Case& c : cases) {
        Faults f;
        f.latencyUs = 42;
        std::string error;
        EXPECT_EQ(0, ParseFaults(c.text, &f, &error)) << c.text << ": " << c.why;
        EXPECT_FALSE(error.empty()) << c.text;
        EXPECT_EQ(42u, f.latencyUs) << c.text;
    }
}
