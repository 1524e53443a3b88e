// Source rewriting: rule order and skipping, change report, NUL bytes, failures, literals.
#include "rewrite.h"

#include <gtest/gtest.h>

#include <boost/regex.hpp>

#include "test_util.h"

namespace {

struct RewriteTest : ConverterFixture, ::testing::Test {
    fs::path file;
    RewriteTest() { file = dir.path / "src" / "main.c"; }
    // Writes `content` as the file, rewrites it, returns the monitor markers.
    std::vector<std::string> Rewrite(std::string_view content, bool expectOk = true) {
        WriteFile(file, content);
        EXPECT_EQ(RewriteSourceFile(file.string(), file.filename().string(), content), expectOk);
        return Monitor();
    }
    using Markers = std::vector<std::string>;
};

TEST_F(RewriteTest, RulesRunInSlotOrderOnEachOthersOutput) {
    SetRule(0, "foo", "bar");
    SetRule(3, "bar", "baz");
    SetRule(5, "baz\\b", "$&_x");
    EXPECT_EQ(Rewrite("foo bar\r\n"), (Markers{"4.8", "4.9", "4.10", "4.12"}));
    EXPECT_EQ(ReadFile(file), "baz_x baz_x\r\n");
    EXPECT_EQ(Import(), (std::vector<std::string>{FormatImportMessage(
                            "****文件【%s】替换了部分关键字，请注意校验代码***", {"main.c"})}));
}

TEST_F(RewriteTest, ShortPatternsAndEmptyDestinationsAreSkipped) {
    SetRule(0, "a", "X");  // one-character pattern
    SetRule(1, "bb", "");  // empty replacement: the table cannot delete text
    SetRule(2, "(", "y");  // would be rejected, but is never compiled: too short
    EXPECT_EQ(Rewrite("abba\r\n"), (Markers{"4.8", "4.9", "4.10", "4.12"}));
    EXPECT_EQ(ReadFile(file), "abba\r\n");
    EXPECT_TRUE(Import().empty());
}

TEST_F(RewriteTest, ChangeReportNeedsALengthChangeWithinTheCommonPart) {
    SetRule(0, "GPIO", "PORT");  // same length: changed file, no message
    Rewrite("x = GPIO;\r\n");
    EXPECT_EQ(ReadFile(file), "x = PORT;\r\n");
    EXPECT_TRUE(Import().empty());
    SetRule(0, "tail\\r\\n$", "tail with more\r\n");  // differs only beyond the old length?
    Rewrite("keep tail\r\n");
    EXPECT_EQ(ReadFile(file), "keep tail with more\r\n");
    EXPECT_EQ(Import().size(), 1u);  // "keep tail" then "\r" vs " ": inside the common part
    SetRule(0, "\\z", "appended");   // growth purely at the end: no message
    Rewrite("body\r\n");
    EXPECT_EQ(ReadFile(file), "body\r\nappended");
    EXPECT_EQ(Import().size(), 1u);
}

TEST_F(RewriteTest, LfOnlyTextIsWrittenWhole) {
    SetRule(0, "u8", "uint8_t");
    EXPECT_EQ(Rewrite("u8 a;\nu8 b;\n"), (Markers{"4.8", "4.9", "4.10", "4.11", "4.12"}));
    EXPECT_EQ(ReadFile(file), "uint8_t a;\nuint8_t b;\n");
    EXPECT_EQ(Import().size(), 1u);
}

TEST_F(RewriteTest, NulFirstByteAndOneByteFile) {
    std::string nulFirst("\0abc\r\n", 6);
    EXPECT_EQ(Rewrite(nulFirst), (Markers{"4.8", "4.9", "4.13"}));
    EXPECT_EQ(ReadFile(file), nulFirst);
    EXPECT_EQ(Rewrite("x"), (Markers{"4.8", "4.9", "4.13", "4.8", "4.9", "4.10", "4.11", "4.12"}));
    EXPECT_EQ(ReadFile(file), "x");
}

TEST_F(RewriteTest, NulInsideKeepsTheWholeFile) {
    SetRule(0, "abc", "replaced");
    std::string content("abc\r\n\0tail abc\r\n", 16);
    EXPECT_EQ(Rewrite(content), (Markers{"4.8", "4.9", "4.13"}));
    EXPECT_EQ(ReadFile(file), content);
    EXPECT_TRUE(Import().empty());
}

TEST_F(RewriteTest, RejectedPatternKeepsTheFileAndNamesFileAndRule) {
    SetRule(0, "ok", "fine");
    SetRule(1, "(unclosed", "x", "BadRule");
    SetRule(2, "more", "less");
    EXPECT_EQ(Rewrite("ok more\r\n"), Markers{});
    EXPECT_EQ(ReadFile(file), "ok more\r\n");
    auto lines = Import();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(file.string()), std::string::npos);
    EXPECT_NE(lines[0].find("BadRule"), std::string::npos);
    EXPECT_NE(lines[0].find("(unclosed"), std::string::npos);
}

