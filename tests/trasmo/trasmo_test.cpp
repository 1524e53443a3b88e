// Tests of the converter: tables, logs, rewriting and the tree walk in process; markers,
// messages, results and killed runs of the program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>

#include "tests/support/process.h"
#include "trasmo/driver.h"
#include "trasmo/encoding.h"
#include "trasmo/engine.h"
#include "trasmo/result_log.h"
#include "trasmo/rewrite.h"
#include "trasmo/tables.h"

using namespace trasmo;

// tests/trasmo/fuzz/rule_fuzzer.cpp
bool SameAsPlainReplace(std::string_view input);

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
const auto Msg = &FormatImportMessage;  // a message's GBK text, as written

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const fs::path& p, std::string_view data) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << data;
}

// Lines of a log without their " \r\n" ending.
Lines LogLines(const fs::path& log) {
    Lines lines;
    std::string text = ReadFile(log);
    for (std::size_t at = 0, end; (end = text.find(" \r\n", at)) != std::string::npos; at = end + 3)
        lines.push_back(text.substr(at, end - at));
    return lines;
}

long Count(const Lines& lines, const std::string& line) {
    return std::count(lines.begin(), lines.end(), line);
}

template <std::size_t N>
void Set(char (&field)[N], std::string_view v) {
    field[v.substr(0, N - 1).copy(field, N - 1)] = '\0';
}

// Runs in a scratch folder with the program folder, which holds fresh logs; empty tables.
// Install() adds the program, its tables, and the example project P with its resources R.
struct Trasmo : ::testing::Test {
    fs::path dir = fs::temp_directory_path() / ("trasmo-test-" + std::to_string(::getpid()) + "-" +
                                                std::to_string(std::random_device{}())),
             program = dir / "prog dir", ini = program / "keil.ini", project = dir / "P",
             resources = dir / "R";
    std::string out;  // standard output and error of the last run
    Trasmo() { fs::create_directories(program), fs::current_path(dir), Reset(); }
    ~Trasmo() {
        Reset(false);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    void Reset(bool open = true) {
        ResetConverterState();
        for (auto [log, name] :
             {std::pair{&g_monitorLog, "ExeMonitor.log"}, {&g_importLog, "ImportKeilProj.log"}}) {
            if (*log != kInvalidHandle) ::close(*log);
            const int flags = O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC;
            *log = open ? ::open((program / name).c_str(), flags, 0644) : kInvalidHandle;
        }
    }
    Lines Monitor() const { return LogLines(program / "ExeMonitor.log"); }
    Lines Import() const { return LogLines(program / "ImportKeilProj.log"); }
    void SetRule(int slot, std::string_view sour, std::string_view dest) {
        RegexMapEntry& e = g_regexMaps[static_cast<std::size_t>(slot)] = {};
        Set(e.section, "R" + std::to_string(slot)), Set(e.sour, sour), Set(e.dest, dest);
    }
    void SetTrans(int slot, std::array<std::string_view, 4> names) {
        TransFileEntry& e = g_transFiles[static_cast<std::size_t>(slot)] = {};
        Set(e.sourFileName, names[0]), Set(e.transFileName, names[1]);
        Set(e.sourLib, names[2]), Set(e.tranLib, names[3]);
    }
    // Walks P with new files from D and factory copies in S; `small`: a full disk at 64 KiB.
    int Walk(bool small = false) {
        rlimit old{};
        ::getrlimit(RLIMIT_FSIZE, &old);
        rlimit limit{small ? 64 * 1024 : old.rlim_cur, old.rlim_max};
        ::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &limit);
        int r = ConvertDirectory("P", "D", "S");
        ::setrlimit(RLIMIT_FSIZE, &old);
        return r;
    }
    void Install() {
        const auto again = fs::copy_options::overwrite_existing | fs::copy_options::recursive;
        fs::copy(TRASMO_EXE, program, again);
        for (const char* t : {"TransFile.wcfg", "RegexMap.wcfg"})
            fs::copy(fs::path(TRASMO_TABLE_DIR) / t, program, again);
        for (auto [from, to] : {std::pair{"project", project}, {"resources", resources}})
            fs::copy(fs::path(TRASMO_EXAMPLE_DIR) / from, to, again);
    }
    // Runs the program: `child` may change the child's descriptors before exec, `watch` is called
    // once it has started. The exit code, -1 when a signal ended it.
    int Run(std::vector<std::string> args, const std::function<void()>& child = {},
            testproc::Watch watch = {}) {
        args.insert(args.begin(), (program / "trasmo").string());
        const testproc::Result r =
            testproc::RunProcess(std::move(args), 60, watch, {.child = child});
        out = r.out + r.err;
        return r.status;
    }
};

