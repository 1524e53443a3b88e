// Intel HEX decoder: HEX text in memory to a flat flash image and its used length.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace vornic_image {

// Converts two hex digits (chars[0] high nibble, chars[1] low nibble; 0-9, a-f,
// A-F) into out and returns 1. Returns 0 and leaves out alone when either
// character is not a hex digit.
int HexPairToByte(const char* chars, uint8_t& out);

// Why a HEX text was refused: the line (counted from 1, one record a line)
// and a short reason ("bad checksum"). Line 0 and an empty reason while none.
struct HexProblem {
    uint32_t line = 0;
    const char* reason = "";
};

// Decodes HEX records (types 00 to 05) laid out one per line with CR LF or LF
// line ends (a line end is LF, or else taken to be two characters). The first min(text size, image
// size) bytes of image are zeroed, then each data record is placed at its image offset: addresses
// below 0x08000000 as they are, higher ones relative to the first data record of the file.
// usedLength receives the largest record end (saturated at UINT32_MAX), also
// for records that fall outside image: those are not written, and a caller
// that checks usedLength against the buffer size rejects the file.
// Returns 1 when an end-of-file record was reached after valid records only,
// 0 otherwise (the buffer and usedLength then hold a partial result), and
// *problem (when given) tells where and why. One pass, no allocation.
int DecodeIntelHex(std::string_view text, std::span<uint8_t> image, uint32_t& usedLength,
                   HexProblem* problem = nullptr);

// The same decoding fed piece by piece, so that a file is read in blocks and
// never held whole. Does not zero the image.
class IntelHexDecoder {
  public:
    enum class Status { NeedMore, Done, Invalid };

    explicit IntelHexDecoder(std::span<uint8_t> image) : m_image(image) {}

    // Decodes the records at the start of text. With `last` false, a record
    // cut off by the end of text is left for the next call: *consumed tells
    // how many characters were taken, and the rest must come again at the
    // start of the next piece (it is never longer than one record and its
    // line end, 523 characters). With `last` true the text is all there is.
    Status Decode(std::string_view text, bool last, size_t* consumed);

    uint32_t UsedLength() const { return m_usedLength; }
    // The address of the file's first data record, which higher records are
    // placed relative to; none before one was decoded.
    std::optional<uint32_t> FirstDataAddress() const {
        return m_firstPending ? std::nullopt : std::optional<uint32_t>(m_firstBase);
    }
    // After Status::Invalid: the line refused and why.
    HexProblem Problem() const { return m_problem; }
    // The line of the record the next call starts with.
    uint32_t Line() const { return m_line; }

  private:
    std::span<uint8_t> m_image;
    uint16_t m_segmentBase = 0;
    uint16_t m_linearBase = 0;
    uint32_t m_firstBase = 0;
    bool m_firstPending = true;
    uint32_t m_usedLength = 0;
    uint32_t m_line = 1;
    // What was odd about the last record's line end ("" when it was CR LF or
    // LF): the reason given if no record starts where that end was assumed to stop.
    const char* m_oddLineEnd = "";
    HexProblem m_problem;
    Status Refuse(uint32_t line, const char* reason);
    // Address high, address low, type, up to 255 data bytes, checksum. Kept
    // from record to record and piece to piece: a short address record reads
    // bytes its predecessor left here, however the text was cut.
    std::array<uint8_t, 3 + 255 + 1> m_record{};
};

}  // namespace vornic_image
