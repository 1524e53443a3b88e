// Table reader: the file format's quirks, its size limits, and the log line format.
#include "tables.h"

#include <gtest/gtest.h>

#include <cstring>

#include "test_util.h"

namespace {

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
    int LoadTrans(const std::string& text) {
        WriteFile(dir.path / "TransFile.wcfg", text);
        return LoadTransFile(dir.path.string());
    }
};

TEST_F(TableTest, CrLfTableLoadsEveryEntryWithMarkers) {
    std::string t = Crlf(RegexTable({{"RA", "\\bfoo\\b", "bar"}, {"RB", "u8", "uint8_t"}}));
    EXPECT_EQ(LoadRegex(t), 2);
    EXPECT_STREQ(g_regexMaps[0].sour, "\\bfoo\\b");
    EXPECT_STREQ(g_regexMaps[1].dest, "uint8_t");
    EXPECT_STREQ(g_regexMaps[1].section, "RB");
    EXPECT_EQ(g_regexMaps[1].index, 1);
    EXPECT_EQ(Monitor(), (std::vector<std::string>{"2.1", "2.2", "2.3", "2.4", "2.5", "2.5"}));
}

TEST_F(TableTest, LfOnlyTableYieldsNothing) {
    EXPECT_EQ(LoadRegex(RegexTable({{"RA", "\\bfoo\\b", "bar"}, {"RB", "u8", "uint8_t"}})), 0);
    EXPECT_EQ(g_regexMaps[0].sour[0], '\0');
}

TEST_F(TableTest, EntryOneTakesItsValueFromEntryTensLineWhenThatStandsFirst) {
    std::vector<std::array<std::string, 3>> e;
    for (int i = 0; i < 11; ++i)
        e.push_back({"S" + std::to_string(i), "pat" + std::to_string(i), "d"});
    std::string t = Crlf(RegexTable(e));
    // Move the index line of entry 10 in front of the one of entry 1.
    std::size_t ten = t.find("RegexMap10=S10\r\n");
    std::string line = t.substr(ten, 16);
    t.erase(ten, 16);
    t.insert(t.find("RegexMap1=S1\r\n"), line);
    EXPECT_EQ(LoadRegex(t), 11);
    EXPECT_STREQ(g_regexMaps[1].section, "S10");
    EXPECT_STREQ(g_regexMaps[1].sour, "pat10");
}

TEST_F(TableTest, BracketInValueEndsTheSection) {
    std::string t = Crlf(RegexTable({{"RA", "x[0-9]", "y"}, {"RB", "u8", "uint8_t"}}));
    EXPECT_EQ(LoadRegex(t), 0);  // "Dest" of RA lies beyond the "[": absent, reading stops
    EXPECT_STREQ(g_regexMaps[0].section, "RA");  // the slot keeps what it got
    // In the last section too the "[" ends the section before the CR: the key is absent.
    ResetConverterState();
    t = Crlf(RegexTable({{"RA", "u8", "uint8_t"}, {"RB", "ab", "x[y"}}));
    EXPECT_EQ(LoadRegex(t), 1);
    EXPECT_STREQ(g_regexMaps[1].sour, "ab");
}

TEST_F(TableTest, SizeLimitIsInclusive) {
    std::string t = Crlf(RegexTable({{"RA", "u8", "uint8_t"}}));
    t.pop_back();
    t.pop_back();  // the last value now runs to the end of the text
    std::string padded = t;
    padded.insert(t.find("[RA]"), std::string(kMaxTableBytes - t.size(), ' '));
    ASSERT_EQ(padded.size(), kMaxTableBytes);
    EXPECT_EQ(LoadRegex(padded), 1);
    EXPECT_STREQ(g_regexMaps[0].dest, "uint8_t");
    ResetConverterState();
    padded.insert(t.find("[RA]"), " ");
    EXPECT_EQ(LoadRegex(padded), 0);
    EXPECT_EQ(Monitor().back(), "2.2");
}

TEST_F(TableTest, KeyFoundInTheSectionHeader) {
    // "Sour" is found in the header "[SourX]": the value comes after the section's first "=".
    std::string t = Crlf("[REGEX]\nRegexMap0=SourX\n" + std::string(80, ' ') +
                         "\n[SourX]\nIndex=5\nSour=abc\nDest=xyz\n");
    EXPECT_EQ(LoadRegex(t), 1);
    EXPECT_STREQ(g_regexMaps[0].sour, "");  // "5": one character
    EXPECT_EQ(g_regexMaps[0].index, 5);
}

