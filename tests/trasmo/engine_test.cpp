// Tree walk: replacement and its failures, the C-file test, links, odd names, stale files.
#include "trasmo/engine.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <optional>

#include "tests/trasmo/test_util.h"

namespace {

struct EngineTest : ConverterFixture, ::testing::Test {
    fs::path project = dir.path / "proj", res = dir.path / "res", des = res / "DES";
    // Runs the walk; with `small`, files over 64 KiB cannot be written (a full disk).
    int Run(bool small = false) {
        rlimit old{};
        ::getrlimit(RLIMIT_FSIZE, &old);
        rlimit limit{small ? 64 * 1024 : old.rlim_cur, old.rlim_max};
        std::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &limit);
        int r = ConvertDirectory(project.string(), des.string(), (res / "SOR").string());
        ::setrlimit(RLIMIT_FSIZE, &old);
        return r;
    }
    long Logged(const std::string& line) const {
        Lines m = Monitor();
        return std::count(m.begin(), m.end(), line);
    }
};

// What a matched (or rewritten) file comes to, including every way a copy can fail. Files
// before: P/ project, D/ DES, S/ SOR; "<fifo>" makes a FIFO. Files after are
// in the project; no value means absent. Messages: @P stands for the project folder, @D for DES.
TEST_F(EngineTest, ReplacementOutcomes) {
    using Files = std::vector<std::pair<std::string, std::optional<std::string>>>;
    const std::string big = "absent" + std::string(100 * 1024, 'x'), f = "factory\r\n";
    const char* placeFailed = "****文件【%s】未能替换：无法放入文件【%s】（%s），文件保持原样***";
    const char* replaced = "****替换文件【%s】为【%s】***";
    const char* ruleFailed = "****文件【%s】的替换规则【%s】（%s）无法应用，文件保持原样***";
    const std::string missing = "No such file or directory", notRegular = ToGbk("不是普通文件");
    const std::array<const char*, 3> conf{"D/ch32v10x_conf.h", "D/ch32v10x_usb_host.h",
                                          "D/ch32v10x_usb_host.c"};
    struct Row {
        const char* why;
        std::array<std::string_view, 4> rule;  // slot 0: file pair, library pair
        Files before, after;
        Lines import;
        int flag;
        bool small = false;
        std::array<std::string_view, 2> slot1{};  // file pair of slot 1
        const char* pattern = "";                 // a substitution rule after one that is skipped
    };
    const std::string heavy = "x" + std::string(3000, 'a') + "\r\n", ok = "ok more\r\n";
    // clang-format off
    const Row rows[] = {
        {"identical, other letter case; a longer name does not match", {"x.c", "y.c"},
         {{"S/x.c", f}, {"P/X.C", f}, {"P/my_x.c", f}, {"D/y.c", "new"}},
         {{"X.C", {}}, {"y.c", "new"}, {"my_x.c", f}}, {Msg(replaced, {"x.c", "y.c"})}, 0},
        {"differs from the factory copy", {"x.c", "y.c"},
         {{"S/x.c", f}, {"P/x.c", "edited!\r\n"}, {"D/y.c", "new"}}, {{"x.c", "edited!\r\n"}, {"y.c", {}}},
         {Msg("****文件【%s】与出厂版本不匹配，请手动转换***", {"x.c"})}, 1},
        {"no factory copy: left alone silently", {"x.c", "y.c"}, {{"P/x.c", f}}, {{"x.c", f}}, {}, 0},
        {"no replacement named: deleted", {"x.c", ""}, {{"S/x.c", f}, {"P/x.c", f}}, {{"x.c", {}}},
         {Msg("****删除文件【%s】***", {"x.c"})}, 0},
        {"lowest slot decides, its file name before its library name", {"o.h", "o.h", "x.c", "lib.c"},
         {{"S/x.c", f}, {"P/x.c", f}, {"D/lib.c", "L"}, {"D/file.c", "F"}}, {{"lib.c", "L"}, {"file.c", {}}},
         {Msg(replaced, {"x.c", "lib.c"})}, 0, false, {"x.c", "file.c"}},
        {"configuration header through the library pair brings the USB host files",
         {"", "", "ch32f10x_conf.h", "ch32v10x_conf.h"},
         {{"S/ch32f10x_conf.h", f}, {"P/ch32f10x_conf.h", f}, {conf[0], "V"}, {conf[1], "H"}, {conf[2], "C"}},
         {{"ch32f10x_conf.h", {}}, {"ch32v10x_conf.h", "V"}, {"ch32v10x_usb_host.c", "C"}},
         {Msg("****新增文件【%s】***", {"ch32v10x_usb_host.h"}), Msg("****新增文件【%s】***", {"ch32v10x_usb_host.c"}),
          Msg(replaced, {"ch32f10x_conf.h", "ch32v10x_conf.h"})}, 0},
        {"configuration header through the file pair brings nothing else",
         {"ch32f10x_conf.h", "ch32v10x_conf.h"},
         {{"S/ch32f10x_conf.h", f}, {"P/ch32f10x_conf.h", f}, {conf[0], "V"}, {conf[1], "H"}},
         {{"ch32v10x_conf.h", "V"}, {"ch32v10x_usb_host.h", {}}},
         {Msg(replaced, {"ch32f10x_conf.h", "ch32v10x_conf.h"})}, 0},
        {"replacement missing", {"x.c", "y.c"}, {{"S/x.c", f}, {"P/x.c", f}}, {{"x.c", f}, {"y.c", {}}},
         {Msg(placeFailed, {"@P/x.c", "@D/y.c", missing})}, 1},
        {"replacement is a FIFO", {"x.c", "y.c"}, {{"S/x.c", f}, {"P/x.c", f}, {"D/y.c", "<fifo>"}},
         {{"x.c", f}}, {Msg(placeFailed, {"@P/x.c", "@D/y.c", notRegular})}, 1},
        {"disk full while the replacement is written", {"x.c", "y.c"},
         {{"S/x.c", f}, {"P/x.c", f}, {"D/y.c", big}}, {{"x.c", f}, {"y.c", {}}},
         {Msg(placeFailed, {"@P/x.c", "@D/y.c", "File too large"})}, 1, true},
        {"one USB host file missing: nothing is added or replaced",
         {"", "", "ch32f10x_conf.h", "ch32v10x_conf.h"},
         {{"S/ch32f10x_conf.h", f}, {"P/ch32f10x_conf.h", f}, {conf[0], "V"}, {conf[1], "H"}},
         {{"ch32f10x_conf.h", f}, {"ch32v10x_usb_host.h", {}}},
         {Msg(placeFailed, {"@P/ch32f10x_conf.h", "@D/ch32v10x_usb_host.c", missing})}, 1},
        {"a value with a folder: placed under its own name beside the matched file", {"x.c", "sub/rep.c"},
         {{"S/x.c", f}, {"P/x.c", f}, {"D/sub/rep.c", "rep"}}, {{"x.c", {}}, {"rep.c", "rep"}, {"sub", {}}},
         {Msg(replaced, {"x.c", "sub/rep.c"})}, 0},
        {"a value reaching out with '..' is refused", {"x.c", "../up.c"},
         {{"S/x.c", f}, {"P/x.c", f}, {"D/../up.c", "outside"}}, {{"x.c", f}, {"../up.c", {}}},
         {Msg(placeFailed, {"@P/x.c", "../up.c", ToGbk("表中的名称不是文件名")})}, 1},
        {"a rejected pattern keeps the source", {"", ""}, {{"P/a.c", ok}}, {{"a.c", ok}},
         {Msg(ruleFailed, {"@P/a.c", "BadRule", "(unclosed"})}, 0, false, {}, "(unclosed"},
        {"a pattern the library would never finish compiling is rejected", {"", ""}, {{"P/a.c", ok}}, {{"a.c", ok}},
         {Msg(ruleFailed, {"@P/a.c", "BadRule", "a++(?#x)b"})}, 0, false, {}, "a++(?#x)b"},
        {"a pattern that exhausts the matcher keeps the source", {"", ""}, {{"P/a.c", heavy}}, {{"a.c", heavy}},
         {Msg(ruleFailed, {"@P/a.c", "BadRule", "x\\w*\\w*\\w*z"})}, 0, false, {}, "x\\w*\\w*\\w*z"},
        {"a source that cannot be rewritten keeps its content and ends its folder's walk", {"", ""},
         {{"P/a.c", big}, {"P/b.c", "x\r\n"}}, {{"a.c", big}, {"b.c", "x\r\n"}},
         {Msg("****文件【%s】未能改写（%s），文件保持原样***", {"@P/a.c", "File too large"})}, 1, true},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        Reset();
        fs::remove_all(project);
        fs::remove_all(res);
        fs::create_directories(des);
        SetTrans(0, row.rule[0], row.rule[1], row.rule[2], row.rule[3]);
        if (!row.slot1[0].empty()) SetTrans(1, row.slot1[0], row.slot1[1]);
        SetRule(0, "absent", "gone");
        SetRule(1, row.pattern, "x", "BadRule");
        std::map<char, fs::path> roots{{'P', project}, {'D', des}, {'S', res / "SOR"}};
        for (const auto& [where, content] : row.before) {
            fs::path p = roots[where[0]] / where.substr(2);
            fs::create_directories(p.parent_path());
            if (content == "<fifo>")
                ::mkfifo(p.c_str(), 0644);
            else
                WriteFile(p, *content);
        }
        EXPECT_EQ(Run(row.small), 1);
        for (const auto& [name, content] : row.after)
            EXPECT_EQ(
                fs::exists(project / name) ? std::optional(ReadFile(project / name)) : std::nullopt,
                content)
                << name;
        Lines expect;
        for (std::string line : row.import) {
            for (auto [mark, path] : {std::pair{"@P", project}, {"@D", des}})
                if (auto at = line.find(mark); at != std::string::npos)
                    line.replace(at, 2, path.string());
            expect.push_back(line);
        }
        EXPECT_EQ(Import(), expect);
        EXPECT_EQ(g_manualConversion, row.flag);
        for (const auto& e : fs::directory_iterator(project))
            EXPECT_NE(e.path().filename().string().rfind(".trasmo-", 0), 0u) << e.path();
    }
    // The last row: the failed source got no 4.12 and the walk of its folder ended there.
    EXPECT_EQ(Logged("4.12") + Logged("b.c"), 0);
}