// A RegexMap table: index lines, `pad` blanks, then one section per {name, sour, dest}.
std::string Table(const std::vector<std::array<std::string, 3>>& entries, std::size_t pad = 90,
                  const std::string& eol = "\r\n") {
    std::string t = "[REGEX]" + eol;
    for (std::size_t i = 0; i < entries.size(); ++i)
        t += "RegexMap" + std::to_string(i) + "=" + entries[i][0] + eol;
    t += std::string(pad, ' ');
    for (std::size_t i = 0; i < entries.size(); ++i)
        t += eol + "[" + entries[i][0] + "]" + eol + "Index=" + std::to_string(i) + eol +
             "Sour=" + entries[i][1] + eol + "Dest=" + entries[i][2] + eol;
    return t;
}

// Each row: a RegexMap table, the entries it yields, and what one slot holds after it.
TEST_F(Trasmo, TableAndLogLimits) {
    const std::string name(50, 'N');
    auto sized = [](std::size_t size) {  // 61 bytes and the padding; no line end at the end
        return Table({{"RA", "u8", "uint8_t"}}, size - 61).substr(0, size);
    };
    auto edit = [](std::string t, const std::string& from, const std::string& to) {
        return t.replace(t.find(from), from.size(), to);
    };
    // clang-format off
    struct Row { const char* why; std::string text; int count, slot; std::string section, sour, dest; int index; };
    const Row rows[] = {
        {"two entries", Table({{"RA", "\\bfoo\\b", "bar"}, {"RB", "u8", "uint8_t"}}, 0), 2, 1, "RB", "u8", "uint8_t", 1},
        {"LF-only lines: the index value loses a character", Table({{"RA", "ab", "cd"}}, 90, "\n"), 0, 0, "", "", "", 0},
        {"a '[' in a value ends the section; the slot keeps what it got", Table({{"RA", "x[0-9]", "y"}, {"RB", "u8", "v"}}), 0, 0, "RA", "", "", 0},
        {"a '[' in the last section's value", Table({{"RA", "u8", "v"}, {"RB", "x[y", "w"}}), 1, 1, "RB", "", "", 1},
        {"Index keeps its low byte", edit(Table({{"AA", "ab", "c"}}), "Index=0", "Index=300"), 1, 0, "AA", "ab", "", 44},
        {"a table of 30720 bytes", sized(30720), 1, 0, "RA", "u8", "uint8_t", 0},
        {"a table of 30721 bytes", sized(30721), 0, 0, "", "", "", 0},
        {"text under 100 characters", Table({{"AA", "ab", "cd"}}, 0), 0, 0, "", "", "", 0},
        {"no [REGEX] marker", edit(Table({{"AA", "ab", "cd"}}), "[REGEX]", "[RGX]"), 0, 0, "", "", "", 0},
        {"values of 200 or more are cut to 199", Table({{"AA", std::string(300, 'a'), "cd"}}), 1, 0, "AA", std::string(199, 'a'), "cd", 0},
        {"a section is read to its 1023rd byte", Table({{"AA", "ab", std::string(1100, 'd')}}), 0, 0, "AA", "ab", "", 0},
        {"a section name of 10 or more is cut to 9 and names another header", Table({{name, "ab", "cd"}}), 0, 0, name.substr(0, 9), "", "", 0},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        Reset();
        WriteFile(program / "RegexMap.wcfg", row.text);
        EXPECT_EQ(LoadRegexMap(program.string()), row.count);
        const RegexMapEntry& e = g_regexMaps[static_cast<std::size_t>(row.slot)];
        EXPECT_EQ(std::tuple(e.section, e.sour, e.dest, int(e.index)),
                  std::tuple(row.section, row.sour, row.dest, row.index));
        Lines marks{"2.1", "2.2", "2.3", "2.4"};
        marks.resize(row.text.size() > 30720 ? 2 : 4 + std::size_t(row.count), "2.5");
        EXPECT_EQ(Monitor(), marks);
    }
    Reset();  // a section cut short is named, and the result asks for a look by hand
    WriteFile(program / "RegexMap.wcfg", Table({{"RA", "u8", "v"}, {"RB", "x[y", "w"}}));
    EXPECT_EQ(LoadRegexMap(program.string()), 1);
    EXPECT_EQ(Import(), Lines{Msg("****规则表【%s】的条目【%s】不完整，该条目及其后的条目未使用***",
                                  {"RegexMap.wcfg", "RB"})});
    EXPECT_EQ(g_manualConversion, 1);
    Reset();  // a log line is cut to 1020 bytes; an empty one is not written
    WriteLogLine(g_monitorLog, ""), WriteLogLine(g_monitorLog, std::string(2000, 'x'));
    EXPECT_EQ(Monitor(), Lines{std::string(kMaxLogText, 'x')});
}

