// Rule tables of the converter and their reader.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace trasmo {

inline constexpr int kMaxTransFiles = 35;
inline constexpr int kMaxRegexMaps = 40;
inline constexpr std::size_t kMaxTableBytes = 30720;

// One file-replacement rule; every text field is NUL-terminated, all zero when unset.
struct TransFileEntry {
    std::uint8_t index;
    char section[10];
    char sourFileName[200];
    char transFileName[200];
    char sourLib[200];
    char tranLib[200];
};

// One substitution rule: a regular expression and its replacement format.
struct RegexMapEntry {
    std::uint8_t index;
    char section[10];
    char sour[200];
    char dest[200];
};

extern std::array<TransFileEntry, kMaxTransFiles> g_transFiles;
extern std::array<RegexMapEntry, kMaxRegexMaps> g_regexMaps;

// Clears both tables and the flag (start-of-program state; used between test runs).
void ResetConverterState();

// Folder of the running executable (from /proc/self/exe), where the tables are read;
// empty when unknown.
std::string ProgramFolder();

// Fill g_transFiles / g_regexMaps from the table in `folder`; return complete entries.
int LoadTransFile(const std::string& folder);
int LoadRegexMap(const std::string& folder);

// Value of index key n ("SourceFile%d" for kind 0, "RegexMap%d" for kind 1) cut to 99
// bytes; returns its length or 0 when the key counts as absent.
int FindNumberedKey(int kind, int n, std::string_view text, std::string* value);

// Looks `key` up in the section "[section]" of `text`; 1 when found, else 0.
int ReadSectionValue(std::string_view section, std::string_view key, std::string_view text,
                     int* number, std::string* value);

}  // namespace trasmo
