// HEX text for tests: one record with its checksum and CR LF, an extended
// linear address record, the end-of-file record, and a small image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hextest {

inline std::string Record(uint8_t type, uint16_t address, const std::vector<uint8_t>& data = {}) {
    std::vector<uint8_t> body = {uint8_t(data.size()), uint8_t(address >> 8), uint8_t(address),
                                 type};
    body.insert(body.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t b : body) sum = uint8_t(sum + b);
    body.push_back(uint8_t(-sum));
    std::string out = ":";
    for (uint8_t b : body) out += "0123456789ABCDEF"[b >> 4], out += "0123456789ABCDEF"[b & 15];
    return out + "\r\n";
}
inline std::string Linear(uint16_t upper) {
    return Record(4, 0, {uint8_t(upper >> 8), uint8_t(upper)});
}
inline const std::string kEnd = ":00000001FF\r\n";
// 40 bytes at 0x0000 (01 to 28) as three records.
inline const std::string kApp =
    ":100000000102030405060708090A0B0C0D0E0F1068\r\n:100010001112131415161718191A1B1C1D1E1F2058\r\n"
    ":080020002122232425262728B4\r\n" +
    kEnd;

}  // namespace hextest