TEST_F(Trasmo, RewriteMarkersReportAndContent) {
    const fs::path file = dir / "src" / "main.c";
    const std::string nulFirst("\0abc\r\n", 6), nulInside("abc\r\n\0tail abc\r\n", 16);
    const Lines all{"4.8", "4.9", "4.10", "4.12"}, noEnd{"4.8", "4.9", "4.10", "4.11", "4.12"},
        whole{"4.8", "4.9", "4.13"};
    // clang-format off
    struct Row { const char* why; std::vector<std::array<const char*, 2>> rules; std::string content, after; const Lines& markers; bool reported; const char* line = nullptr; };
    const Row rows[] = {
        {"rules run in slot order on each other's output", {{"foo", "bar"}, {"bar", "baz"}, {"baz\\b", "$&_x"}}, "foo bar\r\n", "baz_x baz_x\r\n", all, true},
        {"one-character patterns, empty replacements: never applied", {{"a", "X"}, {"bb", ""}, {"(", "y"}}, "abba\r\n", "abba\r\n", all, false},
        {"same length: changed, not reported", {{"GPIO", "PORT"}}, "x = GPIO;\r\n", "x = PORT;\r\n", all, false},
        {"LF-only text is written whole", {{"u8", "uint8_t"}}, "u8 a;\nu8 b;\n", "uint8_t a;\nuint8_t b;\n", noEnd, true},
        {"NUL as first byte: the old content goes back", {{"abc", "x"}}, nulFirst, nulFirst, whole, false},
        {"NUL inside: nothing is cut, and the file is named", {{"abc", "replaced"}}, nulInside, nulInside, whole, false, "****文件【%s】含有NUL字节，未作替换，文件保持原样***"},
        {"a line end after 'h', '.' two before or 'p' three before does not count", {}, "h\r\n.y\r\npxy\r\n", "h\r\n.y\r\npxy\r\n", noEnd, false},
        {"any other line end counts, wherever it stands", {}, "x.h\r\nabc\r\nx.h\r\n", "x.h\r\nabc\r\nx.h\r\n", all, false},
        {"code no rule converts: marked once, one line per construct", {{"(?<!\\*/)(?<!MANUAL:)\\b(__WFI|__asm)\\b", "/*TRASMO-MANUAL:$1*/$1"}},
         "__WFI(); __WFI();\r\n/*TRASMO-MANUAL:__asm*/__asm\r\n", "/*TRASMO-MANUAL:__WFI*/__WFI(); /*TRASMO-MANUAL:__WFI*/__WFI();\r\n/*TRASMO-MANUAL:__asm*/__asm\r\n", all, true,
         "****文件【%s】中的【%s】无法自动转换，已加注释标记，请手动转换***"},
        {"a '{' that starts no repeat is a literal, in an alternative too", {{"x{1|y}z", "Q"}}, "x{1 yz\r\n", "Q yz\r\n", all, true},
        {"a named character", {{"\\N{left-square-bracket}", "("}}, "a[0]\r\n", "a(0]\r\n", all, false},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        Reset();
        for (std::size_t i = 0; i < row.rules.size(); ++i)
            SetRule(static_cast<int>(i), row.rules[i][0], row.rules[i][1]);
        WriteFile(file, row.content);
        EXPECT_TRUE(RewriteSourceFile(file.string(), "main.c", row.content));
        EXPECT_EQ(ReadFile(file), row.after);
        EXPECT_EQ(Monitor(), row.markers);
        Lines report{Msg("****文件【%s】替换了部分关键字，请注意校验代码***", {"main.c"})};
        if (!row.reported) report.clear();
        if (row.line) report.push_back(Msg(row.line, {file.string(), "__WFI"}));
        EXPECT_EQ(Import(), report);
        EXPECT_EQ(g_manualConversion, row.line != nullptr);
    }
    fs::permissions(file, fs::perms::owner_read | fs::perms::group_read);
    EXPECT_TRUE(RewriteSourceFile(file.string(), "main.c", "x"));
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::group_read);
}

// The rule fuzzer's seeds (rules a filter may misread, searches the library gives up on): the
// rewriting gives what plain boost::regex_replace gives, errors included.
TEST_F(Trasmo, FuzzerSeedsGiveThePlainOutcome) {
    for (const auto& seed : fs::directory_iterator(TRASMO_FUZZ_CORPUS))
        EXPECT_TRUE(SameAsPlainReplace(ReadFile(seed.path()))) << seed.path();
}