TEST_F(RewriteTest, ReplacementThatThrowsKeepsTheFile) {
    // Nested unbounded repetition exhausts the matcher on a long non-matching text.
    SetRule(0, "(a*)*(b*)*c", "x", "Heavy");
    std::string content(3000, 'a');
    content += "\r\n";
    WriteFile(file, content);
    EXPECT_TRUE(RewriteSourceFile(file.string(), "main.c", content));
    EXPECT_EQ(ReadFile(file), content);
    // Either the library gave up (one line) or it finished without a match (no change).
    EXPECT_LE(Import().size(), 1u);
}

TEST_F(RewriteTest, NoTemporaryFilesRemainAndModeIsKept) {
    SetRule(0, "aa", "bbb");
    WriteFile(file, "aa\r\n");
    fs::permissions(file, fs::perms::owner_read | fs::perms::group_read);
    EXPECT_TRUE(RewriteSourceFile(file.string(), "main.c", "aa\r\n"));
    EXPECT_EQ(ReadFile(file), "bbb\r\n");
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::group_read);
    int entries = 0;
    for (auto& e : fs::directory_iterator(file.parent_path())) entries += e.exists();
    EXPECT_EQ(entries, 1);
}

TEST_F(RewriteTest, UncreatableFileReportsFalseWithoutFurtherMarkers) {
    SetRule(0, "aa", "bbb");
    fs::path gone = dir.path / "no such folder" / "main.c";
    EXPECT_FALSE(RewriteSourceFile(gone.string(), "main.c", "aa\r\n"));
    EXPECT_EQ(Monitor(), (Markers{"4.8"}));
    EXPECT_TRUE(Import().empty());
}

TEST(QualifyingLineEnd, ByteTestsStandAlone) {
    EXPECT_TRUE(HasQualifyingLineEnd("ab\r\n"));
    EXPECT_FALSE(HasQualifyingLineEnd("x.h\r\n"));   // 'h' before CR
    EXPECT_FALSE(HasQualifyingLineEnd("x.y\r\n"));   // '.' two before CR
    EXPECT_FALSE(HasQualifyingLineEnd("apxy\r\n"));  // 'p' three before CR
    EXPECT_TRUE(HasQualifyingLineEnd("\r\n"));
    EXPECT_FALSE(HasQualifyingLineEnd("a\n"));
    EXPECT_FALSE(HasQualifyingLineEnd("x"));
    EXPECT_TRUE(HasQualifyingLineEnd("x.h\r\nabc\r\nx.h\r\n"));
}

TEST(RequiredLiteral, TakesOnlyWhatEveryMatchContains) {
    struct Case {
        const char* pattern;
        const char* literal;
    } cases[] = {
        {"\\bGPIOA->ODR\\b", "GPIOA->ODR"},
        {"\\b(GPIO\\w*)->BSRR\\b", "->BSRR"},
        {"colou?r", "colo"},
        {"ab+c", "ab"},
        {"abc*d", "ab"},
        {"x{2}yyy", "yyy"},
        {"foo|barbaz", ""},  // alternation: no single literal
        {"(?i)GPIO", ""},    // case-insensitive
        {"a(?:bc)?defg", "defg"},
        {"(abc)*xy", "xy"},
        {"\\.h\\b", ".h"},
        {"\\<word", "word"},  // \< is a word boundary, not a character
        {"a\\d+bcd", "bcd"},
        {"ab.*?cd", "ab"},
        {"x\\Qab\\E", ""},
        {"abc)", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(RequiredLiteral(c.pattern), c.literal) << c.pattern;
}

TEST(RequiredLiteral, SkippingGivesTheSameResultAsApplying) {
    // Each pattern applied with Boost directly and through ApplyRules on texts with and
    // without its literal.
    const char* patterns[] = {"\\b(GPIO\\w*)->BSRR\\b",
                              "colou?r",
                              "ab+c",
                              "a(?:bc)?defg",
                              "(abc)*xy",
                              "\\.h\\b",
                              "x{2}yyy"};
    const char* texts[] = {"GPIOB->BSRR = 1;\r\n", "color colour\r\n", "abbbc ac\r\n",
                           "adefg abcdefg\r\n",    "abcabcxy xy\r\n",  "a.h a.hx\r\n",
                           "xxyyy xyyy\r\n",       "nothing here\r\n"};
    for (const char* p : patterns) {
        ConverterFixture f;
        SetRule(0, p, "<$&>");
        auto rules = CurrentRules();
        for (const char* t : texts) {
            boost::regex re(p);
            EXPECT_EQ(ApplyRules(*rules, t).text, boost::regex_replace(std::string(t), re, "<$&>"))
                << p << " on " << t;
        }
    }
}

}  // namespace
