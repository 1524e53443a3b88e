// Table reader: the file format's quirks, its size limits, and the log line format.
#include "trasmo/tables.h"

#include <gtest/gtest.h>

#include "tests/trasmo/test_util.h"

namespace {

// Replaces LF line ends by CR LF.
std::string Crlf(std::string_view text) {
    std::string out;
    for (char c : text) out += c == '\n' ? "\r\n" : std::string(1, c);
    return out;
}

// A RegexMap table: index lines for the names given, then one section per (name, sour, dest).
std::string RegexTable(const std::vector<std::array<std::string, 3>>& entries) {
    std::string t = "[REGEX]\n";
    for (std::size_t i = 0; i < entries.size(); ++i)
        t += "RegexMap" + std::to_string(i) + "=" + entries[i][0] + "\n";
    for (std::size_t i = 0; i < entries.size(); ++i)
        t += "\n[" + entries[i][0] + "]\nIndex=" + std::to_string(i) + "\nSour=" + entries[i][1] +
             "\nDest=" + entries[i][2] + "\n";
    return t;
}

struct TableTest : ConverterFixture, ::testing::Test {
    int LoadRegex(const std::string& text) {
        WriteFile(dir.path / "RegexMap.wcfg", text);
        return LoadRegexMap(dir.path.string());
    }
};

// Each row: a RegexMap table, the entries it yields, and what one slot holds after it.
TEST_F(TableTest, QuirksOfTheFormat) {
    std::vector<std::array<std::string, 3>> eleven;
    for (int i = 0; i < 11; ++i)
        eleven.push_back({"S" + std::to_string(i), "pat" + std::to_string(i), "d"});
    std::string tenFirst = Crlf(RegexTable(eleven)), ten = "RegexMap10=S10\r\n";
    tenFirst.erase(tenFirst.find(ten), ten.size());
    tenFirst.insert(tenFirst.find("RegexMap1=S1\r\n"), ten);
    const std::string pad(90, ' '), name(50, 'N');
    // Padded to `size` bytes; the last value runs to the end of the text.
    auto sized = [](std::size_t size) {
        std::string t = Crlf(RegexTable({{"RA", "u8", "uint8_t"}}));
        t.resize(t.size() - 2);
        return t.insert(t.find("[RA]"), std::string(size - t.size(), ' '));
    };
    struct Row {
        const char* why;
        std::string text;
        int count, slot;
        std::string section, sour, dest;
        int index;
    };
    // clang-format off
    const Row rows[] = {
        {"CR LF table", Crlf(RegexTable({{"RA", "\\bfoo\\b", "bar"}, {"RB", "u8", "uint8_t"}})), 2, 1, "RB", "u8", "uint8_t", 1},
        {"LF-only lines: the index value loses a character", RegexTable({{"RA", "ab", "cd"}}) + pad, 0, 0, "", "", "", 0},
        {"entry 1 takes entry 10's line when that stands first", tenFirst, 11, 1, "S10", "pat10", "", 10},
        {"a '[' in a value ends the section; the slot keeps what it got", Crlf(RegexTable({{"RA", "x[0-9]", "y"}, {"RB", "u8", "v"}})), 0, 0, "RA", "", "", 0},
        {"a '[' in the last section's value", Crlf(RegexTable({{"RA", "u8", "v"}, {"RB", "x[y", "w"}})), 1, 1, "RB", "", "", 1},
        {"a key found in the section header takes the section's first value",
         Crlf("[REGEX]\nRegexMap0=SourX\n" + pad + "\n[SourX]\nIndex=5\nSour=abc\nDest=xyz\n"), 1, 0, "SourX", "", "xyz", 5},
        {"Index keeps its low byte", Crlf("[REGEX]\nRegexMap0=AA\n" + pad + "\n[AA]\nIndex=300\nSour=ab\nDest=c\n"), 1, 0, "AA", "ab", "", 44},
        {"Index takes leading blanks", Crlf("[REGEX]\nRegexMap0=AA\n" + pad + "\n[AA]\nIndex= 7\nSour=ab\nDest=cd\n"), 1, 0, "AA", "ab", "cd", 7},
        {"a table of 30720 bytes", sized(kMaxTableBytes), 1, 0, "RA", "u8", "uint8_t", 0},
        {"a table of 30721 bytes", sized(kMaxTableBytes + 1), 0, 0, "", "", "", 0},
        {"text under 100 characters", Crlf("[REGEX]\nRegexMap0=AA\n[AA]\nIndex=0\nSour=ab\nDest=cd\n"), 0, 0, "", "", "", 0},
        {"no [REGEX] marker", Crlf("[RGX]\nRegexMap0=AA\n" + pad + "\n[AA]\nIndex=0\nSour=ab\nDest=cd\n"), 0, 0, "", "", "", 0},
        {"values of 200 or more are cut to 199",
         Crlf("[REGEX]\nRegexMap0=AA\n" + pad + "\n[AA]\nIndex=1\nSour=" + std::string(300, 'a') + "\nDest=cd\n"),
         1, 0, "AA", std::string(199, 'a'), "cd", 1},
        {"a section name of 10 or more is cut to 9 and names another header",
         Crlf("[REGEX]\nRegexMap0=" + name + "\n" + pad + "\n[" + name + "]\nIndex=1\nSour=ab\nDest=cd\n"),
         0, 0, name.substr(0, 9), "", "", 0},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        Reset();
        EXPECT_EQ(LoadRegex(row.text), row.count);
        const RegexMapEntry& e = g_regexMaps[static_cast<std::size_t>(row.slot)];
        EXPECT_EQ(e.section, row.section);
        EXPECT_EQ(e.sour, row.sour);
        EXPECT_EQ(e.dest, row.dest);
        EXPECT_EQ(e.index, row.index);
        if (row.text.size() >= 100 && row.text.find("[REGEX]") == 0) {
            Lines marks{"2.1", "2.2", "2.3", "2.4"};
            if (row.text.size() > kMaxTableBytes) marks.resize(2);
            marks.insert(marks.end(), static_cast<std::size_t>(row.count), "2.5");
            EXPECT_EQ(Monitor(), marks);
        }
    }
}

TEST_F(TableTest, KeysAndSectionsAtTheirLimits) {
    std::string value;
    auto index = [](std::string line) {
        return Crlf("[REGEX]\n" + line + "\n" + std::string(100, ' '));
    };
    EXPECT_EQ(FindNumberedKey(1, 0, index("RegexMap0=" + std::string(50, 'N')), &value), 50);
    EXPECT_EQ(FindNumberedKey(1, 0, index("RegexMap0=" + std::string(150, 'v')), &value), 99);
    EXPECT_EQ(FindNumberedKey(1, 0, index("RegexMap0\nx=AB"), &value), 0);     // no "=" on its line
    EXPECT_EQ(FindNumberedKey(1, 1, index("RegexMap1=AB"), &value), 0);        // RegexMap0 missing
    std::string big = "[S]\r\nKey=" + std::string(1100, 'z') + "\r\n[T]\r\n";  // read to 1023
    EXPECT_EQ(ReadSectionValue("S", "Key", big, nullptr, &value), 0);
}

TEST_F(TableTest, LogLineFormatAndLimits) {
    WriteLogLine(g_monitorLog, "abc");
    WriteLogLine(g_monitorLog, "");
    WriteLogLine(kInvalidHandle, "ignored");
    WriteLogLine(g_monitorLog, std::string(2000, 'x'));
    std::string log = ReadFile(dir.path / "ExeMonitor.log");
    EXPECT_EQ(log, "abc \r\n" + std::string(kMaxLogText, 'x') + " \r\n");
}

TEST(Messages, ChineseTextsBecomeGbkAndNamesStayBytes) {
    std::string m = FormatImportMessage("****删除文件【%s】***", {"a\xff\"b"});
    EXPECT_EQ(m,
              "****\xC9\xBE\xB3\xFD\xCE\xC4\xBC\xFE\xA1\xBE"
              "a\xff\"b"
              "\xA1\xBF***");
    EXPECT_EQ(AsciiUpper("ch32f10x_conf.h\xe4"), "CH32F10X_CONF.H\xe4");
}

}  // namespace