TEST_F(TableTest, IndexIsOnlyTheLowByteAndTakesBlanks) {
    std::string t = Crlf("[REGEX]\nRegexMap0=AA\nRegexMap1=BB\n" + std::string(80, ' ') +
                         "\n[AA]\nIndex=300\nSour=ab\nDest=c\n[BB]\nIndex= 7\nSour=cd\nDest=ee\n");
    EXPECT_EQ(LoadRegex(t), 2);
    EXPECT_EQ(g_regexMaps[0].index, 44);
    EXPECT_EQ(g_regexMaps[1].index, 7);
    EXPECT_STREQ(g_regexMaps[0].dest, "");
}

TEST_F(TableTest, ShortTextAndMissingMarkerGiveNoEntries) {
    EXPECT_EQ(LoadRegex(Crlf("[REGEX]\nRegexMap0=AA\n[AA]\nIndex=0\nSour=ab\nDest=cd\n")), 0);
    std::string t = Crlf(RegexTable({{"RA", "u8", "uint8_t"}}));
    t.replace(t.find("[REGEX]"), 7, "[RGX]  ");
    EXPECT_EQ(LoadRegex(t + std::string(100, ' ')), 0);
}

TEST_F(TableTest, TransFileEntryWithEmptyLibStillCounts) {
    std::string t = Crlf("[TRANS]\nSourceFile0=T0\n" + std::string(90, ' ') +
                         "\n[T0]\nIndex=0\nSourFileName=a.c\nTransFileName=b.c\nSourLib=\n"
                         "TranLib=\n");
    EXPECT_EQ(LoadTrans(t), 1);
    EXPECT_STREQ(g_transFiles[0].sourFileName, "a.c");
    EXPECT_STREQ(g_transFiles[0].sourLib, "");
    EXPECT_TRUE(Monitor().empty());  // the TransFile loader writes no markers
}

TEST_F(TableTest, OverlongValuesAreCutNotOverrun) {
    std::string longName(50, 'N');
    std::string longSour(300, 'a');
    std::string t =
        Crlf("[REGEX]\nRegexMap0=" + longName.substr(0, 9) + "\n" + std::string(90, ' ') + "\n[" +
             longName.substr(0, 9) + "]\nIndex=1\nSour=" + longSour + "\nDest=x" +
             std::string(250, 'y') + "\n");
    EXPECT_EQ(LoadRegex(t), 1);
    EXPECT_EQ(std::strlen(g_regexMaps[0].sour), 199u);
    EXPECT_EQ(std::strlen(g_regexMaps[0].dest), 199u);
    // A section name of 10 or more characters is cut to 9 and then names another header.
    ResetConverterState();
    t = Crlf("[REGEX]\nRegexMap0=" + longName + "\n" + std::string(90, ' ') + "\n[" + longName +
             "]\nIndex=1\nSour=ab\nDest=cd\n");
    EXPECT_EQ(LoadRegex(t), 0);
    EXPECT_EQ(std::strlen(g_regexMaps[0].section), 9u);
    std::string value;
    EXPECT_EQ(FindNumberedKey(1, 0, t, &value), 50);
    t = Crlf("[REGEX]\nRegexMap0=" + std::string(150, 'v') + "\n" + std::string(90, ' '));
    EXPECT_EQ(FindNumberedKey(1, 0, t, &value), 99);
    // A section of more than 1023 characters is read only that far.
    t = "[S]\r\nKey=" + std::string(1100, 'z') + "\r\n[T]\r\n";
    EXPECT_EQ(ReadSectionValue("S", "Key", t, nullptr, &value), 0);
}

TEST_F(TableTest, NumberedKeyWithoutEqualsTakesNothingFromLaterLines) {
    std::string t = Crlf("[REGEX]\nRegexMap0\nx=AB\n" + std::string(100, ' '));
    std::string value;
    EXPECT_EQ(FindNumberedKey(1, 0, t, &value), 0);
    t = Crlf("[REGEX]\nRegexMap1=AB\n" + std::string(100, ' '));
    EXPECT_EQ(FindNumberedKey(1, 1, t, &value), 0);  // RegexMap0 missing
}

TEST_F(TableTest, LogLineFormatAndLimits) {
    WriteLogLine(g_monitorLog, "abc");
    WriteLogLine(g_monitorLog, "");
    WriteLogLine(kInvalidHandle, "ignored");
    WriteLogLine(g_monitorLog, std::string(2000, 'x'));
    FlushLogs();
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

TEST(DefaultTables, LoadCompletely) {
    ConverterFixture f;
    EXPECT_GE(LoadTransFile(TRASMO_TABLE_DIR), 10);
    int rules = LoadRegexMap(TRASMO_TABLE_DIR);
    EXPECT_GE(rules, 15);
    for (int i = 0; i < rules; ++i) EXPECT_GE(std::strlen(g_regexMaps[i].sour), 2u) << i;
}

}  // namespace
