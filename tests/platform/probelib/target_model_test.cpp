// The simulated probe's protocol at the level of pipe bytes: commands, the
// data phase and its status frames, protection, and the per-command faults.
#include "platform/probelib/sim/target_model.h"

#include <gtest/gtest.h>

#include <vector>

using namespace probelib::sim;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Request(uint8_t command, uint8_t payload) { return {0x81, command, 0x01, payload}; }
Bytes RequestWord(uint8_t command, uint32_t v) {
    return {0x81, command, 0x04, uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

Bytes ReadPipe(TargetModel& m, uint32_t pipe) {
    Bytes buffer(20, 0);
    buffer.resize(m.Read(pipe, buffer));
    return buffer;
}

// Sends a request and returns the reply's result byte, or -1 without a proper reply.
int Command(TargetModel& m, const Bytes& request) {
    m.Write(1, request);
    Bytes reply = ReadPipe(m, 1);
    if (reply.size() < 4 || reply[0] != 0x82 || reply[1] != request[1]) return -1;
    return reply[3];
}

Bytes Image(size_t n, uint8_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 7);
    return b;
}

// Sends the image in 64-byte packets and notes, per packet, the status read
// after it (-1 for none pending).
std::vector<int> SendImage(TargetModel& m, const Bytes& image) {
    std::vector<int> statuses;
    size_t offset = 0;
    do {
        size_t n = std::min<size_t>(64, image.size() - offset);
        m.Write(2, std::span(image).subspan(offset, n));
        Bytes s = ReadPipe(m, 2);
        statuses.push_back(s.size() == 4 && s[0] == 0x41 ? s[3] : -1);
        offset += n;
    } while (offset < image.size());
    return statuses;
}

void SetUpRun(TargetModel& m, uint32_t address, uint32_t length) {
    ASSERT_EQ(1, Command(m, RequestWord(0x01, address)));
    ASSERT_EQ(1, Command(m, RequestWord(0x05, length)));
}

}  // namespace

TEST(TargetModel, AddressAndLengthAreCheckedAgainstTheMemories) {
    TargetModel m;
    EXPECT_EQ(0, Command(m, RequestWord(0x05, 16))) << "length before any address";
    EXPECT_EQ(0, Command(m, RequestWord(0x01, 0x08000004)));
    EXPECT_EQ(0, Command(m, RequestWord(0x01, 0x00000000)));
    EXPECT_EQ(1, Command(m, RequestWord(0x01, kFlashBase)));
    EXPECT_EQ(1, Command(m, RequestWord(0x05, kFlashSize)));
    EXPECT_EQ(0, Command(m, RequestWord(0x05, kFlashSize + 1)));
    EXPECT_EQ(1, Command(m, RequestWord(0x01, kSramBase)));
    EXPECT_EQ(0, Command(m, RequestWord(0x05, kFlashSize))) << "flash size does not fit SRAM";
    EXPECT_EQ(1, Command(m, RequestWord(0x05, kSramSize)));
    EXPECT_EQ(1, Command(m, RequestWord(0x05, 0)));
}

TEST(TargetModel, MalformedRequestsGetNoReply) {
    TargetModel m;
    for (const Bytes& bad : {Bytes{0x80, 0x06, 0x01, 0x01}, Bytes{0x81, 0x06, 0x02, 0x01, 0x00},
                             Bytes{0x81, 0x06, 0x01}, Bytes{0x81, 0x01, 0x04, 0x08, 0x00, 0x00}}) {
        m.Write(1, bad);
        EXPECT_TRUE(ReadPipe(m, 1).empty());
    }
}

TEST(TargetModel, ReadProtectionQueryDisableEnable) {
    TargetModel m;
    m.LoadFlash(Image(100));
    EXPECT_EQ(2, Command(m, Request(0x06, 1)));
    EXPECT_EQ(5, Command(m, Request(0x06, 3)));
    EXPECT_EQ(1, Command(m, Request(0x06, 1)));
    EXPECT_TRUE(m.ReadProtected());
    EXPECT_EQ(3, Command(m, Request(0x06, 2)));
    EXPECT_FALSE(m.ReadProtected());
    for (uint8_t b : m.Flash()) ASSERT_EQ(kErasedByte, b) << "disabling erases the flash";
    EXPECT_EQ(0, Command(m, Request(0x06, 9)));
}

TEST(TargetModel, SoftResetAnswersLengthOneResultOne) {
    TargetModel m;
    m.Write(1, Request(0x0B, 0));
    EXPECT_EQ((Bytes{0x82, 0x0B, 0x01, 0x01}), ReadPipe(m, 1));
    EXPECT_TRUE(ReadPipe(m, 1).empty()) << "a reply is read once";
}

TEST(TargetModel, ProgrammeRunGivesPageStatusAfterEverySecondPacket) {
    TargetModel m;
    Bytes image = Image(300);
    SetUpRun(m, kFlashBase, 300);
    EXPECT_EQ(2, Command(m, Request(0x02, 2)));
    // Packets at 0, 64, 128, 192, 256: page statuses after 64 and 192, final after 256.
    EXPECT_EQ((std::vector<int>{-1, 2, -1, 2, 4}), SendImage(m, image));
    EXPECT_TRUE(std::equal(image.begin(), image.end(), m.Flash().begin()));
    EXPECT_EQ(kErasedByte, m.Flash()[300]);

    SetUpRun(m, kFlashBase, 300);
    EXPECT_EQ(3, Command(m, Request(0x02, 3)));
    EXPECT_EQ((std::vector<int>{6, 6, 6, 6, 7}), SendImage(m, image));
}