// The walk over P/ with new files in D/ and factory copies in S/, every way a replacement can
// fail included. No content after the walk means absent; one GBK message is spelt in bytes.
// A content "->T" is a symbolic link to T; "<owned>" before a content: owner 1234, group 2345
// and mode 0640 (where the tests may give them), which the file has again after the walk.
TEST_F(Trasmo, WalkOutcomes) {
    using Files = std::vector<std::pair<std::string, std::optional<std::string>>>;
    const std::string big = "absent" + std::string(100 * 1024, 'x'), f = "factory\r\n",
                      ok = "ok\r\n", missing = "No such file or directory";
    const char *placeFailed = "****文件【%s】未能替换：无法放入文件【%s】（%s），文件保持原样***",
               *replaced = "****替换文件【%s】为【%s】***", *added = "****新增文件【%s】***",
               *ruleFailed = "****文件【%s】的替换规则【%s】（%s）无法应用，文件保持原样***",
               *keywords = "****文件【%s】替换了部分关键字，请注意校验代码***",
               *rewriteFailed =
                   "****文件【%s】未能改写（%s），文件保持原样，文件夹【%s】中其余的文件未转换***";
    const char *conf = "ch32f10x_conf.h", *v = "ch32v10x_conf.h", *h = "ch32v10x_usb_host.h",
               *c = "ch32v10x_usb_host.c", *P = "P/ch32f10x_conf.h", *C = "D/ch32v10x_usb_host.c";
    const Files header{{"S/ch32f10x_conf.h", f},
                       {P, f},
                       {"D/ch32v10x_conf.h", "V"},
                       {"D/ch32v10x_usb_host.h", "H"}};
    Files headerAll = header;
    headerAll.push_back({C, "C"});
    // clang-format off
    struct Row {
        const char* why; std::array<std::string_view, 4> rule;  // slot 0: file pair, library pair
        Files before, after; Lines import; int flag; bool small = false;
        std::array<std::string_view, 4> slot1{}; const char* pattern = "";  // a rule after one that is skipped
    };
    const Row rows[] = {
        {"identical, other letter case; a longer name does not match", {"x.c", "y.c"}, {{"S/x.c", f}, {"P/X.C", f}, {"P/my_x.c", f}, {"D/y.c", "new"}},
         {{"P/X.C", {}}, {"P/y.c", "new"}, {"P/my_x.c", f}}, {Msg(replaced, {"x.c", "y.c"})}, 0},
        {"differs from the factory copy", {"x.c", "y.c"}, {{"S/x.c", f}, {"P/x.c", "edited!\r\n"}, {"D/y.c", "new"}}, {{"P/x.c", "edited!\r\n"}, {"P/y.c", {}}},
         {Msg("****文件【%s】与出厂版本不匹配，请手动转换***", {"x.c"})}, 1},
        {"no factory copy: left alone silently", {"x.c", "y.c"}, {{"P/x.c", f}}, {{"P/x.c", f}}, {}, 0},
        {"no replacement named: deleted", {"x.c", ""}, {{"S/x.c", f}, {"P/x.c", f}}, {{"P/x.c", {}}}, {"****\xC9\xBE\xB3\xFD\xCE\xC4\xBC\xFE\xA1\xBEx.c\xA1\xBF***"}, 0},
        {"lowest slot decides, its file name before its library name", {"o.h", "o.h", "x.c", "lib.c"}, {{"S/x.c", f}, {"P/x.c", f}, {"D/lib.c", "L"}, {"D/file.c", "F"}},
         {{"P/lib.c", "L"}, {"P/file.c", {}}}, {Msg(replaced, {"x.c", "lib.c"})}, 0, false, {"x.c", "file.c"}},
        {"configuration header through the library pair brings the USB host files", {"", "", conf, v}, headerAll,
         {{P, {}}, {"P/ch32v10x_conf.h", "V"}, {"P/ch32v10x_usb_host.c", "C"}}, {Msg(added, {h}), Msg(added, {c}), Msg(replaced, {conf, v})}, 0},
        {"configuration header through the file pair brings nothing else", {conf, v}, header, {{"P/ch32v10x_conf.h", "V"}, {"P/ch32v10x_usb_host.h", {}}}, {Msg(replaced, {conf, v})}, 0},
        {"one USB host file missing: nothing is added or replaced", {"", "", conf, v}, header, {{P, f}, {"P/ch32v10x_usb_host.h", {}}}, {Msg(placeFailed, {P, C, missing})}, 1},
        {"replacement missing", {"x.c", "y.c"}, {{"S/x.c", f}, {"P/x.c", f}}, {{"P/x.c", f}, {"P/y.c", {}}}, {Msg(placeFailed, {"P/x.c", "D/y.c", missing})}, 1},
        {"replacement is a FIFO", {"x.c", "y.c"}, {{"S/x.c", f}, {"P/x.c", f}, {"D/y.c", "<fifo>"}}, {{"P/x.c", f}}, {Msg(placeFailed, {"P/x.c", "D/y.c", ToGbk("不是普通文件")})}, 1},
        {"disk full while the replacement is written", {"x.c", "y.c"}, {{"S/x.c", f}, {"P/x.c", f}, {"D/y.c", big}}, {{"P/x.c", f}, {"P/y.c", {}}},
         {Msg(placeFailed, {"P/x.c", "D/y.c", "File too large"})}, 1, true},
        {"a value with a folder: placed under its own name beside the matched file", {"x.c", "sub/rep.c"}, {{"S/x.c", f}, {"P/x.c", f}, {"D/sub/rep.c", "rep"}},
         {{"P/x.c", {}}, {"P/rep.c", "rep"}, {"P/sub", {}}}, {Msg(replaced, {"x.c", "sub/rep.c"})}, 0},
        {"a value reaching out with '..' is refused", {"x.c", "../up.c"}, {{"S/x.c", f}, {"P/x.c", f}, {"up.c", "outside"}}, {{"P/x.c", f}, {"P/up.c", {}}},
         {Msg(placeFailed, {"P/x.c", "../up.c", ToGbk("表中的名称不是文件名")})}, 1},
        {"a rejected pattern keeps the source", {}, {{"P/a.c", ok}}, {{"P/a.c", ok}}, {Msg(ruleFailed, {"P/a.c", "R1", "(unclosed"})}, 1, false, {}, "(unclosed"},
        {"a pattern the library would never finish compiling is rejected", {}, {{"P/a.c", ok}}, {{"P/a.c", ok}}, {Msg(ruleFailed, {"P/a.c", "R1", "a++(?#x)b"})}, 1, false, {}, "a++(?#x)b"},
        {"a pattern the library would never finish searching with is rejected", {}, {{"P/a.c", ok}}, {{"P/a.c", ok}}, {Msg(ruleFailed, {"P/a.c", "R1", "(?!(*SKIP))"})}, 1, false, {}, "(?!(*SKIP))"},
        {"a recursion inside a look-behind is rejected too", {}, {{"P/a.c", ok}}, {{"P/a.c", ok}}, {Msg(ruleFailed, {"P/a.c", "R1", "o(?<!(?R)>)"})}, 1, false, {}, "o(?<!(?R)>)"},
        {"a source that cannot be rewritten keeps its content; the rest of its folder is left and said so", {}, {{"P/a.c", big}, {"P/b.c", "absent\r\n"}},
         {{"P/a.c", big}, {"P/b.c", "absent\r\n"}}, {Msg(rewriteFailed, {"P/a.c", "File too large", "P"})}, 1, true},
        {"C sources: '.c' or '.h' anywhere in the path", {}, {{"P/page.htm", "absent"}, {"P/lib.Cx/s.s", "absent"}, {"P/s.s", "absent"}},
         {{"P/page.htm", "ABSENT"}, {"P/lib.Cx/s.s", "ABSENT"}, {"P/s.s", "absent"}}, {}, 0},
        {"a one-character name matches a slot without a file", {"a.h", "b.h"}, {{"P/x.c/q", "absent"}}, {{"P/x.c/q", "absent"}}, {}, 0},
        {"a user's file where a copy goes is kept beside it, an older backup too", {"x.c", "y.c"},
         {{"S/x.c", f}, {"P/x.c", f}, {"D/y.c", "new"}, {"P/y.c", "mine"}, {"P/y.c.trasmo-orig", "older"}},
         {{"P/x.c", {}}, {"P/y.c", "new"}, {"P/y.c.trasmo-orig", "older"}, {"P/y.c.trasmo-orig.1", "mine"}},
         {Msg("****文件【%s】已存在，原文件保存为【%s】，请手动比较***", {"P/y.c", "P/y.c.trasmo-orig.1"}), Msg(replaced, {"x.c", "y.c"})}, 1},
        {"links: one into the tree leaves its target to the walk, one out of it is named", {},
         {{"P/in.c", "absent"}, {"P/link.c", "->in.c"}, {"P/out.c", "->../up.c"}, {"up.c", "absent"}, {"P/sub.c", "->."}},
         {{"P/in.c", "ABSENT"}, {"P/link.c", "->in.c"}, {"P/out.c", "->../up.c"}, {"up.c", "absent"}},
         {Msg("****文件【%s】是指向工程文件夹以外的符号链接（%s），文件保持原样***", {"P/out.c", "../up.c"})}, 1},
        {"owner, group and mode of rewritten and replaced files kept", {"x.c", "y.c"},
         {{"S/x.c", f}, {"P/x.c", "<owned>" + f}, {"D/y.c", "new"}, {"P/a.c", "<owned>absent"}},
         {{"P/y.c", "<owned>new"}, {"P/a.c", "<owned>ABSENT"}}, {Msg(replaced, {"x.c", "y.c"})}, 0},
        {"names in UTF-8 are written in GBK, other names as they are", {}, {{"P/\xB8\xA8.c", "ab\r\n"}, {"P/主程序.c", "ab\r\n"}},
         {{"P/\xB8\xA8.c", "x\r\n"}, {"P/主程序.c", "x\r\n"}}, {Msg(keywords, {"\xB8\xA8.c"}), Msg(keywords, {"\xD6\xF7\xB3\xCC\xD0\xF2.c"})}, 0, false, {}, "ab"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        Reset();
        for (const char* folder : {"P", "D", "S", "up.c"}) fs::remove_all(dir / folder);
        fs::create_directories(project), fs::create_directories(dir / "D");
        SetTrans(0, row.rule), SetTrans(1, row.slot1);
        SetRule(0, "absent", "ABSENT"), SetRule(1, row.pattern, "x");
        const bool root = ::geteuid() == 0;
        auto owned = [&](const fs::path& p) {
            struct stat st {};
            return ::lstat(p.c_str(), &st) == 0 && (st.st_mode & 07777) == 0640 &&
                   (!root || (st.st_uid == 1234 && st.st_gid == 2345));
        };
        for (auto [name, content] : row.before) {
            const bool own = content->starts_with("<owned>");
            if (own) content->erase(0, 7);
            if (content == "<fifo>")
                ::mkfifo((dir / name).c_str(), 0644);
            else if (content->starts_with("->"))
                fs::create_symlink(content->substr(2), dir / name);
            else
                WriteFile(dir / name, *content);
            if (own)
                (void)::chown((dir / name).c_str(), 1234, 2345),
                    ::chmod((dir / name).c_str(), 0640);
        }
        EXPECT_EQ(Walk(row.small), 1);
        for (auto [name, content] : row.after) {
            if (content && content->starts_with("<owned>")) {
                EXPECT_TRUE(owned(dir / name)) << name;
                content->erase(0, 7);
            }
            const fs::path p = dir / name;
            EXPECT_EQ(fs::is_symlink(p) ? "->" + fs::read_symlink(p).string()
                      : fs::exists(p)   ? ReadFile(p)
                                        : "-",
                      content.value_or("-"))
                << name;
        }
        EXPECT_EQ(Import(), row.import);
        EXPECT_EQ(g_manualConversion, row.flag);
        for (const auto& e : fs::directory_iterator(project))
            EXPECT_FALSE(e.path().filename().string().starts_with(".trasmo-")) << e.path();
    }
}

// A nearly full disk (a tmpfs of 1.25 MiB in a mount namespace of a child, where the tests may
// make one): 20 sources of 40 KiB and 200 KiB free. The program converts them all, as a
// rewrite of one file at a time would. The child answers with the number of files converted.
TEST_F(Trasmo, NearlyFullDiskConvertsEveryFile) {
    Install();
    const fs::path disk = dir / "disk";
    fs::create_directories(disk);
    auto text = [](char v) {
        return "#include \"ch32" + std::string(1, v) + "10x.h\"\r\n" + std::string(40 << 10, 'z');
    };
    pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=1280k") != 0)
            ::_exit(255);
        try {
            for (int i = 0; i < 20; ++i)
                WriteFile(disk / "P" / ("f" + std::to_string(i) + ".c"), text('f'));
            struct statvfs vfs {};
            ::statvfs(disk.c_str(), &vfs);
            WriteFile(disk / "filler", std::string(vfs.f_bavail * vfs.f_frsize - (200 << 10), 'x'));
            Run({(disk / "P").string(), resources.string()});
            int converted = 0;
            for (int i = 0; i < 20; ++i)
                converted += ReadFile(disk / "P" / ("f" + std::to_string(i) + ".c")) == text('v');
            ::_exit(converted);
        } catch (...) {
            ::_exit(254);
        }
    }
    int converted = 0;
    ::waitpid(child, &converted, 0);
    converted = WEXITSTATUS(converted);
    if (converted == 255) GTEST_SKIP() << "no mount namespace with a tmpfs here";
    EXPECT_EQ(converted, 20);
}

