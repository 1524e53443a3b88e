// Intel HEX decoder: HEX text in memory to a flat flash image and its used length.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

// Converts two hex digits (chars[0] high nibble, chars[1] low nibble; 0-9, a-f,
// A-F) into out and returns 1. Returns 0 and leaves out alone when either
// character is not a hex digit.
int HexPairToByte(const char* chars, uint8_t& out);

// Decodes HEX records (types 00 to 05) laid out one per line with CR LF line
// ends. The first min(text size, image size) bytes of image are zeroed, then
// each data record is placed at its image offset: addresses below 0x08000000
// as they are, higher ones relative to the first data record of the file.
// usedLength receives the largest record end (saturated at UINT32_MAX), also
// for records that fall outside image: those are not written, and a caller
// that checks usedLength against the buffer size rejects the file.
// Returns 1 when an end-of-file record was reached after valid records only,
// 0 otherwise (the buffer and usedLength then hold a partial result). One pass,
// no allocation.
int DecodeIntelHex(std::string_view text, std::span<uint8_t> image, uint32_t& usedLength);
