// Rule tables of the converter, its two logs, the result flag and the table reader.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

inline constexpr int kMaxTransFiles = 35;
inline constexpr int kMaxRegexMaps = 40;
inline constexpr int kInvalidHandle = -1;
inline constexpr std::size_t kMaxTableBytes = 30720;
inline constexpr std::size_t kMaxLogText = 1020;

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
extern int g_monitorLog;  // file descriptor of ExeMonitor.log, or kInvalidHandle
extern int g_importLog;   // file descriptor of ImportKeilProj.log, or kInvalidHandle
extern int g_manualConversion;

// Clears both tables and the flag (start-of-program state; used between test runs).
void ResetConverterState();

// Appends "text \r\n" to the log with one write; nothing for an invalid handle or empty
// text. Texts longer than kMaxLogText bytes are cut to that length.
void WriteLogLine(int handle, std::string_view text);

// Folder of the running executable (from /proc/self/exe), empty when unknown.
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

// UTF-8 to GBK; bytes iconv cannot convert are passed on unchanged.
std::string ToGbk(std::string_view utf8);

// Builds a message for ImportKeilProj.log: the template's own text (UTF-8) becomes GBK,
// each "%s" takes the next argument byte for byte (file names are data).
std::string FormatImportMessage(std::string_view utf8Template,
                                std::initializer_list<std::string_view> args);

// Upper-cases the ASCII letters of a byte string.
std::string AsciiUpper(std::string_view text);
