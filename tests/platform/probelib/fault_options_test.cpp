// The simulator's fault option string: what is accepted, what is refused and why.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "platform/probelib/sim/faults.h"

using probelib::sim::Faults;
using probelib::sim::ParseFaults;

TEST(FaultOptions, ASuffixAimsAnItemAtOneProbe) {
    for (uint32_t probe = 0; probe < 4; ++probe) {
        Faults f;
        ASSERT_EQ(1, ParseFaults("probes:4,protected@SIM3,refuse:ReadProtect/1,latency-us:7", &f,
                                 nullptr, probe));
        EXPECT_EQ(probe == 3, f.startProtected) << probe;
        EXPECT_EQ((std::set<int>{probelib::sim::PayloadFaultKey(0x06, 1)}), f.refuse);
        EXPECT_EQ(7u, f.latencyUs);
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
