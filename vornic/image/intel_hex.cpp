// Intel HEX decoder: records located by arithmetic (CR LF line ends), placed
// into a caller's buffer without ever writing outside it.
#include "vornic/image/intel_hex.h"

#include <array>
#include <cstring>
#include <limits>

namespace {

constexpr uint32_t kFlashBase = 0x08000000;
constexpr uint8_t kNotHex = 0xFF;

constexpr std::array<uint8_t, 256> MakeNibbleTable() {
    std::array<uint8_t, 256> table{};
    for (auto& v : table) v = kNotHex;
    for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<uint8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<uint8_t>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<uint8_t>(c - 'A' + 10);
    return table;
}

constexpr std::array<uint8_t, 256> kNibble = MakeNibbleTable();

enum RecordType : uint8_t {
    kData = 0x00,
    kEndOfFile = 0x01,
    kExtendedSegment = 0x02,
    kStartSegment = 0x03,
    kExtendedLinear = 0x04,
    kStartLinear = 0x05,
};

}  // namespace

int HexPairToByte(const char* chars, uint8_t& out) {
    uint8_t low = kNibble[static_cast<unsigned char>(chars[1])];
    if (low == kNotHex) return 0;
    uint8_t high = kNibble[static_cast<unsigned char>(chars[0])];
    if (high == kNotHex) return 0;
    out = static_cast<uint8_t>(high << 4 | low);
    return 1;
}

int DecodeIntelHex(std::string_view text, std::span<uint8_t> image, uint32_t& usedLength) {
    usedLength = 0;
    if (text.size() > std::numeric_limits<uint32_t>::max()) return 0;
    const uint64_t fill = text.size() < image.size() ? text.size() : image.size();
    if (fill > 0) std::memset(image.data(), 0, fill);

    IntelHexDecoder decoder(image);
    size_t consumed = 0;
    const IntelHexDecoder::Status status = decoder.Decode(text, true, &consumed);
    usedLength = decoder.UsedLength();
    return status == IntelHexDecoder::Status::Done ? 1 : 0;
}

IntelHexDecoder::Status IntelHexDecoder::Decode(std::string_view text, bool last,
                                                size_t* consumed) {
    const uint64_t textLength = text.size();
    const char* chars = text.data();
    // Text that ends inside a record: wait for more, unless there is none.
    const Status cut = last ? Status::Invalid : Status::NeedMore;

    std::array<uint8_t, 3 + 255 + 1>& record = m_record;
    uint64_t position = 0;
    for (;;) {
        *consumed = static_cast<size_t>(position);
        if (position + 3 > textLength) return cut;
        if (chars[position] != ':') return Status::Invalid;
        uint8_t count = 0;
        if (!HexPairToByte(chars + position + 1, count)) return Status::Invalid;
        // ':' + count + address + type + data + checksum, all inside the text.
        const uint64_t recordChars = 11 + 2 * uint64_t{count};
        if (position + recordChars > textLength) return cut;

        uint8_t sum = count;
        const char* pair = chars + position + 3;
        const int recordBytes = count + 4;
        for (int j = 0; j < recordBytes; ++j, pair += 2) {
            // A digit that is not hex is a damaged record, whatever the checksum says.
            if (!HexPairToByte(pair, record[j])) return Status::Invalid;
            sum = static_cast<uint8_t>(sum + record[j]);
        }
        if (sum != 0) return Status::Invalid;

        // Where the next record starts: after this one and its line end.
        uint64_t next = 0;
        switch (record[2]) {
            case kData:
                next = position + 13 + 2 * uint64_t{count};
                break;
            case kEndOfFile:
                *consumed = static_cast<size_t>(position + recordChars);
                return Status::Done;
            case kExtendedSegment:
            case kExtendedLinear:
                next = position + 17;
                break;
            case kStartSegment:
            case kStartLinear:
                next = position + 21;
                break;
            default:
                return Status::Invalid;
        }
        // Nothing of a record is taken before its line end is in the text.
        if (next + 2 > textLength && !last) return Status::NeedMore;

        if (record[2] == kData) {
            const uint32_t recordOffset = uint32_t{record[0]} << 8 | record[1];
            const uint32_t address =
                (uint32_t{m_linearBase} << 16) + (uint32_t{m_segmentBase} << 4) + recordOffset;
            if (m_firstPending) {
                m_firstBase = address;
                m_firstPending = false;
            }
            uint32_t imageOffset = address;
            if (address >= kFlashBase) {
                imageOffset = m_firstBase != 0 ? address - m_firstBase
                                               : address - (uint32_t{m_linearBase} << 16);
            }
            const uint64_t end = uint64_t{imageOffset} + count;
            if (count > 0 && end <= m_image.size()) {
                std::memcpy(m_image.data() + imageOffset, record.data() + 3, count);
            }
            if (end > m_usedLength) {
                m_usedLength = end > std::numeric_limits<uint32_t>::max()
                                   ? std::numeric_limits<uint32_t>::max()
                                   : static_cast<uint32_t>(end);
            }
        } else if (record[2] == kExtendedSegment) {
            m_segmentBase = static_cast<uint16_t>(record[3] << 8 | record[4]);
        } else if (record[2] == kExtendedLinear) {
            m_linearBase = static_cast<uint16_t>(record[3] << 8 | record[4]);
        }
        if (next + 2 > textLength) return Status::Invalid;
        position = next;
    }
}
