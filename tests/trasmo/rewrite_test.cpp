// Source rewriting: markers, change report, NUL bytes; the rule filter against Boost.Regex.
#include "trasmo/rewrite.h"

#include <gtest/gtest.h>

#include <boost/regex.hpp>
#include <optional>

#include "tests/trasmo/test_util.h"

namespace {

TEST(Rewrite, MarkersReportAndContent) {
    ConverterFixture f;
    const fs::path file = f.dir.path / "src" / "main.c";
    const std::string nulFirst("\0abc\r\n", 6), nulInside("abc\r\n\0tail abc\r\n", 16);
    const Lines all{"4.8", "4.9", "4.10", "4.12"}, noEnd{"4.8", "4.9", "4.10", "4.11", "4.12"},
        whole{"4.8", "4.9", "4.13"};
    struct Row {
        const char* why;
        std::vector<std::array<const char*, 2>> rules;  // slots 0, 1, ...
        std::string content, after;
        const Lines& markers;
        bool reported;
    };
    // clang-format off
    const Row rows[] = {
        {"rules run in slot order on each other's output",
         {{"foo", "bar"}, {"bar", "baz"}, {"baz\\b", "$&_x"}}, "foo bar\r\n", "baz_x baz_x\r\n", all, true},
        {"one-character patterns, empty replacements: never applied", {{"a", "X"}, {"bb", ""}, {"(", "y"}},
         "abba\r\n", "abba\r\n", all, false},
        {"same length: changed, not reported", {{"GPIO", "PORT"}}, "x = GPIO;\r\n", "x = PORT;\r\n", all, false},
        {"growth at the very end: not reported", {{"\\z", "appended"}}, "body\r\n", "body\r\nappended", all, false},
        {"LF-only text is written whole", {{"u8", "uint8_t"}}, "u8 a;\nu8 b;\n", "uint8_t a;\nuint8_t b;\n", noEnd, true},
        {"NUL as first byte: the old content goes back", {{"abc", "x"}}, nulFirst, nulFirst, whole, false},
        {"NUL inside: nothing is cut", {{"abc", "replaced"}}, nulInside, nulInside, whole, false},
        {"one byte", {}, "x", "x", noEnd, false},
        {"a line end after 'h', '.' two before or 'p' three before does not count", {}, "h\r\n.y\r\npxy\r\n",
         "h\r\n.y\r\npxy\r\n", noEnd, false},
        {"any other line end counts, wherever it stands", {}, "x.h\r\nabc\r\nx.h\r\n", "x.h\r\nabc\r\nx.h\r\n", all, false},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        f.Reset();
        for (std::size_t i = 0; i < row.rules.size(); ++i)
            SetRule(static_cast<int>(i), row.rules[i][0], row.rules[i][1]);
        WriteFile(file, row.content);
        EXPECT_TRUE(RewriteSourceFile(file.string(), "main.c", row.content));
        EXPECT_EQ(ReadFile(file), row.after);
        EXPECT_EQ(f.Monitor(), row.markers);
        Lines report{Msg("****文件【%s】替换了部分关键字，请注意校验代码***", {"main.c"})};
        EXPECT_EQ(f.Import(), row.reported ? report : Lines{});
    }
    const auto mode = fs::perms::owner_read | fs::perms::group_read;  // kept; nothing left beside
    fs::permissions(file, mode);
    EXPECT_TRUE(RewriteSourceFile(file.string(), "main.c", "x"));
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, mode);
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), {}), 1);
}

// Applying the rules through the filter must give what plain boost::regex_replace gives,
// errors included: patterns with escapes a filter may misread (a bracket as \x5B, control,
// octal, back-reference, a brace that is no repeat), and ones the library gives up on.
TEST(RuleFilter, SameOutcomeAsPlainReplace) {
    ConverterFixture f;
    auto check = [](const char* p, const std::string& t) {
        SetRule(0, p, "<$&>");
        std::optional<std::string> expect;
        try {
            expect = boost::regex_replace(t, boost::regex(p), "<$&>");
        } catch (const std::exception&) {
        }
        RuleOutcome got = ApplyRules(*CurrentRules(), t);
        EXPECT_EQ(got.ok ? std::optional(got.text) : std::nullopt, expect)
            << p << " on " << t.substr(0, 40);
    };
    const std::string many(1500, 'x');
    for (const char* p :
         {"\\x5B\\d\\]", "\\cAx", "\\0101bc", "(a)\\k<1>b", "x{1|y}z", "colou?r", "(abc)*xy",
          "\\b(GPIO\\w*)->BSRR\\b", "ab\\w*cd", "x\\w*\\w*z", "(a*)*b", "^ab$", "\\<ab", "\\.h\\b"})
        for (const std::string& t :
             {std::string("[1] \x01x Abc aab a{1b\r\n"), std::string("GPIOB->BSRR = 1; colour\r\n"),
              std::string("abcabcxy a.h x{1z yz\r\n"), many, many + "z", std::string("ab\nab"),
              "GPIO " + many, std::string(1500, 'a')})
            check(p, t);
    // One repeat, its literal everywhere: the library gives up, so the rule may not be skipped.
    check("x\\w*y", std::string(15000, 'x'));
}

}  // namespace