TEST(TargetModel, EdgeLengthsOfTheDataPhase) {
    struct Case {
        size_t length;
        std::vector<int> programme;
    } cases[] = {
        {0, {4}},
        {64, {4}},
        {128, {-1, 4}},
        {129, {-1, 2, 4}},
    };
    for (const Case& c : cases) {
        TargetModel m;
        SetUpRun(m, kFlashBase, uint32_t(c.length));
        ASSERT_EQ(2, Command(m, Request(0x02, 2)));
        EXPECT_EQ(c.programme, SendImage(m, Image(c.length))) << c.length;
    }
}

TEST(TargetModel, VerifyFailsAtThePacketThatDiffers) {
    TargetModel m;
    Bytes image = Image(200);
    m.LoadFlash(image);
    image[130] ^= 0xFF;
    SetUpRun(m, kFlashBase, 200);
    ASSERT_EQ(3, Command(m, Request(0x02, 3)));
    std::vector<int> s = SendImage(m, image);
    EXPECT_EQ(6, s[0]);
    EXPECT_EQ(6, s[1]);
    EXPECT_EQ(kStatusVerifyFailed, s[2]) << "packet at 128 holds the difference";

    image = Image(64);
    image[63] ^= 1;
    SetUpRun(m, kFlashBase, 64);
    ASSERT_EQ(3, Command(m, Request(0x02, 3)));
    EXPECT_EQ(std::vector<int>{kStatusVerifyFailed}, SendImage(m, image)) << "final status fails";
}

TEST(TargetModel, ProgrammeAndVerifyIsAHandshakeOfFourThenTwo) {
    TargetModel m;
    SetUpRun(m, kFlashBase, 10);
    EXPECT_EQ(4, Command(m, Request(0x02, 4)));
    EXPECT_EQ(2, Command(m, Request(0x02, 2)));
    EXPECT_EQ(std::vector<int>{4}, SendImage(m, Image(10)));
}

TEST(TargetModel, ProgrammingUnerasedFlashFailsItsPageUntilErased) {
    TargetModel m;
    m.LoadFlash(Bytes(256, 0x00));
    SetUpRun(m, kFlashBase, 256);
    ASSERT_EQ(2, Command(m, Request(0x02, 2)));
    EXPECT_EQ(kStatusPageFailed, SendImage(m, Image(256))[1]);

    EXPECT_EQ(1, Command(m, Request(0x02, 1))) << "erase-all";
    SetUpRun(m, kFlashBase, 256);
    ASSERT_EQ(2, Command(m, Request(0x02, 2)));
    EXPECT_EQ((std::vector<int>{-1, 2, -1, 4}), SendImage(m, Image(256)));
}

TEST(TargetModel, SramTakesAnyBytes) {
    TargetModel m;
    Bytes image = Image(100, 9);
    for (int pass = 0; pass < 2; ++pass) {
        SetUpRun(m, kSramBase, 100);
        ASSERT_EQ(2, Command(m, Request(0x02, 2)));
        EXPECT_EQ((std::vector<int>{-1, 4}), SendImage(m, image));
        image = Image(100, 77);
    }
    EXPECT_TRUE(std::equal(image.begin(), image.end(), m.Sram().begin()));
    for (uint8_t b : m.Flash()) ASSERT_EQ(kErasedByte, b);
}

TEST(TargetModel, ProtectionRefusesProgrammingVerifyingAndErasing) {
    Faults f;
    f.startProtected = true;
    TargetModel m(f);
    SetUpRun(m, kFlashBase, 64);
    EXPECT_EQ(0, Command(m, Request(0x02, 2)));
    EXPECT_EQ(0, Command(m, Request(0x02, 3)));
    EXPECT_EQ(0, Command(m, Request(0x02, 4)));
    EXPECT_EQ(0, Command(m, Request(0x02, 1)));
    m.Write(2, Image(64));
    EXPECT_TRUE(ReadPipe(m, 2).empty()) << "no data phase was started";
}

TEST(TargetModel, CommandFaultsChangeOnlyTheirCommand) {
    Faults f;
    f.noReply = {0x06};
    f.refuse = {0x01};
    f.badMarker = {0x0B};
    TargetModel m(f);
    m.Write(1, Request(0x06, 1));
    EXPECT_TRUE(ReadPipe(m, 1).empty());
    m.Write(1, RequestWord(0x01, kFlashBase));
    EXPECT_EQ((Bytes{0x82, 0x01, 0x01, 0x00}), ReadPipe(m, 1));
    m.Write(1, Request(0x0B, 0));
    Bytes reset = ReadPipe(m, 1);
    ASSERT_EQ(4u, reset.size());
    EXPECT_NE(0x82, reset[0]);
    EXPECT_EQ(0, Command(m, RequestWord(0x05, 1))) << "address refused, so no length either";
}

TEST(TargetModel, ShortWriteTakesHalfOfTheChosenPacket) {
    Faults f;
    f.shortWrite = 2;
    TargetModel m(f);
    SetUpRun(m, kFlashBase, 256);
    ASSERT_EQ(2, Command(m, Request(0x02, 2)));
    Bytes image = Image(256);
    EXPECT_EQ(64u, m.Write(2, std::span(image).subspan(0, 64)));
    EXPECT_EQ(32u, m.Write(2, std::span(image).subspan(64, 64)));
}

TEST(TargetModel, UnplugAfterCountsDataPackets) {
    Faults f;
    f.unplugAfter = 3;
    TargetModel m(f);
    SetUpRun(m, kFlashBase, 1024);
    ASSERT_EQ(2, Command(m, Request(0x02, 2)));
    Bytes image = Image(64);
    m.Write(2, image);
    m.Write(2, image);
    EXPECT_FALSE(m.UnplugRequested());
    m.Write(2, image);
    EXPECT_TRUE(m.UnplugRequested());
}
