// Tree walk: rule lookup, factory comparison, replacement, C-file test, links, odd names.
#include "engine.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "test_util.h"

namespace {

struct EngineTest : ConverterFixture, ::testing::Test {
    fs::path project, des, sor;
    EngineTest() {
        project = dir.path / "proj";
        des = dir.path / "res" / "DES";
        sor = dir.path / "res" / "SOR";
        fs::create_directories(project);
        fs::create_directories(des);
        fs::create_directories(sor);
    }
    void Run() { ConvertDirectory(project.string(), des.string(), sor.string()); }
    bool Has(const std::string& line) const {
        auto m = Monitor();
        return std::find(m.begin(), m.end(), line) != m.end();
    }
    std::string Msg(std::string_view tmpl, std::initializer_list<std::string_view> args) {
        return FormatImportMessage(tmpl, args);
    }
};

TEST_F(EngineTest, IdenticalFileIsReplacedCaseInsensitively) {
    SetTrans(0, "system_ch32f10x.c", "system_ch32v10x.c");
    WriteFile(sor / "system_ch32f10x.c", "factory\r\n");
    WriteFile(des / "system_ch32v10x.c", "new\r\n");
    WriteFile(project / "SYSTEM_CH32F10X.C", "factory\r\n");
    WriteFile(project / "my_system_ch32f10x.c", "factory\r\n");  // only contains the name
    Run();
    EXPECT_FALSE(fs::exists(project / "SYSTEM_CH32F10X.C"));
    EXPECT_EQ(ReadFile(project / "system_ch32v10x.c"), "new\r\n");
    EXPECT_EQ(ReadFile(project / "my_system_ch32f10x.c"), "factory\r\n");  // rewritten, same
    EXPECT_EQ(g_manualConversion, 0);
    EXPECT_EQ(Import(),
              (std::vector<std::string>{Msg("****替换文件【%s】为【%s】***",
                                            {"system_ch32f10x.c", "system_ch32v10x.c"})}));
    auto m = Monitor();
    // Name, 1 comparison pair, markers 4.1-4.3 for the matched file.
    auto it = std::find(m.begin(), m.end(), "SYSTEM_CH32F10X.C");
    ASSERT_NE(it, m.end());
    EXPECT_EQ(std::vector<std::string>(it, it + 6),
              (std::vector<std::string>{"SYSTEM_CH32F10X.C", "SYSTEM_CH32F10X.C",
                                        "SYSTEM_CH32F10X.C", "4.1", "4.2", "4.3"}));
}

TEST_F(EngineTest, MismatchSetsTheFlagAndKeepsTheFile) {
    SetTrans(0, "ch32f10x_it.c", "ch32v10x_it.c");
    WriteFile(sor / "ch32f10x_it.c", "factory\r\n");
    WriteFile(des / "ch32v10x_it.c", "new\r\n");
    WriteFile(project / "ch32f10x_it.c", "edited!\r\n");  // same size, other bytes
    Run();
    EXPECT_EQ(g_manualConversion, 1);
    EXPECT_EQ(ReadFile(project / "ch32f10x_it.c"), "edited!\r\n");
    EXPECT_FALSE(fs::exists(project / "ch32v10x_it.c"));
    EXPECT_EQ(Import(), (std::vector<std::string>{Msg(
                            "****文件【%s】与出厂版本不匹配，请手动转换***", {"ch32f10x_it.c"})}));
    EXPECT_FALSE(Has("4.7"));  // a matched file never reaches the substitution table
}

TEST_F(EngineTest, MissingFactoryCopyLeavesTheFileSilently) {
    SetTrans(0, "core_cm3.h", "core_riscv.h");
    WriteFile(project / "core_cm3.h", "x\r\n");
    Run();
    EXPECT_EQ(ReadFile(project / "core_cm3.h"), "x\r\n");
    EXPECT_TRUE(Import().empty());
    EXPECT_FALSE(Has("4.1"));
}

TEST_F(EngineTest, RuleWithoutReplacementDeletesEvenAReadOnlyFile) {
    SetTrans(0, "core_cm3.c", "");
    WriteFile(sor / "core_cm3.c", "f\r\n");
    WriteFile(project / "core_cm3.c", "f\r\n");
    fs::permissions(project / "core_cm3.c", fs::perms::owner_read);
    Run();
    EXPECT_FALSE(fs::exists(project / "core_cm3.c"));
    EXPECT_EQ(Import(), (std::vector<std::string>{Msg("****删除文件【%s】***", {"core_cm3.c"})}));
}

TEST_F(EngineTest, LowestSlotDecidesAndFileNameBeforeLib) {
    SetTrans(0, "other.h", "x.h", "dup.h", "from_lib.h");
    SetTrans(1, "dup.h", "from_file.h");
    WriteFile(sor / "dup.h", "same\r\n");
    WriteFile(des / "from_lib.h", "L\r\n");
    WriteFile(des / "from_file.h", "F\r\n");
    WriteFile(project / "dup.h", "same\r\n");
    Run();
    EXPECT_EQ(ReadFile(project / "from_lib.h"), "L\r\n");
    EXPECT_FALSE(fs::exists(project / "from_file.h"));
    EXPECT_TRUE(Has("4.4"));
    EXPECT_FALSE(Has("4.1"));
}

TEST_F(EngineTest, ConfigurationHeaderAddsUsbHostFilesOnlyThroughTheLibraryPair) {
    SetTrans(0, "", "", "ch32f10x_conf.h", "ch32v10x_conf.h");
    WriteFile(sor / "ch32f10x_conf.h", "conf\r\n");
    for (const char* n : {"ch32v10x_conf.h", "ch32v10x_usb_host.h", "ch32v10x_usb_host.c"})
        WriteFile(des / n, std::string(n) + "\r\n");
    WriteFile(project / "User" / "ch32f10x_conf.h", "conf\r\n");
    Run();
    fs::path user = project / "User";
    EXPECT_FALSE(fs::exists(user / "ch32f10x_conf.h"));
    EXPECT_EQ(ReadFile(user / "ch32v10x_usb_host.c"), "ch32v10x_usb_host.c\r\n");
    EXPECT_EQ(Import(),
              (std::vector<std::string>{
                  Msg("****新增文件【%s】***", {"ch32v10x_usb_host.h"}),
                  Msg("****新增文件【%s】***", {"ch32v10x_usb_host.c"}),
                  Msg("****替换文件【%s】为【%s】***", {"ch32f10x_conf.h", "ch32v10x_conf.h"})}));
    // The copied files are met by the same walk and go through the substitution table.
    EXPECT_TRUE(Has("ch32v10x_usb_host.c"));
    EXPECT_TRUE(Has("ch32v10x_conf.h"));

    // Matched through the file pair, the same header brings nothing else.
    ResetConverterState();
    fs::remove_all(user);
    SetTrans(0, "ch32f10x_conf.h", "ch32v10x_conf.h");
    WriteFile(user / "ch32f10x_conf.h", "conf\r\n");
    Run();
    EXPECT_TRUE(fs::exists(user / "ch32v10x_conf.h"));
    EXPECT_FALSE(fs::exists(user / "ch32v10x_usb_host.h"));
}

TEST_F(EngineTest, CFileTestIsASubstringOfTheWholePath) {
    SetRule(0, "old", "brand_new");
    WriteFile(project / "a.cpp", "old\r\n");
    WriteFile(project / "page.htm", "old\r\n");
    WriteFile(project / "start.s", "old\r\n");
    WriteFile(project / "lib.Cx" / "start.s", "old\r\n");
    WriteFile(project / "empty.c", "");
    Run();
    EXPECT_EQ(ReadFile(project / "a.cpp"), "brand_new\r\n");
    EXPECT_EQ(ReadFile(project / "page.htm"), "brand_new\r\n");
    EXPECT_EQ(ReadFile(project / "start.s"), "old\r\n");
    EXPECT_EQ(ReadFile(project / "lib.Cx" / "start.s"), "brand_new\r\n");
    EXPECT_EQ(ReadFile(project / "empty.c"), "");
}

TEST_F(EngineTest, OddNamesCompareAsEmpty) {
    // A one-character name equals the first slot with an empty field; its factory path
    // is the SOR folder itself, which is not a file: left unchanged, not rewritten.
    SetTrans(0, "a.h", "b.h");
    SetRule(0, "old", "new");
    WriteFile(project / "x.c" / "q", "old\r\n");
    Run();
    EXPECT_EQ(ReadFile(project / "x.c" / "q"), "old\r\n");
    EXPECT_FALSE(Has("4.7"));
}

TEST_F(EngineTest, HostileNamesAreData) {
    SetRule(0, "old", "new");
    const std::string names[] = {"a b.c",    "q\"uote.c",        "$(rm -rf x).c",
                                 "`tick`.h", "semi;colon&amp.c", "new\nline.c",
                                 "-dash.c"};
    for (const auto& n : names) WriteFile(project / n, "old\r\n");
    WriteFile(dir.path / "x" / "keep", "k");
    Run();
    for (const auto& n : names) EXPECT_EQ(ReadFile(project / n), "new\r\n") << n;
    EXPECT_TRUE(fs::exists(dir.path / "x" / "keep"));
    // The newline in a name is passed on in its log line as it is.
    EXPECT_TRUE(Has("new\nline.c"));
}

TEST_F(EngineTest, SymlinkedFoldersAreNotFollowed) {
    SetRule(0, "old", "new");
    WriteFile(project / "sub" / "f.c", "old\r\n");
    fs::create_directory_symlink("..", project / "sub" / "loop");
    fs::create_directory_symlink(dir.path / "outside", project / "out.c");
    WriteFile(dir.path / "outside" / "g.c", "old\r\n");
    Run();
    EXPECT_EQ(ReadFile(project / "sub" / "f.c"), "new\r\n");
    EXPECT_EQ(ReadFile(dir.path / "outside" / "g.c"), "old\r\n");
    auto m = Monitor();
    EXPECT_EQ(std::count(m.begin(), m.end(), "f.c"), 1);
}

TEST_F(EngineTest, ManyFilesKeepTheirOrderWithWorkers) {
    // Enough files for the worker threads; the log must read as a plain ordered walk.
    SetRule(0, "\\bu8\\b", "uint8_t");
    SetRule(1, "\\bu16\\b", "uint16_t");
    for (int i = 0; i < 60; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "f%02d.c", i);
        WriteFile(project / name, i % 2 ? "u8 x;\r\n" : "int y;\r\n");
    }
    Run();
    auto m = Monitor();
    std::vector<std::string> names;
    for (auto& l : m)
        if (l.size() == 5 && l[0] == 'f') names.push_back(l);
    ASSERT_EQ(names.size(), 60u);
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    EXPECT_EQ(Import().size(), 30u);
    EXPECT_EQ(ReadFile(project / "f01.c"), "uint8_t x;\r\n");
    // Per file: name, 70 comparison lines... 35 slots of empty names log only the name.
    std::size_t f01 = std::find(m.begin(), m.end(), "F01.C") - m.begin();
    EXPECT_EQ(m[f01 - 1], "f01.c");
    EXPECT_EQ(std::vector<std::string>(m.begin() + long(f01) + 35, m.begin() + long(f01) + 40),
              (std::vector<std::string>{"4.7", "4.8", "4.9", "4.10", "4.12"}));
}

TEST_F(EngineTest, MissingProjectFolderReturnsAtOnce) {
    ConvertDirectory((dir.path / "nope").string(), des.string(), sor.string());
    EXPECT_TRUE(Monitor().empty());
}

}  // namespace
