// The simulated probe's protocol at the level of pipe bytes: each command's
// result, the data phase's status frames, protection, and the command faults.
#include "platform/probelib/sim/target_model.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/probelib/sim/faults.h"

using namespace probelib::sim;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Request(uint8_t command, uint8_t payload) { return {0x81, command, 0x01, payload}; }
Bytes Word(uint8_t command, uint32_t v) {
    return {0x81, command, 0x04, uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

Bytes ReadPipe(TargetModel& m, uint32_t pipe) {
    Bytes buffer(20, 0);
    buffer.resize(m.Read(pipe, buffer));
    return buffer;
}

// The reply's result byte; -1 without a reply, -2 for one with a wrong marker.
int Command(TargetModel& m, const Bytes& request) {
    m.Write(1, request);
    Bytes reply = ReadPipe(m, 1);
    if (reply.size() != 4 || reply[1] != request[1] || reply[2] != 1) return -1;
    return reply[0] == 0x82 ? reply[3] : -2;
}

Bytes Image(size_t n, uint8_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 7);
    return b;
}

Faults Parsed(const char* text) {
    Faults f;
    EXPECT_EQ(1, ParseFaults(text, &f, nullptr)) << text;
    return f;
}

}  // namespace

// Requests on pipe 1 in order and the result each gets; a step naming faults
// starts a fresh model with them.
TEST(TargetModel, CommandsAndTheirResults) {
    const struct {
        const char* faults;
        Bytes request;
        int result;
    } steps[] = {
        {"", Word(0x05, 16), 0},  // a length before any address
        {nullptr, Word(0x01, kFlashBase), 1},
        {nullptr, Word(0x05, kFlashSize + 1), 0},
        {nullptr, Word(0x01, kSramBase), 1},
        {nullptr, Word(0x05, kFlashSize), 0},
        {nullptr, Word(0x05, kSramSize), 1},
        {nullptr, {0x80, 0x06, 0x01, 0x01}, -1},  // malformed: no reply
        {nullptr, Request(0x0B, 0), 1},
        {nullptr, Request(0x06, 1), 2},
        {nullptr, Request(0x06, 3), 5},
        {nullptr, Request(0x06, 1), 1},
        {nullptr, Request(0x06, 9), 0},
        {"protected", Word(0x01, kFlashBase), 1},
        {nullptr, Word(0x05, 64), 1},
        {nullptr, Request(0x02, 2), 0},
        {nullptr, Request(0x02, 1), 0},
        {"no-reply:ReadProtect,refuse:SetAddress,bad-marker:SoftReset", Request(0x06, 1), -1},
        {nullptr, Word(0x01, kFlashBase), 0},
        {nullptr, Request(0x0B, 0), -2},
        {nullptr, Word(0x05, 1), 0},
    };
    std::unique_ptr<TargetModel> m;
    for (size_t i = 0; i < std::size(steps); ++i) {
        if (steps[i].faults) m = std::make_unique<TargetModel>(Parsed(steps[i].faults));
        EXPECT_EQ(steps[i].result, Command(*m, steps[i].request)) << "step " << i;
    }
}

// A run: address, length, the select request(s), then the image in 64-byte
// packets with the status read after each (-1: none pending).
TEST(TargetModel, DataPhaseStatuses) {
    const int kNone = -1;
    const struct {
        uint32_t address;
        size_t length;
        Bytes preload;             // flash content before the run
        std::vector<int> selects;  // SelectOperation payloads, the last starts the run
        size_t flip;               // image byte changed before sending (length: none)
        std::vector<int> statuses;
    } rows[] = {
        {kFlashBase, 300, {}, {2}, 300, {kNone, 2, kNone, 2, 4}},
        {kFlashBase, 129, {}, {2}, 129, {kNone, 2, 4}},
        {kFlashBase, 10, {}, {4, 2}, 10, {4}},
        {kFlashBase, 300, Image(300), {3}, 300, {6, 6, 6, 6, 7}},
        {kFlashBase, 200, Image(200), {3}, 130, {6, 6, kStatusVerifyFailed, kStatusVerifyFailed}},
        {kFlashBase, 64, Image(64), {3}, 63, {kStatusVerifyFailed}},
        {kFlashBase, 256, Bytes(256, 0), {2}, 256, {kNone, kStatusPageFailed, kNone, 5}},
        {kFlashBase, 256, Bytes(256, 0), {1, 2}, 256, {kNone, 2, kNone, 4}},  // erase-all first
        {kSramBase, 100, {}, {2}, 100, {kNone, 4}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.address << " " << row.length << " " << row.flip);
        TargetModel m;
        m.LoadFlash(row.preload);
        ASSERT_EQ(1, Command(m, Word(0x01, row.address)));
        ASSERT_EQ(1, Command(m, Word(0x05, uint32_t(row.length))));
        for (int select : row.selects) EXPECT_NE(0, Command(m, Request(0x02, uint8_t(select))));
        Bytes image = Image(row.length);
        if (row.flip < row.length) image[row.flip] ^= 1;
        std::vector<int> statuses;
        size_t offset = 0;
        do {
            const size_t n = std::min<size_t>(64, image.size() - offset);
            m.Write(2, std::span(image).subspan(offset, n));
            Bytes s = ReadPipe(m, 2);
            statuses.push_back(s.size() == 4 && s[0] == 0x41 ? s[3] : kNone);
            offset += n;
        } while (offset < image.size());
        EXPECT_EQ(row.statuses, statuses);
        const auto memory = row.address == kSramBase ? m.Sram() : m.Flash();
        if (row.statuses.back() == 4) {
            EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
        }
        if (row.address == kSramBase) {
            EXPECT_EQ(kErasedByte, m.Flash()[0]) << "the flash is left alone";
        }
    }
}
