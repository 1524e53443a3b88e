// Intel HEX decoder: records located by arithmetic (CR LF or LF line ends), placed
// into a caller's buffer without ever writing outside it.
#include "vornic/image/intel_hex.h"

#include <array>
#include <cstring>
#include <limits>

namespace vornic_image {

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

// Reasons for refusing a text.
constexpr const char* kNoColon = "no ':' at the start of the line";
constexpr const char* kNotHexDigit = "not a hex digit";
constexpr const char* kOddDigits = "odd number of digits";
constexpr const char* kCountBeyond = "byte count beyond the line";
constexpr const char* kLongerThanCount = "line longer than its byte count";
constexpr const char* kChecksum = "bad checksum";
constexpr const char* kUnknownType = "unknown record type";
constexpr const char* kNoEnd = "no end-of-file record";
constexpr const char* kLfCr = "line end LF CR";
constexpr const char* kAddressLength = "address record not of its standard length";
constexpr const char* kCutShort = "record cut short by the end of the file";

bool IsHex(char c) { return kNibble[static_cast<unsigned char>(c)] != kNotHex; }

// What is wrong with the line of the record at `position`, whose byte count
// makes it recordChars long: its characters up to its line end, judged
// against that length. Null when the line runs on past a text that is not
// the last.
const char* LineProblem(const char* chars, uint64_t position, uint64_t length, uint64_t recordChars,
                        bool last) {
    uint64_t end = position + 1;
    while (end < length && chars[end] != '\r' && chars[end] != '\n') {
        if (!IsHex(chars[end])) return kNotHexDigit;
        ++end;
    }
    if (end == length && !last) return nullptr;
    if ((end - position - 1) % 2 != 0) return kOddDigits;
    if (position + recordChars > end) return kCountBeyond;
    if (position + recordChars < end) return kLongerThanCount;
    return kChecksum;  // the line is as long as its byte count says
}

// What is odd about a line end starting with `first`, `second`: "" for CR LF
// and LF.
const char* OddLineEnd(char first, char second) {
    if (first == '\n') return "";
    if (first == '\r') return second == '\n' ? "" : "line end CR without LF";
    if (IsHex(first)) return kLongerThanCount;
    return "line end neither CR LF nor LF";
}

}  // namespace

int HexPairToByte(const char* chars, uint8_t& out) {
    uint8_t low = kNibble[static_cast<unsigned char>(chars[1])];
    if (low == kNotHex) return 0;
    uint8_t high = kNibble[static_cast<unsigned char>(chars[0])];
    if (high == kNotHex) return 0;
    out = static_cast<uint8_t>(high << 4 | low);
    return 1;
}

int DecodeIntelHex(std::string_view text, std::span<uint8_t> image, uint32_t& usedLength,
                   HexProblem* problem) {
    usedLength = 0;
    if (text.size() > std::numeric_limits<uint32_t>::max()) return 0;
    const uint64_t fill = text.size() < image.size() ? text.size() : image.size();
    if (fill > 0) std::memset(image.data(), 0, fill);

    IntelHexDecoder decoder(image);
    size_t consumed = 0;
    const IntelHexDecoder::Status status = decoder.Decode(text, true, &consumed);
    usedLength = decoder.UsedLength();
    if (problem != nullptr) *problem = decoder.Problem();
    return status == IntelHexDecoder::Status::Done ? 1 : 0;
}

IntelHexDecoder::Status IntelHexDecoder::Refuse(uint32_t line, const char* reason) {
    m_problem = {line, reason};
    return Status::Invalid;
}

IntelHexDecoder::Status IntelHexDecoder::Decode(std::string_view text, bool last,
                                                size_t* consumed) {
    const uint64_t textLength = text.size();
    const char* chars = text.data();
    // The record at position is refused: why, once its line is in the text.
    const auto refuse = [&](uint64_t position, uint64_t recordChars) {
        const char* why = LineProblem(chars, position, textLength, recordChars, last);
        return why == nullptr ? Status::NeedMore : Refuse(m_line, why);
    };

    std::array<uint8_t, 3 + 255 + 1>& record = m_record;
    uint64_t position = 0;
    for (;;) {
        *consumed = static_cast<size_t>(position);
        if (position >= textLength) return last ? Refuse(m_line, kNoEnd) : Status::NeedMore;
        if (chars[position] != ':') {
            // No record where the last line end was assumed to stop: that end is at fault.
            if (*m_oddLineEnd != '\0') return Refuse(m_line - 1, m_oddLineEnd);
            return Refuse(m_line, kNoColon);
        }
        if (position + 3 > textLength) return last ? refuse(position, 11) : Status::NeedMore;
        m_oddLineEnd = "";
        uint8_t count = 0;
        if (!HexPairToByte(chars + position + 1, count)) return refuse(position, 11);
        // ':' + count + address + type + data + checksum, all inside the text.
        const uint64_t recordChars = 11 + 2 * uint64_t{count};
        if (position + recordChars > textLength) return refuse(position, recordChars);

        uint8_t sum = count;
        const char* pair = chars + position + 3;
        const int recordBytes = count + 4;
        for (int j = 0; j < recordBytes; ++j, pair += 2) {
            // A digit that is not hex is a damaged record, whatever the checksum says.
            if (!HexPairToByte(pair, record[j])) return refuse(position, recordChars);
            sum = static_cast<uint8_t>(sum + record[j]);
        }
        if (sum != 0) return refuse(position, recordChars);

        // Where this record's characters end, by its type's standard length.
        uint64_t recordEnd = 0;
        const bool start = record[2] == kStartSegment || record[2] == kStartLinear;
        const bool standard = count == (start ? 4 : 2);
        switch (record[2]) {
            case kData:
                recordEnd = position + recordChars;
                break;
            case kEndOfFile:
                *consumed = static_cast<size_t>(position + recordChars);
                return Status::Done;
            case kExtendedSegment:
            case kExtendedLinear:
                recordEnd = position + 15;
                break;
            case kStartSegment:
            case kStartLinear:
                recordEnd = position + 19;
                break;
            default:
                return Refuse(m_line, kUnknownType);
        }
        // Nothing of a record is taken before its line end and the start of
        // the next one are in the text.
        if (recordEnd + 4 > textLength && !last) return Status::NeedMore;
        // The line end: LF alone when a record follows it at once, else two
        // characters (CR LF) not inspected; LF CR is refused.
        const char first = recordEnd < textLength ? chars[recordEnd] : '\0';
        const char second = recordEnd + 1 < textLength ? chars[recordEnd + 1] : '\0';
        if (first == '\n' && second == '\r') return Refuse(m_line, kLfCr);
        const uint64_t next = recordEnd + (first == '\n' && second == ':' ? 1 : 2);
        if (record[2] != kData && !standard)
            m_oddLineEnd = kAddressLength;
        else if (recordEnd + 1 < textLength)
            m_oddLineEnd = OddLineEnd(first, second);

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
        ++m_line;
        if (next + 2 > textLength) {
            if (next < textLength && chars[next] != ':') {
                if (*m_oddLineEnd != '\0') return Refuse(m_line - 1, m_oddLineEnd);
                return Refuse(m_line, kNoColon);
            }
            return Refuse(m_line, next >= textLength ? kNoEnd : kCutShort);
        }
        position = next;
    }
}

}  // namespace vornic_image
