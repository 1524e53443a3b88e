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

// Unknown names, values out of range or of the wrong kind, probes that do not
// exist: one bad item spoils the list, and the output is left alone.
TEST(FaultOptions, RefusesBadItemsAndLeavesTheOutputAlone) {
    for (const char* text :
         {"protect", "protected:1", "no-reply:", "no-reply:Erase", "refuse:0x100", "unplug-after:0",
          "unplug-after:-1", "short-write:x", "latency-us:99999999", "absent,bogus",
          "refuse:ReadProtect/256", "refuse:data/1", "probes:0", "probes:17", "probes:2@SIM1",
          "refuse:1@SIM1", "probes:4,refuse:1@SIM01", "refuse:1@sim0", "swap-after:0"}) {
        Faults f;
        f.latencyUs = 42;
        std::string error;
        EXPECT_EQ(0, ParseFaults(text, &f, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
        EXPECT_EQ(42u, f.latencyUs) << text;
    }
}