// The example project and a small StdPeriph-shaped one (a handler without a prototype, NVIC
// access, SysTick polling, a bit-band macro; UTF-8 and GBK comments), converted with the
// shipped tables, get through the RISC-V cross preprocessor against the V headers of their
// resources (files left with their F names are the user's to convert); in the second, whose V
// headers are complete, the files without flagged code pass its syntax check too.
TEST_F(Trasmo, ConvertedProjectsPassTheCrossPreprocessor) {
    const char* const gcc = "/usr/bin/riscv64-unknown-elf-gcc";
    if (!fs::exists(gcc)) GTEST_SKIP() << "no riscv64-unknown-elf-gcc (gcc-riscv64-unknown-elf)";
    const fs::path stdperiph = TRASMO_STDPERIPH_DIR;
    for (const auto& [from, syntax] :
         {std::pair{fs::path(TRASMO_EXAMPLE_DIR), false}, {stdperiph, true}}) {
        SCOPED_TRACE(from);
        Install();
        fs::remove_all(project), fs::remove_all(resources);
        const auto all = fs::copy_options::recursive;
        fs::copy(from / "project", project, all), fs::copy(from / "resources", resources, all);
        ASSERT_EQ(Run({project.string(), resources.string()}), 0);
        EXPECT_EQ(ReadFile(ini), "TRUE");  // an edited handler file, flagged bit-band code
        std::vector<std::string> includes;
        for (const auto& e : fs::recursive_directory_iterator(project))
            if (e.is_directory()) includes.push_back("-I" + e.path().string());
        includes.push_back("-I" + project.string());
        for (const auto& e : fs::recursive_directory_iterator(project)) {
            if (e.path().extension() != ".c" ||
                e.path().filename().string().starts_with("ch32f10x"))
                continue;
            const bool flagged = ReadFile(e.path()).find("TRASMO-MANUAL") != std::string::npos;
            for (const char* mode : {"-E", "-fsyntax-only"}) {
                if (mode[1] == 'f' && (flagged || !syntax)) continue;
                std::vector<std::string> args{gcc, mode, "-ffreestanding", "-o", "/dev/null"};
                args.insert(args.end(), includes.begin(), includes.end());
                args.push_back(e.path().string());
                const testproc::Result r = testproc::RunProcess(args);
                EXPECT_EQ(r.status, 0) << mode << " " << e.path() << "\n" << r.out << r.err;
            }
        }
    }
}