TEST_F(EngineTest, WhatTheWalkRewrites) {
    SetTrans(0, "a.h", "b.h");  // names of one character then compare equal to slot 1
    SetRule(0, "old", "brand_new");
    const std::string hostile[] = {"a b.c",    "q\"uote.c",   "$(rm -rf x).c", "`tick`.h",
                                   "semi;&.c", "new\nline.c", "-dash.c"};
    for (const auto& n : hostile) WriteFile(project / n, "old\r\n");
    for (const char* n : {"page.htm", "start.s", "lib.Cx/start.s", "x.c/q"})
        WriteFile(project / n, "old\r\n");
    WriteFile(project / "empty.c", "");
    fs::create_directory_symlink("..", project / "lib.Cx" / "loop");
    fs::create_directory_symlink(dir.path / "outside", project / "out.c");
    WriteFile(dir.path / "outside" / "g.c", "old\r\n");
    // What a killed run left behind is removed; a name merely like it is a user's file.
    WriteFile(project / "lib.Cx" / ".trasmo-Ab12Cd", "stale copy");
    WriteFile(project / ".trasmo-keep", "old\r\n");
    EXPECT_EQ(Run(), 1);
    for (const auto& n : hostile) EXPECT_EQ(ReadFile(project / n), "brand_new\r\n") << n;
    EXPECT_EQ(ReadFile(project / "page.htm"), "brand_new\r\n");            // ".h" in the name
    EXPECT_EQ(ReadFile(project / "lib.Cx" / "start.s"), "brand_new\r\n");  // ".C" in the path
    EXPECT_EQ(ReadFile(project / "start.s"), "old\r\n");
    EXPECT_EQ(ReadFile(project / "x.c" / "q"), "old\r\n");  // one-character name: matched
    EXPECT_EQ(ReadFile(project / "empty.c"), "");
    EXPECT_EQ(ReadFile(dir.path / "outside" / "g.c"), "old\r\n");
    EXPECT_FALSE(fs::exists(project / "lib.Cx" / ".trasmo-Ab12Cd"));
    EXPECT_EQ(ReadFile(project / ".trasmo-keep"), "old\r\n");
    EXPECT_TRUE(Logged("new\nline.c"));  // names are logged as they are
    EXPECT_FALSE(Logged(".trasmo-Ab12Cd"));
    EXPECT_EQ(Logged("start.s"), 2);  // the loop is not followed
}

}  // namespace
