// Table reader for TransFile.wcfg / RegexMap.wcfg.
#include "trasmo/tables.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/posix/posix_io.h"
#include "trasmo/encoding.h"
#include "trasmo/file_read.h"
#include "trasmo/result_log.h"

namespace trasmo {

std::array<TransFileEntry, kMaxTransFiles> g_transFiles{};
std::array<RegexMapEntry, kMaxRegexMaps> g_regexMaps{};

namespace {

constexpr std::size_t kMinTableText = 100;
constexpr std::size_t kMaxNumberedValue = 99;
constexpr std::size_t kMaxSection = 1023;

// Copies at most sizeof(field) - 1 bytes and terminates; the rest of the field stays zero.
template <std::size_t N>
void StoreField(char (&field)[N], std::string_view value) {
    std::size_t n = value.size() < N - 1 ? value.size() : N - 1;
    std::memcpy(field, value.data(), n);
    field[n] = '\0';
}

// Reads the decimal number the way the table format does: leading blanks, one sign,
// digits up to the first non-digit; wraps instead of overflowing.
int ReadDecimal(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    std::uint32_t v = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') v = v * 10u + std::uint32_t(s[i++] - '0');
    if (negative) v = 0u - v;
    return static_cast<int>(v);
}

// Common loading steps 1-5; `marks` says whether the RegexMap markers are written.
// Returns the text (up to the first NUL, as the reader's searches see it) or nothing.
bool LoadText(const std::string& folder, const char* fileName, bool marks, std::string* text) {
    if (folder.empty()) return false;
    std::string path = folder + "/" + fileName;
    if (marks) WriteLogLine(g_monitorLog, "2.1");
    struct stat st {};
    posix_io::UniqueFd f = OpenRegular(path, &st);
    if (!f) return false;
    if (marks) WriteLogLine(g_monitorLog, "2.2");
    if (st.st_size <= 0 || static_cast<std::size_t>(st.st_size) > kMaxTableBytes) return false;
    std::vector<char> buffer(static_cast<std::size_t>(st.st_size));
    if (marks) WriteLogLine(g_monitorLog, "2.3");
    if (posix_io::ReadAll(f.Get(), buffer.data(), buffer.size()) !=
        static_cast<ssize_t>(buffer.size()))
        return false;
    if (marks) WriteLogLine(g_monitorLog, "2.4");
    std::string_view all(buffer.data(), buffer.size());
    *text = std::string(all.substr(0, all.find('\0')));
    return true;
}

}  // namespace

void ResetConverterState() {
    g_transFiles = {};
    g_regexMaps = {};
    g_manualConversion = 0;
}

std::string ProgramFolder() {
    std::vector<char> buf(4096);
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= buf.size()) return {};
    std::string path(buf.data(), static_cast<std::size_t>(n));
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

int FindNumberedKey(int kind, int n, std::string_view text, std::string* value) {
    const char* marker = kind == 0 ? "[TRANS]" : "[REGEX]";
    const char* format = kind == 0 ? "SourceFile%d" : "RegexMap%d";
    if (text.size() < kMinTableText || text.find(marker) == std::string_view::npos) return 0;
    std::size_t at = std::string_view::npos;
    for (int j = 0; j <= n; ++j) {
        char key[128];
        std::snprintf(key, sizeof key, format, j);
        at = text.find(key);
        if (at == std::string_view::npos) return 0;
    }
    std::size_t eq = text.find('=', at);
    std::size_t lf = text.find('\n', at);
    if (eq == std::string_view::npos || lf == std::string_view::npos || lf < eq || lf - eq < 4)
        return 0;
    std::size_t length = lf - eq - 2;
    if (length > kMaxNumberedValue) length = kMaxNumberedValue;
    if (value) *value = std::string(text.substr(eq + 1, length));
    return static_cast<int>(length);
}

int ReadSectionValue(std::string_view section, std::string_view key, std::string_view text,
                     int* number, std::string* value) {
    std::string header = "[";
    header.append(section.substr(0, 125));
    header.push_back(']');
    std::size_t start = text.find(header);
    if (start == std::string_view::npos) return 0;
    std::size_t end = text.find('[', start + 1);
    if (end == std::string_view::npos) end = text.size();
    // A section is held in 1024 bytes: longer sections are cut to 1023.
    if (end - start > kMaxSection) end = start + kMaxSection;
    std::string_view body = text.substr(start, end - start);
    std::size_t k = body.find(key);
    if (k == std::string_view::npos) return 0;
    std::size_t eq = body.find('=', k);
    if (eq == std::string_view::npos) return 0;
    std::size_t cr = body.find('\r', eq);
    std::string_view found;
    if (cr != std::string_view::npos) {
        found = body.substr(eq + 1, cr - eq - 1);
    } else if (end < text.size()) {
        return 0;
    } else {
        found = body.substr(eq + 1);
    }
    if (number) *number = ReadDecimal(found);
    if (value) *value = std::string(found);
    return 1;
}

namespace {

// A section that lacks a key ends the loading: the entries before it are used, and one line
// names the table and the section, as the result asks for a look by hand.
int CutShort(const char* file, std::string_view section, int count) {
    g_manualConversion = 1;
    WriteLogLine(g_importLog, FormatImportMessage(
                                  "****规则表【%s】的条目【%s】不完整，该条目及其后的条目未使用***",
                                  {file, section}));
    return count;
}

// Steps 6-7 of loading, shared by both tables.
template <typename Entry, std::size_t Slots>
int FillTable(int kind, const std::string& text, std::array<Entry, Slots>& table,
              std::initializer_list<std::pair<const char*, char (Entry::*)[200]>> keys,
              bool marks) {
    const char* file = kind == 0 ? "TransFile.wcfg" : "RegexMap.wcfg";
    int count = 0;
    for (int n = 0; n < static_cast<int>(Slots); ++n) {
        std::string name;
        if (FindNumberedKey(kind, n, text, &name) == 0) continue;
        Entry& slot = table[static_cast<std::size_t>(count)];
        StoreField(slot.section, name);
        int number = 0;
        if (!ReadSectionValue(slot.section, "Index", text, &number, nullptr))
            return CutShort(file, slot.section, count);
        slot.index = static_cast<std::uint8_t>(number & 0xFF);
        for (const auto& [key, field] : keys) {
            std::string value;
            if (!ReadSectionValue(slot.section, key, text, nullptr, &value))
                return CutShort(file, slot.section, count);
            if (value.size() >= 2) StoreField(slot.*field, value);
        }
        if (marks) WriteLogLine(g_monitorLog, "2.5");
        ++count;
    }
    return count;
}

}  // namespace

int LoadTransFile(const std::string& folder) {
    std::string text;
    if (!LoadText(folder, "TransFile.wcfg", false, &text)) return 0;
    return FillTable(0, text, g_transFiles,
                     {{"SourFileName", &TransFileEntry::sourFileName},
                      {"TransFileName", &TransFileEntry::transFileName},
                      {"SourLib", &TransFileEntry::sourLib},
                      {"TranLib", &TransFileEntry::tranLib}},
                     false);
}

int LoadRegexMap(const std::string& folder) {
    std::string text;
    if (!LoadText(folder, "RegexMap.wcfg", true, &text)) return 0;
    return FillTable(1, text, g_regexMaps,
                     {{"Sour", &RegexMapEntry::sour}, {"Dest", &RegexMapEntry::dest}}, true);
}

}  // namespace trasmo