// Short runs: the log (one line: its last line), what is said, keil.ini only after a complete
// run. A closed standard error or a broken pipe changes nothing; --help touches nothing.
TEST_F(Trasmo, ShortRuns) {
    const std::string proj = project.string(), res = resources.string(), bad = "Error: 无效参数\n";
    ResetConverterState();
    Lines upTo3{"1", "2", "2.1", "2.2", "2.3", "2.4"};
    upTo3.insert(upTo3.end(), LoadRegexMap(TRASMO_TABLE_DIR), "2.5"), upTo3.push_back("3");
    const std::string noDir = "No such file or directory",
                      unreadable = "trasmo: cannot read the project folder --help: " + noDir + "\n",
                      noSor = "trasmo: the resource folder " + res + "/SOR cannot be used (" +
                              noDir + "); nothing was changed\n";
    const std::string notWritten = "trasmo: cannot write " + ini.string() + ": ";
    int broken[2];  // a pipe nobody reads
    ASSERT_EQ(::pipe2(broken, O_CLOEXEC), 0);
    ::close(broken[0]);
    const auto fullDisk = [] {  // every file ends at 3 bytes; standard error is a pipe
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{3, RLIM_INFINITY};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    };
    WriteFile(dir / "victim", "victim");
    // clang-format off
    struct Row { const char* why; std::function<void()> setup; Lines args, monitor; std::string said; std::function<void()> child = {}; };
    const Row rows[] = {
        {"no arguments", [] {}, {}, upTo3, bad},
        {"empty second argument", [] {}, {proj, ""}, upTo3, bad},
        {"no arguments, standard error closed", [] {}, {}, upTo3, "", [] { ::close(2); }},
        {"no arguments, standard error a pipe nobody reads", [] {}, {}, upTo3, "", [&] { ::dup2(broken[1], 2); }},
        {"no TransFile.wcfg", [&] { fs::remove(program / "TransFile.wcfg"); }, {proj, res}, {"1"}, ""},
        {"no RegexMap.wcfg", [&] { fs::remove(program / "RegexMap.wcfg"); }, {proj, res}, {"1", "2", "2.1"}, ""},
        {"RegexMap.wcfg without entries", [&] { WriteFile(program / "RegexMap.wcfg", std::string(200, ' ')); }, {proj, res},
         {"1", "2", "2.1", "2.2", "2.3", "2.4"}, ""},
        {"unreadable project folder: said, the run completes, a look by hand asked for", [] {}, {"--help", res}, {"7"}, unreadable},
        {"keil.ini cannot be created", [&] { fs::remove(ini), fs::create_directory(ini); }, {"--help", res}, {"6"}, unreadable + notWritten + "Is a directory\n"},
        {"keil.ini on a full disk: whole or absent, and said", [] {}, {"--help", res}, {}, unreadable + notWritten + "File too large\n", fullDisk},
        {"links planted as logs are replaced, never written through", [&] {
             fs::create_symlink(dir / "victim", program / "ExeMonitor.log"), fs::create_hard_link(dir / "victim", program / "ImportKeilProj.log"); },
         {"--help", res}, {"7"}, unreadable},
        {"no SOR folder: nothing changes, said, a look by hand asked for", [&] { fs::remove_all(resources / "SOR"); }, {proj, res}, {"7"}, noSor},
        {"help", [] {}, {"--help"}, {}, "Usage: trasmo PROJECT_DIR RESOURCE_DIR\n"},
        {"version", [] {}, {"--version"}, {}, "trasmo " TRASMO_VERSION "\n"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        Install();
        fs::remove(program / "ExeMonitor.log"), fs::remove(program / "ImportKeilProj.log");
        WriteFile(ini, "TRUE");  // a stale result never survives
        row.setup();
        ASSERT_EQ(Run(row.args, row.child), 0);
        EXPECT_EQ(ReadFile(dir / "victim"), "victim");
        EXPECT_FALSE(fs::is_symlink(program / "ExeMonitor.log"));
        Lines log = Monitor();
        if (row.monitor.size() == 1 && !log.empty()) log = {log.back()};
        EXPECT_EQ(log, row.monitor);
        EXPECT_EQ(row.args == Lines{"--help"} ? out.substr(0, row.said.size()) : out, row.said);
        EXPECT_EQ(fs::is_regular_file(ini) ? ReadFile(ini) : "",
                  row.monitor == Lines{"7"} || (row.monitor.empty() && !row.child) ? "TRUE" : "");
        const bool noSorRow = row.said == noSor;
        Lines said{noSorRow ? Msg("****资源文件夹【%s】无法使用（%s），工程未作任何改动***",
                                  {res + "/SOR", noDir})
                            : Msg("****无法读取工程文件夹【%s】（%s）***", {"--help", noDir})};
        EXPECT_EQ(Import(),
                  noSorRow || (row.said.starts_with(unreadable) && !row.child) ? said : Lines{});
        // No short run changes the project.
        const fs::path example = fs::path(TRASMO_EXAMPLE_DIR) / "project";
        for (const auto& e : fs::recursive_directory_iterator(example)) {
            if (!e.is_regular_file()) continue;
            EXPECT_EQ(ReadFile(project / fs::relative(e.path(), example)), ReadFile(e.path()))
                << e.path();
        }
        fs::remove_all(ini);
    }
    ::close(broken[1]);
}

// Nothing is ever written below /usr, whoever runs the program; elsewhere a writable folder
// takes the outputs.
TEST(TrasmoOutputs, NeverBelowUsr) {
    const std::string tmp = fs::temp_directory_path().string();
    const struct {
        std::string folder;
        bool taken;
    } rows[] = {{"/usr", false}, {"/usr/lib/trasmo", false}, {"/usr/local/lib/trasmo", false},
                {tmp, true},     {"/usrx", false},           {tmp + "/no-such-folder", false}};
    for (const auto& row : rows) EXPECT_EQ(row.taken, OutputsMayGoIn(row.folder)) << row.folder;
}

// Killed at moments chosen by counting its rewrite markers as they appear, the converter never
// loses or tears a source, and its markers keep up with the files it re-created. One more run
// finishes the work, leaves no temporary file behind and gives its result.
TEST_F(Trasmo, KilledRunsLoseNothing) {
    Install();
    const int files = 160;
    auto path = [&](int i) {
        return project / ("m" + std::to_string(i % 4)) / ("f" + std::to_string(i) + ".c");
    };
    auto text = [](int i, char v) {
        return "#include \"ch32" + std::string(1, v) + "10x.h\"\r\n" + std::string(i + 3000, 'z');
    };
    for (int i = 0; i < files; ++i) WriteFile(path(i), text(i, 'f'));
    for (int round = 0; round < 4; ++round) {
        std::vector<ino_t> inodes(files);
        struct stat st {};
        for (int i = 0; i < files; ++i)
            inodes[i] = ::stat(path(i).c_str(), &st) == 0 ? st.st_ino : 0;
        WriteFile(program / "ExeMonitor.log", "");
        int watch = ::inotify_init1(IN_CLOEXEC);
        ::inotify_add_watch(watch, (program / "ExeMonitor.log").c_str(), IN_MODIFY);
        const long target = 1 + std::random_device{}() % (files - 20);
        Run({project.string(), resources.string()}, {}, [&](pid_t pid, const std::string& said) {
            char events[4096];
            for (pollfd p{watch, POLLIN, 0}; said.empty() && ::poll(&p, 1, 10000) > 0;)
                if (::read(watch, events, sizeof events) < 0 || Count(Monitor(), "4.12") >= target)
                    break;
            ::kill(pid, SIGKILL);
        });
        ::close(watch);
        long recreated = 0;
        for (int i = 0; i < files; ++i) {
            ASSERT_EQ(::stat(path(i).c_str(), &st), 0) << path(i);
            recreated += st.st_ino != inodes[i];
            std::string now = ReadFile(path(i));
            EXPECT_TRUE(now == text(i, 'f') || now == text(i, 'v')) << path(i);
        }
        EXPECT_GE(Count(Monitor(), "4.12") + Count(Monitor(), "4.13"), recreated - 1);
    }
    WriteFile(project / "m0" / ".trasmo-Ab12Cd", "left by a killed run");
    fs::create_directory_symlink("..", project / "m1" / "loop");  // not followed
    WriteFile(ini, "stale result");
    fs::permissions(ini, fs::perms::owner_read);
    const std::string res = resources.string() + "/";  // a doubled separator is passed on
    ASSERT_EQ(Run({project.string(), res, "extra"}), 0);
    EXPECT_EQ(out, "");
    for (int i = 0; i < files; ++i) EXPECT_EQ(ReadFile(path(i)), text(i, 'v')) << path(i);
    for (const auto& e : fs::recursive_directory_iterator(project))
        EXPECT_FALSE(e.path().filename().string().starts_with(".trasmo-")) << e.path();
    EXPECT_EQ(ReadFile(ini), "TRUE");  // the example's ch32f10x_it.c was edited
    EXPECT_EQ(Count(LogLines(program / "ImportKeilProj.log"),
                    Msg("****文件【%s】与出厂版本不匹配，请手动转换***", {"ch32f10x_it.c"})),
              1);
    Lines m = Monitor(), head{"1", "2", "2.1", "2.2", "2.3", "2.4"};
    head.insert(head.end(), Count(m, "2.5"), "2.5");
    head.insert(head.end(), {"3", project.string(), res, "4"});
    ASSERT_GE(m.size(), head.size() + 3);
    EXPECT_EQ(Lines(m.begin(), m.begin() + long(head.size())), head);
    EXPECT_EQ(Lines(m.end() - 3, m.end()), (Lines{"5", "6", "7"}));
    // With the workers ahead, the log still reads as a plain walk: each file's name, its
    // comparison lines (upper case), then its own markers.
    const Lines markers{"4.7", "4.8", "4.9", "4.10", "4.12"};
    for (auto l = m.begin(); l != m.end(); ++l) {
        auto at = std::find_if(l + 1, m.end(), [](auto& s) { return s[0] == '4' || s[0] == 'f'; });
        EXPECT_TRUE(!l->starts_with("f") || Lines(at, std::min(at + 5, m.end())) == markers) << *l;
    }
}

}  // namespace
